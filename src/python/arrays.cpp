#include "python/arrays.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "inpaint/source_copy.h"

namespace py = pybind11;

namespace pw::python {
namespace {

// One byte per element: uint8, or bool where `bools` allows it.
bool IsByteArray(const py::array& a, bool bools) {
  const char kind = a.dtype().kind();
  return a.itemsize() == 1 && (kind == 'u' || (bools && kind == 'b'));
}

void RequireContiguous(const py::array& a, const char* what) {
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(std::string(what) +
                          " array must be C-contiguous (use numpy.ascontiguousarray)");
}

const uint8_t* CheckedSourceMask(const py::array& a, py::ssize_t height, py::ssize_t width) {
  if (!IsByteArray(a, true)) throw py::type_error("source_mask must be a bool or uint8 array");
  if (a.ndim() != 2 || a.shape(0) != height || a.shape(1) != width) {
    std::string shape = "(";
    for (py::ssize_t k = 0; k < a.ndim(); ++k)
      shape += (k ? ", " : "") + std::to_string(a.shape(k));
    throw py::value_error("source_mask must have shape (height, width) = (" +
                          std::to_string(height) + ", " + std::to_string(width) +
                          "), got " + shape + (a.ndim() == 1 ? ",)" : ")"));
  }
  RequireContiguous(a, "source_mask");
  return static_cast<const uint8_t*>(a.data());
}

}  // namespace

void RequireWritableContiguous(const py::array& a, const char* what) {
  RequireContiguous(a, what);
  if (!a.writeable())
    throw py::value_error(std::string(what) +
                          " array is read-only; inpaint changes it in place");
}

Buffers CheckedBuffers(py::array& image, py::array& mask,
                       const std::optional<py::array>& source_mask) {
  if (!IsByteArray(image, false)) throw py::type_error("image must be a uint8 array");
  if (image.ndim() != 3)
    throw py::value_error("image must have shape (height, width, 3), got " +
                          std::to_string(image.ndim()) + " axes");
  if (image.shape(2) != 3)
    throw py::value_error("image must have 3 channels on axis 2, got " +
                          std::to_string(image.shape(2)) +
                          " (patchwell.repair takes gray and RGBA pictures)");
  const py::ssize_t height = image.shape(0);
  const py::ssize_t width = image.shape(1);
  if (static_cast<uint64_t>(height) * static_cast<uint64_t>(width) * 3u > 0x7FFFFFFFu)
    throw py::value_error("image larger than 2^31 - 1 bytes is not supported");
  RequireWritableContiguous(image, "image");

  if (!IsByteArray(mask, true)) throw py::type_error("mask must be a uint8 or bool array");
  if (mask.size() != height * width)
    throw py::value_error("mask must hold height x width = " +
                          std::to_string(height * width) + " bytes, got " +
                          std::to_string(mask.size()));
  RequireWritableContiguous(mask, "mask");

  const uint8_t* allowed =
      source_mask ? CheckedSourceMask(*source_mask, height, width) : nullptr;
  return {static_cast<uint8_t*>(image.mutable_data()),
          static_cast<uint8_t*>(mask.mutable_data()),
          mask.dtype().kind() == 'b', allowed, static_cast<int32_t>(width),
          static_cast<int32_t>(height)};
}

int32_t* CheckedSourceMap(const std::optional<py::array>& sources, const Buffers& b) {
  if (!sources) return nullptr;
  py::array map = *sources;
  if (!py::isinstance<py::array_t<int32_t>>(map) || map.ndim() != 2 ||
      map.shape(0) != b.height || map.shape(1) != b.width)
    throw py::value_error("sources must be an int32 array of the image's height and width");
  RequireWritableContiguous(map, "sources");
  return static_cast<int32_t*>(map.mutable_data());
}

const uint8_t* CheckedTargets(const std::optional<py::array>& targets, const Buffers& b) {
  if (!targets) return nullptr;
  const py::array& t = *targets;
  if (!py::isinstance<py::array_t<bool>>(t) || t.ndim() != 2 || t.shape(0) != b.height ||
      t.shape(1) != b.width ||
      !(t.flags() & py::array::c_style))
    throw py::value_error("targets must be a C-contiguous bool array of the image's height "
                          "and width");
  return static_cast<const uint8_t*>(t.data());
}

void CopyFromSources(py::array image, const py::array& sources_arg) {
  if (!py::isinstance<py::array_t<int32_t>>(sources_arg) || sources_arg.ndim() != 2)
    throw py::value_error("sources must be a two-axis int32 array");
  const auto sources = sources_arg.cast<py::array_t<int32_t, py::array::c_style>>();
  RequireWritableContiguous(image, "image");
  if (image.ndim() < 2 || image.shape(0) != sources.shape(0) ||
      image.shape(1) != sources.shape(1))
    throw py::value_error("image and sources must have the same height and width");
  const auto height = static_cast<int32_t>(image.shape(0));
  const auto width = static_cast<int32_t>(image.shape(1));
  const int64_t pixels = int64_t{width} * height;
  const size_t pixel_bytes = pixels > 0 ? static_cast<size_t>(image.nbytes() / pixels) : 0;
  std::vector<int32_t> resolved(sources.data(), sources.data() + pixels);
  for (const int32_t s : resolved)
    if (s < -1 || s >= pixels) throw py::value_error("sources holds an index outside the image");
  py::gil_scoped_release unlocked;
  ResolveSources(resolved.data(), pixels);
  CopyFromResolvedSources(static_cast<uint8_t*>(image.mutable_data()), width, height,
                          width * pixel_bytes, pixel_bytes, resolved.data());
}

}  // namespace pw::python
