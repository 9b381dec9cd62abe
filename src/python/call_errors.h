// Short TypeErrors for calls that do not fit a function's parameters.
//
// pybind11 answers a call it cannot match (a missing argument, an unknown
// keyword such as mask= instead of mask_file=, an argument its caster
// refuses) with every argument's repr, which for an image is the whole
// array. DefineFunction puts `impl` into the module behind a thin entry
// that passes each call on unchanged and, when pybind11 refuses it, raises
// a TypeError that names the argument at fault, the way Python functions
// do. The entry keeps impl's docstring and generated signature.
#pragma once

#include <pybind11/pybind11.h>

namespace pw::python {

// impl must have been made with py::name(...) and named py::arg's.
void DefineFunction(pybind11::module_& m, const pybind11::cpp_function& impl);

}  // namespace pw::python
