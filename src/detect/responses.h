// How much each pixel stands out from its surroundings, in sum units of the
// smoothed plane, for dark and for bright damage:
//  - blob: darker (brighter) than every pixel of a ring around it, at the
//    ring radius that suits it best; a line or an edge always has ring
//    pixels on its own level, so only compact specks respond.
// Lines have their own response (detect/lines.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detect/planes.h"

namespace pw::detect {

struct Responses {
  std::vector<uint16_t> dark, bright;  // width * height, 0 where none
};

// The plane offsets of the pixels whose distance from the centre rounds
// to r: a closed ring, through which no line can pass unseen.
std::vector<ptrdiff_t> RingOffsets(int32_t r, ptrdiff_t stride);

// The responses at the best of rings of these radii; the plane's padding
// must reach the largest.
Responses BlobResponses(const PaddedPlane& plane, const std::vector<int32_t>& radii);

}  // namespace pw::detect
