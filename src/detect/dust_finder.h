// Dust specks found by the dust model: pixels it is sure of seed a speck,
// which grows over the neighbours it finds likely; specks wider than the
// largest looked for are left out (they are the picture's own shapes).
#pragma once

#include <cstdint>

#include "detect/find_damage.h"

namespace pw::detect {

// Sets to 1 in `mask` the pixels of every speck found.
void MarkDust(const PictureView& picture, const FindOptions& options, uint8_t* mask);

}  // namespace pw::detect
