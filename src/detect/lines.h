// Scratches and fibres: thin lines, dark or bright, that stand out from
// calm flanks. Each pixel is compared, in several directions, with the
// picture beside it on both sides, averaged along the direction; lines are
// then grown from strong, symmetric seeds and judged as a whole.
#pragma once

#include <array>
#include <cstddef>
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

// Everything the line finder reads of a picture: its unsmoothed luma, the
// oriented maps made from it and its grain.
struct LineInputs {
  PaddedPlane luma;
  LineMaps maps;
  GrainGrid grain;
};
LineInputs ReadLines(const PictureView& picture, int32_t max_width);

// A run of line pixels and what the line model sees of it.
constexpr int32_t kLineRunFeatureCount = 17;
struct LineRun {
  std::vector<size_t> pixels;
  std::array<float, kLineRunFeatureCount> features;
};

// The runs of one polarity (`dark` or bright): 8-connected pixels whose
// response passes the grow level, with enough seeds among them, at least
// `min_length` long, thin for their length and of a clear mean contrast.
std::vector<LineRun> FindLineRuns(const LineInputs& in, bool dark, int32_t min_length,
                                  double sensitivity);

// Marks the runs the line model takes for scratches or fibres, and joins
// their facing ends across short gaps.
void MarkLineRuns(const std::vector<LineRun>& runs, double sensitivity, uint8_t* mask,
                  int32_t width, int32_t height);

}  // namespace pw::detect
