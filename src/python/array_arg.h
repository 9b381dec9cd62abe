// A uint8 NumPy array argument with the module's conversion rule: an array
// whose element type is already uint8 is used as it is (the caller's own
// object, changed in place); anything else that NumPy can convert becomes a
// new C-contiguous uint8 array, so the caller's object stays unchanged.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace pw::python {

struct Uint8Array {
  pybind11::array array;
  bool converted = false;  // true when `array` is a private copy
};

}  // namespace pw::python

namespace pybind11::detail {

template <>
struct type_caster<pw::python::Uint8Array> {
  PYBIND11_TYPE_CASTER(pw::python::Uint8Array,
                       const_name("numpy.ndarray[numpy.uint8]"));

  bool load(handle src, bool convert) {
    if (array_t<uint8_t>::check_(src)) {
      value.array = reinterpret_borrow<array>(src);
      value.converted = false;
      return true;
    }
    if (!convert) return false;
    auto copy = array_t<uint8_t, array::c_style | array::forcecast>::ensure(src);
    if (!copy) return false;
    value.array = std::move(copy);
    value.converted = true;
    return true;
  }

  static handle cast(const pw::python::Uint8Array& src, return_value_policy,
                     handle) {
    return src.array.inc_ref();
  }
};

}  // namespace pybind11::detail
