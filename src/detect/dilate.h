// The last step of every finder: what is found, widened.
#pragma once

#include <cstdint>

namespace pw::detect {

// Sets every pixel within `radius` (a square) of a set one.
void Dilate(uint8_t* mask, int32_t width, int32_t height, int32_t radius);

}  // namespace pw::detect
