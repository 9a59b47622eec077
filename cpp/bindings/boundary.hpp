// The boundary between the native modules and the interpreter, in four
// parts that a binding file may include one by one or all at once here:
//
//   boundary/arguments.hpp  argument binding with Python's rules, exact-type checks
//   boundary/objects.hpp    owning references, attributes, calls, comparisons,
//                           iteration, lists and dicts
//   boundary/text.hpp       code-point views over str, new str objects, the GIL
//                           rule for long scans
//   boundary/format.hpp     text built as an f-string builds it
//   boundary/module.hpp     the module namespace and its late-bound globals,
//                           imports, print, functions and the entry point
#pragma once
#include "bindings/boundary/arguments.hpp"
#include "bindings/boundary/format.hpp"
#include "bindings/boundary/module.hpp"
#include "bindings/boundary/objects.hpp"
#include "bindings/boundary/text.hpp"
