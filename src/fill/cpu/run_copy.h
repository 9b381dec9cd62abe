// What both CPU engines hold for a run: their own copy of the caller's image
// and mask, handed back by PullImage and PullMask, and the error they report
// when it cannot be made.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fill/engine.h"

namespace pw {

// Vector loads may run up to 31 bytes past a window row: the image copy
// carries this many spare bytes at its end.
constexpr size_t kImageSlack = 64;

inline DeviceMemoryError CpuMemoryError(uint64_t bytes) {
  return DeviceMemoryError(
      "CPU: cannot allocate " + std::to_string(bytes) + " bytes for the run",
      bytes);
}

class CpuRunBuffers : public FillEngine {
 public:
  void PullImage(uint8_t* image) override {
    std::copy(image_.begin(), image_.begin() + static_cast<ptrdiff_t>(image_bytes()),
              image);
  }
  void PullMask(uint8_t* mask) override {
    std::copy(mask_.begin(), mask_.end(), mask);
  }
  void PullSources(int32_t* sources) override {
    std::copy(sources_.begin(), sources_.end(), sources);
  }

 protected:
  explicit CpuRunBuffers(const EngineParams& params) : params_(params) {}

  size_t image_bytes() const {
    return static_cast<size_t>(params_.stride) * static_cast<size_t>(params_.height);
  }
  size_t pixels() const {
    return static_cast<size_t>(params_.width) * static_cast<size_t>(params_.height);
  }

  // Copies the image (plus zeroed slack) and the mask, and starts the
  // source map when the run keeps one. Throws std::bad_alloc.
  void CopyIn(const uint8_t* image, const uint8_t* mask) {
    image_.assign(image_bytes() + kImageSlack, 0);
    std::copy(image, image + image_bytes(), image_.begin());
    mask_.assign(mask, mask + pixels());
    if (params_.record_sources) sources_.assign(pixels(), -1);
  }

  // Where a fill records its source: null when the run keeps no map.
  int32_t* sources() { return sources_.empty() ? nullptr : sources_.data(); }

  void ReleaseCopies() noexcept {
    std::vector<uint8_t>().swap(image_);
    std::vector<uint8_t>().swap(mask_);
    std::vector<int32_t>().swap(sources_);
  }

  EngineParams params_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> mask_;
  std::vector<int32_t> sources_;
};

}  // namespace pw
