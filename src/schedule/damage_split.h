// Damage split into holes and thin damage. Thin damage (dust specks,
// scratches a few pixels wide) is best filled smoothly; holes need the
// exemplar search. A pixel belongs to a hole when the damage around it
// holds a disc of radius 3: the disc is every offset (dx, dy) with
// dx^2 + dy^2 <= 9 (37 pixels: rows of 7, 5, 5 and 1 pixels from the
// centre out), so a line up to 6 pixels wide or a 6 x 6 speck is thin and a
// 7 x 7 square is a hole. Each hole also takes the damaged pixels next to
// it (3 x 3 neighbourhood), so that its rim is filled with it.
#pragma once

#include <cstdint>
#include <vector>

namespace pw {

// The hole part of a damage mask of width x height bytes (1 marks damage,
// any other value a known pixel): the mask's opening by the disc, dilated
// by one pixel (3 x 3), within the mask. Pixels outside the picture count
// as known, so a disc must lie inside the picture. Returns width * height
// bytes, 1 where the pixel belongs to a hole, 0 elsewhere.
std::vector<uint8_t> HolePart(const uint8_t* mask, int32_t width, int32_t height);

}  // namespace pw
