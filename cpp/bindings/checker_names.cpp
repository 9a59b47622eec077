// Name matching of ContractChecker: _normalizar_texto, _comparar_nomes and
// _verificar_poder_assinatura. A step that calls another goes through self,
// straight to the C++ only when self holds the class's own method.
#include "bindings/checker_names.hpp"

#include <string>

#include "bindings/text_boundary.hpp"
#include "core/names.hpp"

namespace lexaro::checker {

namespace {

using bind::Param;
using bind::bind_method;
using bind::getattr;
using bind::truthy;

extern PyMethodDef def_normalizar_texto;
extern PyMethodDef def_comparar_nomes;

// True when `found` is the bound form of the class's own native method on
// this very instance (so calling the C++ directly is indistinguishable).
bool is_own_method(PyObject* found, PyObject* self, PyMethodDef* def) {
    return bind::is_native(found, def) && PyCFunction_GET_SELF(found) == self;
}

py::object normalizar(PyObject* texto) {
    if (PyUnicode_GET_LENGTH(texto) == 0) return bind::borrow(LEXARO_NAME(""));
    return bind::fold_str(texto, /*strip=*/true);
}

py::object cc_normalizar_texto(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"texto", nullptr}};
    constexpr const char* fn = "ContractChecker._normalizar_texto";
    PyObject* a[2];
    bind_method(fn, self, args, nargs, kwnames, params, 2, a);
    bind::require_str(a[1], fn, "texto");
    return normalizar(a[1]);
}

// self._normalizar_texto(nome), straight to the C++ when it is ours.
py::object normalizar_via(PyObject* self, PyObject* nome) {
    py::object found = getattr(self, LEXARO_NAME("_normalizar_texto"));
    if (is_own_method(found.ptr(), self, &def_normalizar_texto)) return normalizar(nome);
    return bind::call(found.ptr(), {nome});
}

bool comparar(PyObject* self, PyObject* nome1, PyObject* nome2) {
    constexpr const char* fn = "ContractChecker._comparar_nomes";
    bind::require_str(nome1, fn, "nome1");
    bind::require_str(nome2, fn, "nome2");
    py::object n1 = normalizar_via(self, nome1);
    py::object n2 = normalizar_via(self, nome2);
    if (!truthy(n1.ptr()) || !truthy(n2.ptr())) return false;
    for (PyObject* n : {n1.ptr(), n2.ptr()}) {
        if (!PyUnicode_Check(n))
            bind::throw_type_error(std::string("_normalizar_texto() must return str, not ") + bind::type_name(n));
    }
    return bind::with_view(n1.ptr(), [&](const auto* a, std::size_t na) {
        return bind::with_view(n2.ptr(), [&](const auto* b, std::size_t nb) {
            return names::compare_folded(a, na, b, nb);
        });
    });
}

py::object cc_comparar_nomes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"nome1", nullptr}, {"nome2", nullptr}};
    PyObject* a[3];
    bind_method("ContractChecker._comparar_nomes", self, args, nargs, kwnames, params, 3, a);
    return py::bool_(comparar(self, a[1], a[2]));
}

// self._comparar_nomes(nome1, nome2), as a truth value.
bool comparar_via(PyObject* self, PyObject* nome1, PyObject* nome2) {
    py::object found = getattr(self, LEXARO_NAME("_comparar_nomes"));
    if (is_own_method(found.ptr(), self, &def_comparar_nomes)) return comparar(self, nome1, nome2);
    return truthy(bind::call(found.ptr(), {nome1, nome2}).ptr());
}

py::object cc_verificar_poder_assinatura(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    static const Param params[] = {{"self", nullptr}, {"nome_signatario", nullptr}, {"dados_receita", nullptr}};
    constexpr const char* fn = "ContractChecker._verificar_poder_assinatura";
    PyObject* a[3];
    bind_method(fn, self, args, nargs, kwnames, params, 3, a);
    PyObject* nome = a[1];
    bind::require_str(nome, fn, "nome_signatario");
    bind::require_dict(a[2], fn, "dados_receita");

    py::object socios = bind::mapping_get(a[2], LEXARO_NAME("socios"), bind::new_list().ptr());
    PyObject* const nada = LEXARO_NAME("");
    py::object achado;
    bind::for_each(socios.ptr(), [&](PyObject* socio) {
        py::object nome_socio = bind::mapping_get(socio, LEXARO_NAME("nome"), nada);
        if (comparar_via(self, nome, nome_socio.ptr())) {
            achado = py::make_tuple(py::bool_(true), bind::mapping_get(socio, LEXARO_NAME("qualificacao")));
            return false;
        }
        py::object nome_rep = bind::mapping_get(socio, LEXARO_NAME("nome_representante"), nada);
        if (truthy(nome_rep.ptr()) && comparar_via(self, nome, nome_rep.ptr())) {
            achado = py::make_tuple(py::bool_(true), bind::mapping_get(socio, LEXARO_NAME("qualificacao_representante")));
            return false;
        }
        return true;
    });
    return achado ? achado : py::make_tuple(py::bool_(false), py::none());
}

PyMethodDef def_normalizar_texto =
    LEXARO_METHOD("_normalizar_texto", cc_normalizar_texto,
                  "_normalizar_texto($self, texto)\n--\n\nNormaliza texto para comparação (remove acentos, "
                  "lowercase).");
PyMethodDef def_comparar_nomes = LEXARO_METHOD("_comparar_nomes", cc_comparar_nomes,
                                               "_comparar_nomes($self, nome1, nome2)\n--\n\n"
                                               "Compara dois nomes de forma flexível.");
PyMethodDef def_verificar_poder = LEXARO_METHOD("_verificar_poder_assinatura", cc_verificar_poder_assinatura,
                                                "_verificar_poder_assinatura($self, nome_signatario, "
                                                "dados_receita)\n--\n\n"
                                                "Verifica se o signatário tem poder de assinatura pelo QSA.\n\n"
                                                "Returns:\n    tuple: (tem_poder: bool, qualificacao: str ou None)");

}  // namespace

void add_name_members(py::handle cls) {
    bind::add_methods(cls, {&def_normalizar_texto, &def_comparar_nomes, &def_verificar_poder});
}

}  // namespace lexaro::checker
