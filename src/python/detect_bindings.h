// patchwell._core's entry of patchwell.find_damage.
#pragma once

#include <pybind11/pybind11.h>

namespace pw::python {

void BindDetect(pybind11::module_& m);

}  // namespace pw::python
