// The smooth fill: damaged pixels continued from the known pixels around
// them so that edges and shading run on across the damage. Each piece of
// damage takes the values that make the picture's Laplacian as small as
// possible (least squares) at the piece and next to it: a plane, or a
// quadratic away from the picture's edges, comes back exactly. Meant for
// thin damage (specks, scratches); a wide hole comes out blurred.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace pw {

// The state of each pixel in a smooth fill.
enum SmoothState : uint8_t {
  kSmoothKnown = 0,    // a known value, which the fill leans on
  kSmoothFill = 1,     // to be filled
  kSmoothIgnored = 2,  // neither known nor filled: the fill does not look at it
};

// Fills the pixels of state kSmoothFill (`state`: width * height bytes) in
// `pixels`: height rows of `stride` bytes, each pixel `channels` (1 to 4)
// samples of `bytes_per_sample` bytes (1, or 2 for native-endian uint16).
// Every sample (alpha too) is filled, rounded to nearest and clamped to the
// sample's range. Pixels that share a least-squares equation are filled
// together as a piece: 8-connected pixels, and pixels two apart along a row
// or a column. The Laplacian is the 5-point one; along an axis where a
// neighbour lies outside the picture its term is left out, so a plane has
// none at the edges either. Equations that would read an ignored pixel are
// left out. A piece that has nothing known to lean on (its equations
// leave it undetermined) stays as it is, state kSmoothFill. Filled pixels
// become kSmoothKnown. `stop`, when given, is asked between pieces; true
// ends the fill there. Returns how many pixels were filled. Throws
// std::invalid_argument for a layout it cannot address.
int64_t SmoothFill(uint8_t* pixels, int32_t width, int32_t height, int32_t channels,
                   int32_t bytes_per_sample, size_t stride, uint8_t* state,
                   const std::function<bool()>& stop = {});

}  // namespace pw
