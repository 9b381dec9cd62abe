// The largest window radius: windows are 2 * radius + 1 pixels square, and
// the pruned method's float sums stay exact while 255 * (2r + 1)^2 < 2^24.
// Every entry (the command, the package, the driver) checks against this.
#pragma once

#include <cstdint>

namespace pw {

inline constexpr int32_t kMaxRadius = 127;

}  // namespace pw
