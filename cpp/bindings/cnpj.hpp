// Shared by the files of module lexaro_contract.cnpj: identifiers and the
// module set-up (cnpj.cpp), registry lookups and records (cnpj_registry.cpp),
// search by name (cnpj_search.cpp) and address comparison (cnpj_address.cpp).
//
// Every function reads the module's globals (requests, the URL constants,
// REQUEST_TIMEOUT and the other functions) at each call, so rebinding one of
// them changes the next call; the native code is taken directly only when the
// global found is still the module's own function.
#pragma once
#include <new>

#include "bindings/boundary.hpp"

namespace lexaro::cnpj {

// Each adds its functions to the module, in this order: _consultar_brasil_api,
// _consultar_receita_ws, consultar_cnpj (and its alias consultar_cnpj_online);
// buscar_cnpj_por_nome, buscar_empresa, buscar_empresa_completo;
// _normalizar_endereco, comparar_enderecos.
void register_registry(py::module_& m);
void register_search(py::module_& m);
void register_address(py::module_& m);

// limpar_cnpj(cnpj), validar_cnpj(cnpj), formatar_cnpj(cnpj) and
// consultar_cnpj(cnpj) through the module globals.
py::object limpar_global(PyObject* cnpj);
py::object validar_global(PyObject* cnpj);
py::object formatar_global(PyObject* cnpj);
py::object consultar_global(PyObject* cnpj);

// The decoded body of a 200 answer; an empty object for any other status.
py::object json_if_ok(const py::object& response);

// Runs `f` under a guard that turns an ordinary error (an Exception
// subclass) into None; interruptions and other BaseExceptions pass through.
template <class F>
py::object absorbing(F&& f) {
    try {
        return f();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_Exception)) return py::none();
        throw;
    } catch (std::bad_alloc&) {
        return py::none();  // MemoryError is an ordinary error too
    }
}

}  // namespace lexaro::cnpj
