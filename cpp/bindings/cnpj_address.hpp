// Address normalisation and comparison of module lexaro_contract.cnpj.
#pragma once
#include "bindings/boundary.hpp"

namespace lexaro::cnpj {
// Adds _normalizar_endereco and comparar_enderecos to the module, in that order.
void register_address(py::module_& m);
}  // namespace lexaro::cnpj
