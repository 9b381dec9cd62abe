// The pruned method on the CPU. It keeps the window sums of every pixel,
// ranks the candidates of a target by their key, scores them bucket by
// bucket and stops by the host rule, choosing exactly the candidate the
// device's launches choose. Unlike the device it never touches entries
// outside the current bucket: the candidates are sorted into buckets once
// per target by their keys, and each pass searches only the distances it
// adds, which gives the same minimum as a search of the whole buffer (see
// FillPixel). Each candidate's window means are kept up to date with the
// sums, so a key costs five additions, done in vectors a row of
// candidates at a time (candidate_keys.h) in the same parallel loop as the
// first pass. The distance compares the target window, captured once per
// target, with the candidate's in vectors over three planes of the image
// (patch_distance.h), and gives up on a candidate as soon as it cannot be
// the pass's minimum. Two cheaper bounds come first; both only leave out
// candidates that can neither win nor tie. The distance's integer sum over
// m pixels is at least (S - 2m) / 3, where S is the sum of absolute
// differences over the same pixels; S itself is at least the differences
// of the channel sums, which the keys test, and a vector sum of absolute
// differences then screens the rest. With a search radius, targets far
// enough apart are searched side by side, each thread with search state of
// its own (FillReady).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "fill/cpu/candidate_keys.h"
#include "fill/cpu/pass_best.h"
#include "fill/cpu/patch_distance.h"
#include "fill/cpu/run_copy.h"
#include "fill/cpu/target_window.h"
#include "fill/cpu/thread_pool.h"
#include "fill/engine.h"
#include "fill/kernels/fast.h"

namespace pw {

class CpuFastEngine final : public CpuRunBuffers {
 public:
  CpuFastEngine(const EngineParams& params, int threads);
  ~CpuFastEngine() override;

  void Start(const uint8_t* image, const uint8_t* mask) override;
  void FillPixel(int32_t x, int32_t y) override;
  // With a search radius and more than one thread, each thread fills the
  // targets ReadyTargets hands it, one whole search at a time; otherwise
  // FillRun, which spreads each target's search over the threads.
  void FillReady(const std::vector<int32_t>& order, int32_t begin, int32_t end,
                 int32_t width, int32_t reach) override;
  void Release() noexcept override;
  uint64_t passes() const override { return total_passes_.load(); }

  // Uses vector instructions up to this level (default: the active level).
  void set_simd_level(SimdLevel level);

  // The source of the last FillPixel call (-1 when nothing was filled) and
  // the passes it ran.
  int32_t last_source() const { return searches_.empty() ? -1 : searches_[0]->last_source; }
  int last_passes() const { return searches_.empty() ? 0 : searches_[0]->last_passes; }

  // The window sums as they stand (3 floats and 1 count per pixel).
  const std::vector<float>& sums() const { return sums_; }
  const std::vector<int32_t>& counts() const { return counts_; }

 private:
  // A band of rows of the candidate box: which buckets hold one of its
  // candidates (bit p for keys 8p to 8p + 7), and its best of the pass.
  struct Band {
    uint32_t buckets = 0;
    PassBest best;
    std::vector<int32_t> columns;  // scratch: a row's candidates
  };

  // Everything the search for one target writes. Each thread filling
  // targets side by side has its own; FillPixel uses the first.
  struct Search {
    std::vector<Band> bands;
    kernels::CandidateBox box{0, 0, 0, 0};
    // Buckets of the target's candidates, a row of box_width per row of
    // the box (the centres whose window fits, within the search
    // radius); kNoBucket: no candidate.
    std::vector<uint8_t> buckets;
    int32_t box_width = 0;
    float target_means[3] = {0.0f, 0.0f, 0.0f};
    int32_t target_sums[3] = {0, 0, 0};
    // Offsets in a plane from a candidate's centre to the window positions
    // the target does not compare, when few enough for the keys' bound.
    std::vector<int32_t> uncompared;
    bool bounded_keys = false;
    PlanarTarget window;  // the target, for the distance
    TargetWindow target;  // and for the screen

    // The device variables' counterparts: the best distance of the
    // target and its index.
    float dis_min = kernels::kNotScored;
    int32_t idx_min = 0;
    int32_t fill_pos[2] = {0, 0};

    // The last source this search found and its target: only a guess
    // where to look first, which never changes the choice.
    int32_t last_source = -1;
    int32_t last_x = 0, last_y = 0;
    int32_t fill_x = 0, fill_y = 0;  // the target being filled
    int last_passes = 0;

    uint8_t& bucket(int32_t cx, int32_t cy) {
      return buckets[static_cast<size_t>(cy - box.y0) * box_width + (cx - box.x0)];
    }
  };

  void ComputeSums();
  // Candidate means, kept for every pixel whose window is whole and known.
  void UpdateMeans(int32_t i);
  void UpdateSums(int32_t x, int32_t y);
  // Searches target (x, y) and fills it; `spread`: the bands run over the
  // pool, else on the calling thread alone.
  void FillTarget(Search& s, int32_t x, int32_t y, bool spread);
  // The target's box, means and window; false when nothing can be scored.
  bool PrepareTarget(Search& s, int32_t x, int32_t y);
  // The buckets of a band's candidates; those whose bound is above
  // `threshold` (a sum of absolute differences) are left out.
  void ComputeKeys(Search& s, int band, int32_t threshold);
  // The bucket of one candidate of the box.
  uint8_t BucketOf(const Search& s, int32_t i) const;
  // Scores bucket `pass` (with the keys first in pass 0); returns the
  // index of the smallest new distance (block-search tie-break) in `index`,
  // or false when nothing was added.
  bool ScoreBucket(Search& s, int pass, bool spread, float* best, int32_t* index);
  // The distance's integer sum for candidate i, or kSumDropped once it is
  // above `limit`.
  int32_t DistanceSum(const Search& s, int32_t i, int32_t limit) const;
  // The largest integer sum whose distance is not above `bound` (INT32_MAX:
  // any, -1: none).
  int32_t SumLimit(const Search& s, float bound) const;
  // The largest sum of absolute differences that may still give a sum not
  // above `limit` (INT32_MAX: any).
  static int32_t ScreenThreshold(const Search& s, int32_t limit) {
    if (limit == INT32_MAX) return INT32_MAX;
    const int64_t threshold = 3 * int64_t{limit} + 2 * int64_t{s.window.known()};
    return threshold >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(threshold);
  }
  // First row of a band of the box.
  static int BoxBandBegin(const Search& s, int band);

  int threads_;
  // Ties between candidates go by their picture indices (the engine may
  // hold a crop).
  CropIndex crop_;
  std::shared_ptr<ThreadPool> pool_;  // own, or the run's shared one
  std::vector<float> sums_;
  std::vector<int32_t> counts_;
  // The window's channel means, three planes of a float per pixel.
  std::vector<float> means_;
  std::vector<uint8_t> allowed_;  // copy of the source mask, when given
  // The image as three planes, plane_size_ bytes apart, kept up to date
  // with the fills.
  std::vector<uint8_t> planes_;
  size_t plane_size_ = 0;
  KeyRowFn key_row_ = nullptr;
  PatchSumFn patch_sum_ = nullptr;
  WindowSadFn window_sad_ = nullptr;
  WindowSadPairFn window_sad_pair_ = nullptr;

  // One per pool thread (one alone without a search radius).
  std::vector<std::unique_ptr<Search>> searches_;
  std::atomic<uint64_t> total_passes_{0};
};

}  // namespace pw
