// Damage found in a picture as read from a file, for the runs that fill
// it: the picture's samples as they are, and the infrared channel that an
// RGBI TIFF brings with it.
#pragma once

#include <cstdint>

#include "image/image.h"

namespace pw::detect {

// Marks in `mask` (1 for damage, picture-sized) the damage of `kinds`
// (Kind flags) found in the picture, its infrared channel included.
// Throws std::invalid_argument when infrared is asked for and the picture
// has no infrared channel.
void AddFoundDamage(const Common::CImage& picture, unsigned kinds, double sensitivity,
                    uint8_t* mask);

}  // namespace pw::detect
