// The arguments of the module's functions. pybind11 refuses an argument of
// the wrong type with a message that prints every argument's repr (a whole
// image); these casters accept any object instead and the functions convert
// it themselves, raising a short TypeError or ValueError that names the
// argument. Each shows its expected type in the generated signature.
#pragma once

#include <cstdint>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace pw::python {

// Any object, checked by the function; `Name` gives the signature's type.
template <class Name>
struct Loose {
  pybind11::object value;
};

struct AnyArray { static constexpr auto name = pybind11::detail::const_name("numpy.ndarray[numpy.uint8]"); };
struct AnyInt { static constexpr auto name = pybind11::detail::const_name("int"); };
struct AnyBool { static constexpr auto name = pybind11::detail::const_name("bool"); };
struct AnyStr { static constexpr auto name = pybind11::detail::const_name("str"); };
struct AnyMethod { static constexpr auto name = pybind11::detail::const_name("patchwell.InpaintMethod"); };

using ArrayArg = Loose<AnyArray>;
using IntArg = Loose<AnyInt>;
using BoolArg = Loose<AnyBool>;
using StrArg = Loose<AnyStr>;
using MethodArg = Loose<AnyMethod>;

// The image of `inpaint`: the caller's own uint8 array, changed in place.
// Anything else (another element type, a list) is a TypeError naming its
// type and the conversion to use: a converted copy would be filled and
// thrown away.
pybind11::array ImageArray(const pybind11::object& value, const char* what);

// The mask of `inpaint`: a uint8 or bool array is the caller's own, changed
// in place; anything else NumPy can convert becomes a new uint8 array (a
// TypeError when it cannot).
struct MaskArray {
  pybind11::array array;
  bool is_bool = false;    // True marks a hole instead of bytes above 128
  bool converted = false;  // a private copy: the caller's object is untouched
};
MaskArray ToMaskArray(const pybind11::object& value, const char* what);

// An integer-like object (int, numpy.int64, anything with __index__) in
// [low, high]: a TypeError for other types, a ValueError outside the range,
// however large.
int ToIntInRange(const pybind11::object& value, const char* what, int low,
                 int high);

// True/False, numpy.bool_, None (false) or a number, as pybind11's bool
// conversion takes them.
bool ToBool(const pybind11::object& value, const char* what);

// A str, else a TypeError.
std::string ToStr(const pybind11::object& value, const char* what);

// An InpaintMethod member, as its number.
int32_t ToMethod(const pybind11::object& value, const char* what);

// The Python name of an object's type, "numpy.ndarray" or "float".
std::string TypeName(const pybind11::handle& value);

}  // namespace pw::python

namespace pybind11::detail {

template <class Name>
struct type_caster<pw::python::Loose<Name>> {
  PYBIND11_TYPE_CASTER(pw::python::Loose<Name>, Name::name);
  bool load(handle src, bool) {
    value.value = reinterpret_borrow<object>(src);
    return true;
  }
  static handle cast(const pw::python::Loose<Name>& src, return_value_policy,
                     handle) {
    return src.value.inc_ref();
  }
};

}  // namespace pybind11::detail
