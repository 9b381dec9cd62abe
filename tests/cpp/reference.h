// Test inputs, and the plain reference the backends are compared with.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "reference_exhaustive.h"

namespace pw::reference {

// Random picture with `levels` grey levels per channel (few levels make
// many ties) and a mask with isolated pixels and one rectangular hole.
struct RandomCase {
  int w, h, r;
  std::vector<uint8_t> image, mask;
};

inline RandomCase MakeRandomCase(std::mt19937& rng, int w, int h, int r,
                                 int levels, int hole_w, int hole_h,
                                 int specks) {
  RandomCase c{w, h, r, std::vector<uint8_t>(w * h * 3), std::vector<uint8_t>(w * h, 0)};
  for (auto& b : c.image)
    b = static_cast<uint8_t>((rng() % levels) * (255 / (levels > 1 ? levels - 1 : 1)));
  if (hole_w > 0 && hole_h > 0) {
    const int x0 = static_cast<int>(rng() % (w - hole_w + 1));
    const int y0 = static_cast<int>(rng() % (h - hole_h + 1));
    for (int y = y0; y < y0 + hole_h; ++y)
      for (int x = x0; x < x0 + hole_w; ++x) c.mask[y * w + x] = 1;
  }
  for (int s = 0; s < specks; ++s) c.mask[rng() % (w * h)] = 1;
  return c;
}

// Paints the picture in flat blocks of `block` pixels: many windows match
// exactly, so distances tie at the minimum across slots and passes.
inline void MakeBlocky(RandomCase& c, std::mt19937& rng, int block, int levels) {
  std::vector<uint8_t> colours(3 * 64);
  for (auto& b : colours) b = static_cast<uint8_t>((rng() % levels) * 40);
  for (int y = 0; y < c.h; ++y)
    for (int x = 0; x < c.w; ++x) {
      const int k = ((y / block) * 7 + (x / block) * 3) % 64;
      for (int ch = 0; ch < 3; ++ch)
        c.image[(y * c.w + x) * 3 + ch] = colours[3 * k + ch];
    }
}

// A random search domain for a w x h picture: a search radius (none, 0, a
// few pixels, or past the image) and a source mask (none, random, or one
// that allows nothing). Owns the mask the domain points to.
struct RandomDomain {
  int radius = -1;
  std::vector<uint8_t> allowed;
  kernels::SearchDomain Get() const {
    return {radius, allowed.empty() ? nullptr : allowed.data()};
  }
};

inline RandomDomain MakeRandomDomain(std::mt19937& rng, int w, int h) {
  RandomDomain d;
  const int radii[] = {-1, 0, 1, 2, 4, 7, w + h};
  d.radius = radii[rng() % 7];
  switch (rng() % 4) {
    case 0: break;
    case 1: d.allowed.assign(w * h, 0); break;
    default:
      d.allowed.resize(w * h);
      for (auto& b : d.allowed) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : 1 + rng() % 255);
  }
  return d;
}

}  // namespace pw::reference
