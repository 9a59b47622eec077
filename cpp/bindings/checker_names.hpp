// Name matching of module lexaro_contract.checker.
#pragma once
#include "bindings/boundary.hpp"

namespace lexaro::checker {
// Adds _normalizar_texto, _comparar_nomes and _verificar_poder_assinatura to
// ContractChecker, in that order.
void add_name_members(py::handle cls);
}  // namespace lexaro::checker
