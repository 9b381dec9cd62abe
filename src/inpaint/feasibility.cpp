#include "inpaint/feasibility.h"

#include <algorithm>
#include <vector>

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

namespace {

// Whether some pixel of the box of half-side s around each pixel (clipped
// to the picture) has `flag`, for every pixel where `ask` holds: hit(x, y,
// any). A row pass, then a column pass over the rows' answers: a byte per
// pixel, whatever s is.
template <class Flag, class Ask, class Hit>
void AnyInBoxes(int64_t w, int64_t h, int64_t s, Flag flag, Ask ask, Hit hit) {
  std::vector<uint8_t> row_any(static_cast<size_t>(w * h));
  std::vector<int32_t> prefix(static_cast<size_t>(w + 1));
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) prefix[x + 1] = prefix[x] + (flag(x, y) ? 1 : 0);
    for (int64_t x = 0; x < w; ++x)
      row_any[y * w + x] = prefix[std::min(w, x + s + 1)] > prefix[std::max<int64_t>(0, x - s)];
  }
  // rows[x]: rows within s of the current one whose answer at x is yes
  std::vector<int32_t> rows(static_cast<size_t>(w));
  for (int64_t y = 0; y <= std::min(h - 1, s); ++y)
    for (int64_t x = 0; x < w; ++x) rows[x] += row_any[y * w + x];
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x)
      if (ask(x, y)) hit(x, y, rows[x] > 0);
    const int64_t enter = y + s + 1, leave = y - s;
    for (int64_t x = 0; x < w; ++x) {
      if (enter < h) rows[x] += row_any[enter * w + x];
      if (leave >= 0) rows[x] -= row_any[leave * w + x];
    }
  }
}

}  // namespace

uint32_t NoSourceCauses(const JobShape& left) {
  const int64_t w = left.width, h = left.height, r = left.radius;
  const uint8_t* mask = left.mask;
  std::vector<uint8_t> reached;  // targets that count, where GPU Fast leaves some out
  bool any_reached = false;
  if (left.method == kMethodGpuFast) {
    // The key needs a known pixel in the window; targets without one wait
    // on the others, whose cause is theirs too.
    reached.assign(static_cast<size_t>(w * h), 0);
    AnyInBoxes(
        w, h, r, [&](int64_t x, int64_t y) { return mask[y * w + x] == 0; },
        [&](int64_t x, int64_t y) { return mask[y * w + x] == 1; },
        [&](int64_t x, int64_t y, bool any) {
          reached[y * w + x] = any;
          any_reached |= any;
        });
    if (!any_reached)
      return std::find(mask, mask + w * h, uint8_t{1}) != mask + w * h ? uint32_t{kNoKnownPixel} : 0u;
  }
  if (left.source_mask == nullptr) return kNoCleanWindow;
  // Window centres the source mask allows, damaged or not.
  const int64_t s = left.search_radius ? *left.search_radius : std::max(w, h);
  uint32_t causes = 0;
  AnyInBoxes(
      w, h, s,
      [&](int64_t x, int64_t y) {
        return x >= r && y >= r && x < w - r && y < h - r && left.source_mask[y * w + x] != 0;
      },
      [&](int64_t x, int64_t y) {
        return mask[y * w + x] == 1 && (reached.empty() || reached[y * w + x]);
      },
      [&](int64_t, int64_t, bool any) { causes |= any ? kNoCleanWindow : kSourceMaskFar; });
  return causes;
}

std::string NoSourceReason(int32_t radius, std::optional<int32_t> search_radius,
                           bool source_mask, uint32_t causes) {
  if (causes == 0) causes = kNoCleanWindow;
  const std::string side = Num(2 * static_cast<int64_t>(radius) + 1);
  const std::string within =
      search_radius ? " within " + Num(*search_radius) + " pixels" : std::string();
  std::string text;
  const auto add = [&text](const std::string& part) {
    text += (text.empty() ? "" : "; ") + part;
  };
  if (causes & kNoCleanWindow)
    add("no window of " + side + " x " + side + " pixels" + within +
        (source_mask ? " allowed by the source mask" : "") +
        " lies in the picture clear of the damage");
  if (causes & kSourceMaskFar)
    add("the source mask allows no window centre" + within + (search_radius ? " of them" : ""));
  if (causes & kNoKnownPixel)
    add("their windows of " + side + " x " + side +
        " pixels hold no known pixel, which GPU Fast ranks the candidates by");
  return text;
}

}  // namespace pw
