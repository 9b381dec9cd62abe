// Method auto: each kind of damage gets the fill that suits it. Thin damage
// (dust, scratches: no disc of radius 3 fits in it) is filled smoothly, its
// edges and shading continued across it; holes are filled by the exhaustive
// search, which brings real texture in. The search runs first, on the hole
// part alone (the thin pixels stay unknown to it); the smooth fill then
// leans on everything known, the filled holes included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pw {

// The method number of file runs and of repair for auto. Not an engine
// method: InpaintImage takes the exhaustive search with a hole part.
constexpr int32_t kMethodAuto = 3;

// Why method auto cannot run with this window radius, or nothing: a
// window of one pixel holds no known pixel to compare.
std::optional<std::string> AutoRadiusProblem(int32_t radius);

// The smallest search radius the default gives, and the margin past the
// depth of the deepest hole (see DefaultSearchRadius). Measured on holes of
// 56 and 120 pixels in photos (bench/radius_quality.py): below 48 the fill
// repeats itself and loses texture; a fixed 48 leaves the middle of a large
// hole copying earlier fills rather than real texture.
constexpr int32_t kDefaultSearchRadius = 48;
constexpr int32_t kDefaultSearchMargin = 16;

// The search radius a run takes when the caller leaves it to us:
// max(kDefaultSearchRadius, depth + 2 * radius + kDefaultSearchMargin),
// the depth being that of the deepest target (its distance to the nearest
// known pixel, in both axes), so that its windows still reach known
// texture. `targets` (optional) limits the targets to the non-zero ones.
int32_t DefaultSearchRadius(const uint8_t* mask, const uint8_t* targets, int32_t width,
                            int32_t height, int32_t radius);

// The largest distance, in both axes (Chebyshev), from a target to the
// nearest pixel that is not marked (mask byte not 1); 0 without targets.
int32_t DeepestTarget(const uint8_t* mask, const uint8_t* targets, int32_t width,
                      int32_t height);

// A picture of any layout: rows of `stride` bytes, `channels` samples of
// `bytes_per_sample` (1 or 2) bytes per pixel.
struct PictureView {
  uint8_t* pixels = nullptr;
  int32_t width = 0, height = 0, channels = 3, bytes_per_sample = 1;
  size_t stride = 0;
};

// The smooth fill of the marked pixels (mask byte 1) outside `holes`;
// their mask bytes go to 0 as they are filled. The marked pixels of the
// hole part (those the search left) are neither filled nor leant on.
// Returns how many pixels were filled.
int64_t FillThinDamage(const PictureView& picture, uint8_t* mask,
                       const std::vector<uint8_t>& holes);

}  // namespace pw
