// Damage from a film scanner's infrared channel: the dyes of a colour film
// are nearly transparent to infrared, dust and hairs are not, so damage is
// where the transmission drops clearly below its local level.
#pragma once

#include <cstdint>

#include "detect/find_damage.h"

namespace pw::detect {

// Marks (sets to 1 in `mask`, width * height) the damage the infrared view
// shows, not yet dilated.
void MarkInfrared(const PictureView& infrared, double sensitivity, uint8_t* mask);

}  // namespace pw::detect
