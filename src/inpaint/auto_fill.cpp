#include "inpaint/auto_fill.h"

#include <algorithm>

#include "fill/smooth/biharmonic.h"

namespace pw {

std::optional<std::string> AutoRadiusProblem(int32_t radius) {
  if (radius >= 1) return std::nullopt;
  return "method auto needs a radius of 1 or more: a window of one pixel holds no "
         "known pixel to compare";
}

int32_t DeepestTarget(const uint8_t* mask, const uint8_t* targets, int32_t width,
                      int32_t height) {
  // Two chamfer passes with unit steps to all eight neighbours give the
  // exact Chebyshev distance to the nearest unmarked pixel; the picture's
  // outside is not known.
  const int64_t w = width, h = height;
  constexpr int32_t kFar = 1 << 30;
  std::vector<int32_t> d(static_cast<size_t>(w * h));
  for (int64_t y = 0; y < h; ++y)
    for (int64_t x = 0; x < w; ++x) {
      const int64_t i = y * w + x;
      int32_t v = mask[i] == 1 ? kFar : 0;
      if (v != 0) {
        if (x > 0) v = std::min(v, d[i - 1] + 1);
        if (y > 0) {
          v = std::min(v, d[i - w] + 1);
          if (x > 0) v = std::min(v, d[i - w - 1] + 1);
          if (x + 1 < w) v = std::min(v, d[i - w + 1] + 1);
        }
      }
      d[i] = v;
    }
  int32_t deepest = 0;
  for (int64_t y = h - 1; y >= 0; --y)
    for (int64_t x = w - 1; x >= 0; --x) {
      const int64_t i = y * w + x;
      int32_t v = d[i];
      if (v != 0) {
        if (x + 1 < w) v = std::min(v, d[i + 1] + 1);
        if (y + 1 < h) {
          v = std::min(v, d[i + w] + 1);
          if (x + 1 < w) v = std::min(v, d[i + w + 1] + 1);
          if (x > 0) v = std::min(v, d[i + w - 1] + 1);
        }
        d[i] = v;
      }
      if (v != 0 && (targets == nullptr || targets[i] != 0)) deepest = std::max(deepest, v);
    }
  return deepest >= kFar ? kFar : deepest;
}

int32_t DefaultSearchRadius(const uint8_t* mask, const uint8_t* targets, int32_t width,
                            int32_t height, int32_t radius) {
  const int64_t deepest = DeepestTarget(mask, targets, width, height);
  const int64_t reach = deepest + 2 * int64_t{radius} + kDefaultSearchMargin;
  // A search past the picture is the whole picture.
  const int64_t cap = std::max<int64_t>({width, height, kDefaultSearchRadius});
  return static_cast<int32_t>(std::min(std::max<int64_t>(kDefaultSearchRadius, reach), cap));
}

int64_t FillThinDamage(const PictureView& picture, uint8_t* mask,
                       const std::vector<uint8_t>& holes) {
  const size_t pixels = static_cast<size_t>(picture.width) * picture.height;
  std::vector<uint8_t> state(pixels);
  bool any = false;
  for (size_t i = 0; i < pixels; ++i) {
    state[i] = mask[i] != 1 ? 0 : holes[i] ? 2 : 1;
    any = any || state[i] == 1;
  }
  if (!any) return 0;
  const int64_t filled =
      SmoothFill(picture.pixels, picture.width, picture.height, picture.channels,
                 picture.bytes_per_sample, picture.stride, state.data());
  for (size_t i = 0; i < pixels; ++i)
    if (mask[i] == 1 && state[i] == 0) mask[i] = 0;
  return filled;
}

}  // namespace pw
