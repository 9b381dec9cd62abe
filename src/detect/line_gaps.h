// Where a scratch or fibre crosses an edge or a busier patch, its flanks
// stop being calm and the line finder loses a few pixels of it: the two
// parts come out as separate runs. Their facing ends are joined here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pw::detect {

// The longest gap joined, in pixels.
constexpr int32_t kLineGap = 24;

// For runs (pixel indices of a width-wide picture) already marked in
// `mask`: marks the straight path between two ends of runs that face each
// other across at most kLineGap pixels, each end pointing at the other.
void BridgeLineGaps(const std::vector<std::vector<size_t>>& runs, int32_t width,
                    int32_t height, uint8_t* mask);

}  // namespace pw::detect
