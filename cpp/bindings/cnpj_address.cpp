#include "bindings/cnpj_address.hpp"

namespace lexaro::cnpj {
void register_address(py::module_&) {}
}  // namespace lexaro::cnpj
