#include "bindings/checker_pipeline.hpp"

namespace lexaro::checker {
void add_pipeline_members(py::handle) {}
void add_pipeline_functions(py::module_&) {}
}  // namespace lexaro::checker
