// The fill order: which noise pixel is filled when.
//
// Pixels with the fewest unknown positions in their window come first, and
// every scheduled pixel counts as known for the ones scheduled after it (an
// onion peel working inwards from the edges of each hole). Every tie-break
// of the ranking heap and of the peel is part of the result: two orders that
// differ anywhere fill images differently.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace pw {

struct RankEntry {
  int32_t score;  // unknown positions in the pixel's window
  int32_t index;  // pixel index y * width + x
};

struct PixelSlot {
  int32_t score;
  int32_t position;  // place in `ranked`, or -1 (not a noise pixel / taken)
};

struct FillList {
  std::vector<RankEntry> heap;    // empty outside BuildFillList
  std::vector<RankEntry> ranked;  // working sequence of the ranking step
  std::vector<int32_t> order;     // the fill order proper
  int32_t next = 0;               // next position of `order` to hand out
  int32_t width = 0;
  int32_t height = 0;
};

// Window positions of (x, y), centre excluded, that are outside the image or
// whose mask byte is exactly 1.
int32_t UnknownNeighbourCount(const uint8_t* mask, int32_t x, int32_t y,
                              int32_t width, int32_t height, int32_t radius);

// The ranking step alone: list.ranked holds the noise pixels in ascending
// score, equal scores in the order the heap drains them.
void RankNoisePixels(FillList& list, const uint8_t* mask, int32_t width,
                     int32_t height, int32_t radius);

// Asked now and then during a long build; true stops it.
using StopCheck = std::function<bool()>;

// Thrown by BuildFillList when its StopCheck asked it to stop.
struct FillListStopped {};

// Builds list.order from the mask (bytes equal to 1 are noise pixels) and
// returns its length, in O(n log n) for n noise pixels (times the window
// area). Throws std::bad_alloc when memory runs out and FillListStopped
// when `stop` says so.
int32_t BuildFillList(FillList& list, const uint8_t* mask, int32_t width,
                      int32_t height, int32_t radius,
                      const StopCheck& stop = StopCheck());

// Frees the storage of all sequences and zeroes the cursor and size.
void ReleaseFillList(FillList& list);

// Empties the sequences (keeping their storage) and zeroes cursor and size.
void EmptyFillList(FillList& list);

}  // namespace pw
