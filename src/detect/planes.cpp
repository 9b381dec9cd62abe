#include "detect/planes.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "fill/cpu/thread_count.h"
#include "fill/cpu/thread_pool.h"

namespace pw::detect {
namespace {

// One pixel's value of the plane, in the samples' own scale.
template <class T>
uint32_t Reduce(const T* s, int32_t channels, Sample which) {
  if (channels == 1) return s[0];
  switch (which) {
    case Sample::Brightest: return std::max({s[0], s[1], s[2]});
    case Sample::Darkest: return std::min({s[0], s[1], s[2]});
    default: return (77u * s[0] + 150u * s[1] + 29u * s[2] + 128u) >> 8;
  }
}

// One row of the plane, in 8 bits, from any supported view.
void PlaneRow(const PictureView& p, int32_t y, Sample which, uint8_t* out) {
  const auto* row = static_cast<const uint8_t*>(p.pixels) + y * p.row_bytes;
  const int32_t c = p.channels;
  if (p.bits == 8) {
    for (int32_t x = 0; x < p.width; ++x)
      out[x] = static_cast<uint8_t>(Reduce(row + x * c, c, which));
    return;
  }
  const auto* row16 = reinterpret_cast<const uint16_t*>(row);
  for (int32_t x = 0; x < p.width; ++x) {
    const uint32_t v = Reduce(row16 + x * c, c, which);
    out[x] = static_cast<uint8_t>((v + 128u) / 257u);  // v / 257, rounded
  }
}

// The picture's own index that stands for i, which may lie beyond its n
// pixels: the edge pixel, or the one i mirrors (the edge not repeated).
int32_t Inside(int32_t i, int32_t n, Border border) {
  if (border == Border::Replicate) return std::clamp(i, 0, n - 1);
  if (n == 1) return 0;
  const int32_t period = 2 * (n - 1);
  i = std::abs(i) % period;
  return i < n ? i : period - i;
}

}  // namespace

void ForRowBands(int32_t height, const std::function<void(int32_t, int32_t)>& body) {
  constexpr int32_t kBand = 64;
  const int bands = static_cast<int>((height + kBand - 1) / kBand);
  const int threads = std::max(1, std::min(CpuThreadCount(), bands));
  auto run = [&](int band, int) {
    const int32_t first = band * kBand;
    body(first, std::min(height, first + kBand));
  };
  if (threads == 1) {
    for (int b = 0; b < bands; ++b) run(b, 0);
    return;
  }
  ThreadPool pool(threads);
  pool.ParallelFor(bands, run);
}

PaddedPlane LumaPlane(const PictureView& picture, int32_t pad, bool smoothed, Sample which,
                      Border border) {
  const int32_t w = picture.width, h = picture.height;
  PaddedPlane plane;
  plane.width = w;
  plane.height = h;
  plane.pad = pad;
  plane.stride = w + 2 * pad;
  plane.data.assign(static_cast<size_t>(plane.stride) * (h + 2 * pad), 0);

  // Column sums of three luma rows, then sums of three columns.
  std::vector<uint8_t> luma(static_cast<size_t>(w) * h);
  ForRowBands(h, [&](int32_t y0, int32_t y1) {
    for (int32_t y = y0; y < y1; ++y) PlaneRow(picture, y, which, luma.data() + y * w);
  });
  ForRowBands(h, [&](int32_t y0, int32_t y1) {
    std::vector<uint16_t> column(w + 2);
    for (int32_t y = y0; y < y1; ++y) {
      const uint8_t* up = luma.data() + Inside(y - 1, h, border) * w;
      const uint8_t* mid = luma.data() + y * w;
      const uint8_t* down = luma.data() + Inside(y + 1, h, border) * w;
      for (int32_t x = 0; x < w; ++x)
        column[x + 1] = static_cast<uint16_t>(up[x] + mid[x] + down[x]);
      column[0] = column[Inside(-1, w, border) + 1];
      column[w + 1] = column[Inside(w, w, border) + 1];
      int16_t* out = plane.Row(y);
      if (smoothed)
        for (int32_t x = 0; x < w; ++x)
          out[x] = static_cast<int16_t>(column[x] + column[x + 1] + column[x + 2]);
      else
        for (int32_t x = 0; x < w; ++x) out[x] = static_cast<int16_t>(kSumUnits * mid[x]);
      for (int32_t k = 1; k <= pad; ++k) {
        out[-k] = out[Inside(-k, w, border)];
        out[w - 1 + k] = out[Inside(w - 1 + k, w, border)];
      }
    }
  });
  for (int32_t k = 1; k <= pad; ++k) {
    const int16_t* above = plane.Row(Inside(-k, h, border)) - pad;
    std::copy(above, above + plane.stride, plane.Row(-k) - pad);
    const int16_t* below = plane.Row(Inside(h - 1 + k, h, border)) - pad;
    std::copy(below, below + plane.stride, plane.Row(h - 1 + k) - pad);
  }
  return plane;
}

}  // namespace pw::detect
