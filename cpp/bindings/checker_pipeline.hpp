// Company and signature validation, the verification pipeline and the report
// of module lexaro_contract.checker.
#pragma once
#include "bindings/boundary.hpp"

namespace lexaro::checker {
// Adds _validar_empresas, _validar_assinaturas, verificar and
// _imprimir_relatorio to ContractChecker, in that order.
void add_pipeline_members(py::handle cls);
// Adds the module function verificar_contrato.
void add_pipeline_functions(py::module_& m);
}  // namespace lexaro::checker
