// The verification steps of ContractChecker, shared by the files that hold
// them: company validation (checker_companies.cpp), signature validation
// (checker_signatories.cpp), the pipeline with its aggregation
// (checker_pipeline.cpp) and the printed report (checker_report.cpp).
//
// Everything there runs as the equivalent Python methods would: steps are
// reached through attribute lookup on self, module-level names are looked up
// in the module namespace at each use, records are built by calling the
// classes with keyword arguments, output goes through the module's `print`,
// and every exception raised by called code passes through unchanged.
#pragma once
#include "bindings/boundary.hpp"

namespace lexaro::checker {

// The boundary helpers the steps use, by their short names.
using bind::Param;
using bind::append;
using bind::borrow;
using bind::call_method;
using bind::fstring;
using bind::getattr;
using bind::new_list;
using bind::set_item;
using bind::steal;
using bind::truthy;

// Adds _validar_empresas, _validar_assinaturas, verificar and
// _imprimir_relatorio to ContractChecker, in that order.
void add_pipeline_members(py::handle cls);
// Adds the module function verificar_contrato.
void add_pipeline_functions(py::module_& m);

// The methods of the step files.
extern PyMethodDef def_validar_empresas;
extern PyMethodDef def_validar_assinaturas;
extern PyMethodDef def_imprimir_relatorio;

// self._log(msg, emoji)
inline void log(PyObject* self, PyObject* msg, PyObject* emoji) {
    call_method(self, LEXARO_NAME("_log"), msg, emoji);
}
inline void log(PyObject* self, const py::object& msg, PyObject* emoji) { log(self, msg.ptr(), emoji); }

// cls(**dict(zip(kwnames, values))) with cls a module global.
inline py::object build(PyObject* cls_name, PyObject* kwnames, std::initializer_list<PyObject*> values) {
    return bind::call_kw(bind::global(cls_name).ptr(), kwnames, values);
}

// CampoVerificado(campo=..., status=..., valor_contrato=..., valor_receita=..., mensagem=...)
inline py::object campo(PyObject* nome, PyObject* status, PyObject* valor_contrato, PyObject* valor_receita,
                        PyObject* mensagem) {
    return build(LEXARO_NAME("CampoVerificado"),
                 KWNAMES("campo", "status", "valor_contrato", "valor_receita", "mensagem"),
                 {nome, status, valor_contrato, valor_receita, mensagem});
}
// The same without valor_receita.
inline py::object campo_sem_receita(PyObject* nome, PyObject* status, PyObject* valor_contrato, PyObject* mensagem) {
    return build(LEXARO_NAME("CampoVerificado"), KWNAMES("campo", "status", "valor_contrato", "mensagem"),
                 {nome, status, valor_contrato, mensagem});
}

}  // namespace lexaro::checker
