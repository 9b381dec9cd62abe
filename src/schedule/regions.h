// What a bounded search lets run apart. With search radius S and window
// radius r, filling a target reads pixels only within `reach` = S + r of it
// (candidate centres within S, their windows r further), and writes only
// the target itself. A target therefore depends only on the earlier targets
// of the fill order that lie within reach of it (in both axes); any other
// target may be filled before, after or beside it without changing a byte.
//
// Regions: targets linked through such neighbours form a region, which
// reads and writes only inside its box and can run on a crop of the picture.
// Ready targets: inside a region, a target may start as soon as every
// earlier target within reach of it is done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace pw {

// A box of the picture, columns x0..x1 - 1 and rows y0..y1 - 1.
struct PixelBox {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int32_t width() const { return x1 - x0; }
  int32_t height() const { return y1 - y0; }
};

struct FillRegion {
  PixelBox box;                // its targets' extent grown by reach, clipped
  std::vector<int32_t> order;  // its targets (picture indices), in fill order
};

// The targets of `order` (pixel indices of a width x height picture) in
// regions, each keeping its part of the order. Targets within reach of each
// other always share a region; the grouping runs on cells of side reach + 1,
// so targets up to twice that far apart may share one too. Regions come in
// the order of their first target.
std::vector<FillRegion> SplitIntoRegions(const std::vector<int32_t>& order,
                                         int32_t width, int32_t height,
                                         int32_t reach);

// An upper bound on the longest chain of targets, each depending on the one
// before, among order[0..count): dependencies are counted between cells of
// side reach + 1. count / bound is then a lower bound on the targets that
// are ready at once, on average, when they are run side by side.
int32_t DependencyChainBound(const int32_t* order, int32_t count, int32_t width,
                             int32_t reach);

// The targets order[begin..end) in batches that can each run all at once:
// no two targets of a batch lie within reach of each other, and each
// earlier target of the order within reach of one comes in an earlier
// batch. Running the batches one after the other therefore fills exactly as
// the order does. Dependencies are counted between cells of side reach + 1
// (as DependencyChainBound counts them), so there are that many batches.
// Returns the targets (pixel indices), batch after batch, each batch in
// fill order; `starts` gets the index of each batch's first target in it,
// then the count.
std::vector<int32_t> ReadyBatches(const int32_t* order, int32_t begin, int32_t end,
                                  int32_t width, int32_t reach,
                                  std::vector<int32_t>* starts);

// Hands out the targets order[begin..end) to threads so that each is taken
// only once every earlier one within reach of it is done. A thread takes
// the first ready target in fill order among the next `lookahead` targets
// not yet done. Thread-safe.
class ReadyTargets {
 public:
  ReadyTargets(const int32_t* order, int32_t begin, int32_t end, int32_t width,
               int32_t reach, int32_t lookahead = 256);

  // The position in the order of a target to fill now; waits while none is
  // ready. -1 once every target has been taken (or after Stop).
  int32_t Take();

  // As Take, but while none is ready the thread calls `help` (without the
  // lock), which does other work and returns whether it found any; with
  // `spin`, it keeps trying for a short while before it sleeps.
  int32_t Take(const std::function<bool()>& help, bool spin);

  // The target at `position` is filled (or found no source).
  void Done(int32_t position);

  // Ends the hand-out: Take returns -1 from now on, to every thread.
  void Stop();

 private:
  bool Near(int32_t a, int32_t b) const;  // within reach (positions)
  int32_t FindReady();                    // under mutex_

  static constexpr uint8_t kOpen = 0, kTaken = 1, kDone = 2;

  const int32_t end_, reach_, lookahead_;
  int32_t first_open_;          // every earlier position is done
  std::vector<uint8_t> state_;  // per position from begin
  struct Position {
    int32_t x, y;
  };
  std::vector<Position> at_;  // per position from begin
  int32_t begin_;
  int32_t untaken_;
  bool stopped_ = false;
  // Counts the calls of Done and Stop: a waiting thread looks again once
  // it moved. Written under mutex_.
  std::atomic<uint64_t> changes_{0};
  std::vector<int32_t> pending_;  // scratch: earlier positions not done
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace pw
