// A speck found is marked out to its soft edge: a repair that leaves the
// faint rim of a speck leaves a visible ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "detect/planes.h"

namespace pw::detect {

// A speck out to its soft edge: its pixels and those around it, within its
// reach, that still differ from its background by a good share of its
// contrast; and that background, in the plane's units.
struct SoftEdge {
  std::vector<size_t> pixels;
  int32_t level = 0;     // the plane around the speck
  int32_t spread = 0;    // the median distance of the ring read from that level
  int32_t radius = 0;    // the ring read, just outside the speck
  int32_t contrast = 0;  // of the speck's most extreme pixel against the level
};

// The rings a speck's background is read on, from radius 2 out to just
// beyond the widest speck looked for.
struct SoftEdgeRings {
  explicit SoftEdgeRings(int32_t max_speck);
  std::vector<std::vector<std::pair<int32_t, int32_t>>> rings;  // offsets (dx, dy)
};

// `sign` is 1 for a dark speck, -1 for a bright one; `plane` is the
// smoothed luma.
SoftEdge GrowToSoftEdge(const PaddedPlane& plane, const std::vector<size_t>& speck,
                        int32_t sign, const SoftEdgeRings& rings);

}  // namespace pw::detect
