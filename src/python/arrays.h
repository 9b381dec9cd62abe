// The binding's checks of the NumPy arrays it is given: each entry reads
// and writes only within buffers that are what the fill addresses (types,
// shapes, contiguity, writability, sizes). Failures raise TypeError or
// ValueError naming the argument.
#pragma once

#include <cstdint>
#include <optional>

#include <pybind11/numpy.h>

namespace pw::python {

void RequireWritableContiguous(const pybind11::array& a, const char* what);

// The arrays of an array run: an image of height x width x 3 bytes and a
// mask of height x width bytes in packed rows, both writable, and a source
// mask of height x width bytes.
struct Buffers {
  uint8_t* image;
  uint8_t* mask;
  bool bool_mask;  // True marks a hole instead of bytes above 128
  const uint8_t* source_mask;
  int32_t width;
  int32_t height;
};

Buffers CheckedBuffers(pybind11::array& image, pybind11::array& mask,
                       const std::optional<pybind11::array>& source_mask);

// The targets of an array run (method auto's hole part), or null: a
// C-contiguous bool array of the image's height and width, read during the run.
const uint8_t* CheckedTargets(const std::optional<pybind11::array>& targets,
                              const Buffers& b);

// The source map an array run writes: a writable int32 array of the
// image's height and width, or null when none is given.
int32_t* CheckedSourceMap(const std::optional<pybind11::array>& sources,
                          const Buffers& b);

// _copy_from_sources: copies every pixel of image (all its samples) from
// its source along the fill order, as a run's source map names them.
void CopyFromSources(pybind11::array image, const pybind11::array& sources);

}  // namespace pw::python
