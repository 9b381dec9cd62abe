// A millisecond tick counter that wraps at 2^32, like the tick count the
// progress and timing code is written against: differences are taken in
// unsigned 32-bit arithmetic.
#pragma once

#include <cstdint>

namespace pw {

uint32_t TickCountMs();

}  // namespace pw
