// Jobs in which no pixel can find a source, told before any work, and the
// words for pixels that found none after a run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

namespace pw {

struct JobShape {
  const uint8_t* mask = nullptr;  // width * height bytes, 1 marks a hole
  int32_t width = 0, height = 0;
  int32_t radius = 0;
  int32_t method = 0;
  std::optional<int32_t> search_radius;  // none: the whole picture
  const uint8_t* source_mask = nullptr;  // non-zero allows a centre; may be null
};

// The search radius a run uses: a radius past the picture admits every
// centre, as none does; keeping it within the picture keeps the box
// arithmetic in range. The one place where a search radius is clamped.
inline std::optional<int32_t> SearchDomain(std::optional<int32_t> search_radius,
                                           int32_t width, int32_t height) {
  if (!search_radius) return std::nullopt;
  return std::min(*search_radius, std::max(width, height));
}

// Why no hole of the job can be filled, naming the cause and the smallest
// change that helps; nothing when some hole may be. Each cause it names is
// certain for both methods: a window larger than the picture, a mask with no
// known pixel, a source mask that allows no window centre. `strict` also
// refuses a search radius at or below the window radius (the windows within
// it contain the pixel being filled): for the exhaustive method a pixel at
// the picture's edge may still find a source then, so callers that must
// reproduce the full search exactly leave `strict` off and get the exact
// answer instead.
std::optional<std::string> ImpossibleJob(const JobShape& job, bool strict);

// The strict refusal of a search radius alone, for callers that judge it
// before any picture is read (a batch): why a search radius at or below the
// window radius cannot work, nothing for any other.
std::optional<std::string> SearchRadiusProblem(int32_t radius,
                                               std::optional<int32_t> search_radius);

// What kept the pixels of a finished run from finding a source (bits).
enum NoSourceCause : uint32_t {
  kNoCleanWindow = 1,  // no window of the search domain lies clear of the damage
  kSourceMaskFar = 2,  // the source mask allows no window centre near them
  kNoKnownPixel = 4,   // GPU Fast: their windows hold no known pixel to rank by
};

// The causes for the holes still marked in `left`, the job as the run left
// it (mask byte 1: unfilled; search_radius as SearchDomain clamps it). A
// GPU Fast target whose window holds no known pixel waits on its
// neighbours: it counts only when no target left has a known pixel.
uint32_t NoSourceCauses(const JobShape& left);

// Why holes of a finished run found no source, in a few words, for
// "K of M pixels found no source (...)": the causes named, in this order.
std::string NoSourceReason(int32_t radius, std::optional<int32_t> search_radius,
                           bool source_mask, uint32_t causes = kNoCleanWindow);

}  // namespace pw
