// Module lexaro_contract.cnpj: CNPJ identifiers, registry lookups, search by
// name and address comparison.
#include "bindings/cnpj_address.hpp"

PYBIND11_MODULE(cnpj, m) {
    using namespace lexaro;
    bind::g_globals = m.attr("__dict__").ptr();
    Py_INCREF(bind::g_globals);
    m.attr("re") = py::module_::import("re");
    m.attr("unicodedata") = py::module_::import("unicodedata");
    py::object typing = py::module_::import("typing");
    for (const char* n : {"Dict", "Optional", "Any", "Tuple"}) m.attr(n) = typing.attr(n);
    m.attr("requests") = py::module_::import("requests");
    cnpj::register_address(m);
}
