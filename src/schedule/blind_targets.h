// Blind targets: a target whose window holds no known pixel when its turn
// comes has nothing to compare, so every candidate matches it equally. A
// run may leave such targets for a later sweep, when their neighbours are
// known, instead of giving them the first candidate of the tie-break.
#pragma once

#include <cstdint>
#include <vector>

namespace pw {

// Keeps in `order` the targets that see a known pixel (mask byte not 1,
// or a kept target earlier in the order) within `radius` of them in both
// axes, in their order, and returns the others, in their order. Every kept
// target is assumed to be filled in its turn.
std::vector<int32_t> TakeBlindTargets(std::vector<int32_t>& order, const uint8_t* mask,
                                      int32_t width, int32_t height, int32_t radius);

}  // namespace pw
