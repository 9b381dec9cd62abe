// From responses to marked pixels: the specks and lines that pass their
// thresholds, each marked out to its soft edge, and the final dilation.
#pragma once

#include <cstdint>
#include <vector>

#include "detect/planes.h"
#include "detect/texture_level.h"

namespace pw::detect {

enum class Polarity { Dark, Bright };

// Marks (sets to 1 in `mask`) every speck whose blob response passes the
// threshold, with the pixels around it that differ from the speck's
// background by a good share of its contrast, within its reach.
void MarkSpecks(const std::vector<uint16_t>& response, const BlockGrid& threshold,
                const PaddedPlane& plane, Polarity polarity, int32_t max_speck,
                uint8_t* mask);

// Sets every pixel within `radius` (a square) of a set one.
void Dilate(uint8_t* mask, int32_t width, int32_t height, int32_t radius);

}  // namespace pw::detect
