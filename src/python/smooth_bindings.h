// The bindings of the smooth fill and of the split of damage into holes
// and thin damage (fill/smooth/biharmonic.h, schedule/damage_split.h).
#pragma once

#include <pybind11/pybind11.h>

namespace pw::python {

void BindSmoothFill(pybind11::module_& m);

}  // namespace pw::python
