// What the dust model sees of a pixel: how it stands out from rings around
// it at several sizes, in the luminance and in the brightest and darkest
// colour channels; the texture around it; whether it lies on a line; and
// its blob responses against their own level in the neighbouring blocks.
// All in gray levels of the 3 x 3 smoothed planes, so that 8- and 16-bit
// pictures alike give values of the same scale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "detect/planes.h"
#include "detect/responses.h"
#include "detect/texture_level.h"

namespace pw::detect {

constexpr int32_t kSpeckFeatureCount = 51;

// The border the features read beyond a pixel.
constexpr int32_t kSpeckPad = 16;

// The planes and responses the features are read from, made once for the
// whole picture.
struct SpeckPlanes {
  PaddedPlane luma, brightest, darkest;  // smoothed, kSpeckPad of border
  bool gray = false;                     // all three planes the same
  Responses blob;                        // of the luma plane
  BlockGrid dark_level, bright_level;    // the blob responses' block levels
};

SpeckPlanes MakeSpeckPlanes(const PictureView& picture);

// The pixels worth the model's look (1, else 0): those darker or brighter
// than a whole ring around them by a few levels (2 here), and their
// neighbours out to a speck's soft edge (1).
std::vector<uint8_t> SpeckCandidates(const SpeckPlanes& planes);

// A line through a pixel: 11 samples along it, and the same to either side.
struct LineProbe {
  std::array<ptrdiff_t, 11> along;
  ptrdiff_t side;  // from a sample on the line to one beside it
};

// The plane offsets the features read, for a plane's stride.
struct Probes {
  explicit Probes(ptrdiff_t stride);
  std::vector<std::vector<ptrdiff_t>> luma_rings, colour_rings;
  std::array<LineProbe, 8> lines;
};

// Calls use(index, features) for each pixel of rows [y0, y1) that `pick`
// marks (non-zero), in order; `kSpeckFeatureCount` floats a pixel.
void ForSpeckFeatures(const SpeckPlanes& planes, int32_t y0, int32_t y1, const uint8_t* pick,
                      const std::function<void(size_t, const float*)>& use);

// The features of one pixel, equal to those ForSpeckFeatures gives it.
void SpeckFeatures(const SpeckPlanes& planes, const Probes& probes, int32_t x, int32_t y,
                   float* out);

}  // namespace pw::detect
