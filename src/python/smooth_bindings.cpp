#include "python/smooth_bindings.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "fill/smooth/biharmonic.h"
#include "schedule/damage_split.h"

namespace py = pybind11;

namespace pw::python {
namespace {

std::string Shape(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t k = 0; k < a.ndim(); ++k) s += (k ? ", " : "") + std::to_string(a.shape(k));
  return s + (a.ndim() == 1 ? ",)" : ")");
}

void RequireBool(const py::array& a, const char* what) {
  if (a.dtype().kind() != 'b')
    throw py::type_error(std::string(what) + " must be a bool array, got dtype " +
                         a.dtype().attr("name").cast<std::string>());
}

// Height and width of a 2- or 3-axis array, within the core's int32 sizes.
void CheckedSize(const py::array& a, const char* what, int32_t* height, int32_t* width) {
  constexpr auto kMax = std::numeric_limits<int32_t>::max();
  if (a.shape(0) > kMax || a.shape(1) > kMax)
    throw py::value_error(std::string(what) + " is too large: " + Shape(a));
  *height = static_cast<int32_t>(a.shape(0));
  *width = static_cast<int32_t>(a.shape(1));
}

void RequireWritableRows(const py::array& a, const char* what) {
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(std::string(what) +
                          " array must be C-contiguous (use numpy.ascontiguousarray)");
  if (!a.writeable())
    throw py::value_error(std::string(what) + " array is read-only; the fill changes it in place");
}

py::array HolePartArray(const py::array& mask) {
  RequireBool(mask, "mask");
  if (mask.ndim() != 2)
    throw py::value_error("mask must have shape (height, width), got " + Shape(mask));
  int32_t height = 0, width = 0;
  CheckedSize(mask, "mask", &height, &width);
  const auto rows = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(mask);
  py::array_t<bool> hole({mask.shape(0), mask.shape(1)});
  {
    py::gil_scoped_release unlocked;
    // numpy's bools are bytes of 0 or 1, as the split reads them.
    const std::vector<uint8_t> part =
        HolePart(reinterpret_cast<const uint8_t*>(rows.data()), width, height);
    if (!part.empty()) std::memcpy(hole.mutable_data(), part.data(), part.size());
  }
  return std::move(hole);
}

int64_t SmoothFillArrays(py::array picture, py::array fill, const std::optional<py::array>& blocked) {
  const py::dtype type = picture.dtype();
  if (type.kind() != 'u' || (type.itemsize() != 1 && type.itemsize() != 2))
    throw py::type_error("picture must be a uint8 or uint16 array, got dtype " +
                         type.attr("name").cast<std::string>());
  if (type.itemsize() == 2 && !type.equal(py::dtype::of<uint16_t>()))
    throw py::type_error("picture's uint16 samples must be in the machine's byte order");
  if (picture.ndim() != 2 && picture.ndim() != 3)
    throw py::value_error("picture must have shape (height, width) or (height, width, channels), got " +
                          Shape(picture));
  if (picture.ndim() == 3 && picture.shape(2) != 3 && picture.shape(2) != 4)
    throw py::value_error("picture must have 3 or 4 channels on axis 2, got " +
                          std::to_string(picture.shape(2)));
  RequireWritableRows(picture, "picture");
  RequireBool(fill, "fill");
  if (fill.ndim() != 2 || fill.shape(0) != picture.shape(0) || fill.shape(1) != picture.shape(1))
    throw py::value_error("fill must have shape (height, width) = (" + std::to_string(picture.shape(0)) +
                          ", " + std::to_string(picture.shape(1)) + "), got " + Shape(fill));
  RequireWritableRows(fill, "fill");
  std::optional<py::array_t<bool, py::array::c_style>> none;
  if (blocked) {
    RequireBool(*blocked, "blocked");
    if (blocked->ndim() != 2 || blocked->shape(0) != fill.shape(0) ||
        blocked->shape(1) != fill.shape(1))
      throw py::value_error("blocked must have fill's shape " + Shape(fill) + ", got " +
                            Shape(*blocked));
    none = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(*blocked);
  }
  int32_t height = 0, width = 0;
  CheckedSize(picture, "picture", &height, &width);
  const auto channels = static_cast<int32_t>(picture.ndim() == 3 ? picture.shape(2) : 1);
  const auto bytes = static_cast<int32_t>(type.itemsize());

  auto* pixels = static_cast<uint8_t*>(picture.mutable_data());
  auto* flags = static_cast<uint8_t*>(fill.mutable_data());
  const auto* ignored = none ? reinterpret_cast<const uint8_t*>(none->data()) : nullptr;
  py::gil_scoped_release unlocked;
  const size_t count = static_cast<size_t>(width) * height;
  std::vector<uint8_t> state(count);
  for (size_t k = 0; k < count; ++k)
    state[k] = flags[k]                             ? kSmoothFill
               : ignored != nullptr && ignored[k] ? kSmoothIgnored
                                                  : kSmoothKnown;
  const int64_t filled = SmoothFill(pixels, width, height, channels, bytes,
                                    static_cast<size_t>(width) * channels * bytes, state.data());
  for (size_t k = 0; k < count; ++k)
    if (state[k] == kSmoothKnown) flags[k] = 0;
  return filled;
}

}  // namespace

void BindSmoothFill(py::module_& m) {
  m.def("_hole_part", &HolePartArray, py::arg("mask"),
        "The holes of a damage mask (bool, True marks damage): the damage that "
        "holds a disc of radius 3 (dx^2 + dy^2 <= 9, within the picture), with "
        "the damaged pixels next to it. The rest is thin damage.");
  m.def("_smooth_fill", &SmoothFillArrays, py::arg("picture"), py::arg("fill"),
        py::arg("blocked") = py::none(),
        "Fills the pixels True in `fill` of `picture` (uint8 or uint16, (height, "
        "width), 3 or 4 channels) in place from the pixels around them: the "
        "least-squares smoothest continuation. Clears `fill` where it filled and "
        "returns how many pixels it filled; a piece with nothing known around it "
        "stays True. Pixels True in `blocked` are neither filled nor leant on.");
}

}  // namespace pw::python
