// Module lexaro_contract.checker: the contract checker.
#include "bindings/checker_pipeline.hpp"

PYBIND11_MODULE(checker, m) {
    using namespace lexaro;
    bind::g_globals = m.attr("__dict__").ptr();
    Py_INCREF(bind::g_globals);
    py::object builtins = py::module_::import("builtins");
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = "ContractChecker";
    py::object cls = builtins.attr("type")("ContractChecker", py::make_tuple(builtins.attr("object")), ns);
    checker::add_pipeline_members(cls);
    m.attr("ContractChecker") = cls;
    checker::add_pipeline_functions(m);
}
