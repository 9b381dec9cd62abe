#include "inpaint/feasibility.h"

#include <algorithm>

#include "fill/engine.h"

namespace pw {
namespace {

std::string Num(int64_t v) { return std::to_string(v); }

std::string SearchRadiusText(int32_t radius, int32_t search_radius) {
  return "search radius " + Num(search_radius) +
         " is not above the window radius " + Num(radius) +
         ": every window within it contains the pixel being filled, so none "
         "can be its source; use a search radius of at least " +
         Num(radius + 1);
}

// With a search radius at or below the window radius, the exhaustive
// method rejects every candidate whose window holds the target at an
// in-image position of the target's window. Only a target near the edge,
// whose mirror image through some candidate falls outside the picture, can
// still find one.
bool SomeTargetMayFaceOutside(const JobShape& job) {
  const int64_t w = job.width, h = job.height, r = job.radius,
                s = *job.search_radius;
  for (int64_t y = 0; y < h; ++y) {
    const int64_t cy0 = std::max(r, y - s), cy1 = std::min(h - r - 1, y + s);
    if (cy0 > cy1) continue;
    const bool row_out = 2 * y - cy1 < 0 || 2 * y - cy0 >= h;
    for (int64_t x = 0; x < w; ++x) {
      if (job.mask[y * w + x] != 1) continue;
      const int64_t cx0 = std::max(r, x - s), cx1 = std::min(w - r - 1, x + s);
      if (cx0 > cx1) continue;
      if (row_out || 2 * x - cx1 < 0 || 2 * x - cx0 >= w) return true;
    }
  }
  return false;
}

}  // namespace

std::optional<std::string> ImpossibleJob(const JobShape& job, bool strict) {
  const int64_t pixels = static_cast<int64_t>(job.width) * job.height;
  const int64_t holes = std::count(job.mask, job.mask + pixels, uint8_t{1});
  if (holes == 0) return std::nullopt;  // nothing to fill is no failure

  const int32_t r = job.radius;
  if (const auto problem = SearchRadiusProblem(r, job.search_radius))
    if (strict || job.method == kMethodGpuFast || !SomeTargetMayFaceOutside(job))
      return problem;

  const int64_t side = 2 * static_cast<int64_t>(r) + 1;
  if (side > job.width || side > job.height) {
    const int64_t fits = (std::min(job.width, job.height) - 1) / 2;
    return "a window of radius " + Num(r) + " (" + Num(side) + " x " +
           Num(side) + " pixels) does not fit in the " + Num(job.width) + "x" +
           Num(job.height) + " picture: use a radius of at most " + Num(fits);
  }

  if (holes == pixels)
    return std::string(
        "the mask marks every pixel of the picture, so no pixel is left to "
        "copy from: mark only the damage");

  if (job.source_mask != nullptr) {
    // The largest radius whose window fits around some allowed known
    // pixel. Holes only become sources once filled, and the first fill
    // needs a known one.
    int64_t best = -1;
    bool allows_any = false;
    for (int64_t y = 0; y < job.height; ++y)
      for (int64_t x = 0; x < job.width; ++x) {
        const int64_t i = y * job.width + x;
        if (job.source_mask[i] == 0) continue;
        allows_any = true;
        if (job.mask[i] != 1)
          best = std::max(best, std::min({x, y, job.width - 1 - x,
                                          job.height - 1 - y}));
      }
    if (best < 0)
      return std::string(allows_any ? "the source mask allows only damaged "
                                      "pixels, which have nothing to copy"
                                    : "the source mask allows no pixel") +
             ": allow the pixels that sources may come from";
    if (best < r)
      return "the source mask allows no window centre: no allowed pixel lies " +
             Num(r) + " pixels inside the picture's edge, as a window of "
             "radius " + Num(r) + " needs; use a radius of at most " +
             Num(best);
  }
  return std::nullopt;
}

std::optional<std::string> SearchRadiusProblem(int32_t radius,
                                               std::optional<int32_t> search_radius) {
  if (!search_radius || *search_radius > radius) return std::nullopt;
  return SearchRadiusText(radius, *search_radius);
}

std::string NoSourceReason(int32_t radius, std::optional<int32_t> search_radius,
                           bool source_mask) {
  const std::string side = Num(2 * static_cast<int64_t>(radius) + 1);
  std::string text = "no window of " + side + " x " + side + " pixels";
  if (search_radius) text += " within " + Num(*search_radius) + " pixels";
  if (source_mask) text += " allowed by the source mask";
  return text + " lies in the picture clear of the damage";
}

}  // namespace pw
