// The bindings of the process's settings and of what the core knows of
// its machine: thread counts, the readers' pixel limit, the devices, the
// usable CPUs and the figures of the last run.
#pragma once

#include <pybind11/pybind11.h>

namespace pw::python {

void BindSettings(pybind11::module_& m);

}  // namespace pw::python
