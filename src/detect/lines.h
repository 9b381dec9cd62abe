// Scratches and fibres: thin lines, dark or bright, that stand out from
// calm flanks. Each pixel is compared, in several directions, with the
// picture beside it on both sides, averaged along the direction; lines are
// then grown from strong, symmetric seeds and judged as a whole.
#pragma once

#include <cstdint>
#include <vector>

#include "detect/planes.h"

namespace pw::detect {

// The padding OrientedLines needs around its plane.
int32_t LinePad(int32_t max_width);

// Per pixel, in sum units: how much darker (brighter) than both flanks a
// line through it is, less how much each flank itself varies outwards
// (`dark`, `bright`); `seed_*` also takes off how much the two flanks
// differ, so that the rim of a highlight or a contour between two areas
// does not start a line.
struct LineMaps {
  std::vector<int16_t> dark, bright, seed_dark, seed_bright;
};
LineMaps OrientedLines(const PaddedPlane& plane, int32_t max_width);

// The grain of the picture, block by block of kBlock pixels: the spread
// (a median absolute deviation) of what a 3 x 3 mean leaves, in sum units.
struct GrainGrid {
  int32_t cols = 0, rows = 0;
  std::vector<int32_t> value;
  int32_t At(int32_t x, int32_t y) const;
};
GrainGrid GrainLevels(const PaddedPlane& plane);

// Marks the lines of one polarity: 8-connected runs of pixels whose
// response passes the grow level, with enough seeds among them, at least
// `min_length` long, thin for their length and of a clear mean contrast.
void MarkLineRuns(const std::vector<int16_t>& response, const std::vector<int16_t>& seed,
                  const GrainGrid& grain, int32_t width, int32_t height, int32_t min_length,
                  double sensitivity, uint8_t* mask);

}  // namespace pw::detect
