#include "image/load_control.h"

#include "image/image_limits.h"

namespace Common {
namespace {

constexpr std::chrono::milliseconds kStopPollInterval{50};

}  // namespace

LoadControl::LoadControl() : max_pixels(MaxImagePixels()) {}

int64_t LoadControl::Admit(int64_t width, int64_t height, int64_t channels) {
  if (width < 0 || height < 0) return -1;
  // Each dimension is checked first, so that the product fits 64 bits.
  const bool fits = width <= kMaxImageDimension &&
                    height <= kMaxImageDimension &&
                    width * height <= max_pixels;
  const int64_t bytes = fits ? CheckedBlockBytes(width, height, channels) : -1;
  if (bytes < 0 && channels >= 1 && channels <= 4) {
    failure_ = LoadFailure::TooLarge;
    declared_width_ = width;
    declared_height_ = height;
  }
  return bytes;
}

bool LoadControl::Stopped() {
  if (failure_ == LoadFailure::Stopped) return true;
  if (!stop) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_poll_) return false;
  next_poll_ = now + kStopPollInterval;
  if (!stop()) return false;
  failure_ = LoadFailure::Stopped;
  return true;
}

}  // namespace Common
