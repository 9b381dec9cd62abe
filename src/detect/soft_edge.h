// A speck found is marked out to its soft edge: a repair that leaves the
// faint rim of a speck leaves a visible ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detect/planes.h"

namespace pw::detect {

// Sets to 1 in `mask` the speck's pixels and those around it, within its
// reach, that still differ from its background by a good share of its
// contrast. `sign` is 1 for a dark speck, -1 for a bright one; `plane` is
// the smoothed luma.
void MarkToSoftEdge(const PaddedPlane& plane, const std::vector<size_t>& speck, int32_t sign,
                    int32_t max_speck, uint8_t* mask);

}  // namespace pw::detect
