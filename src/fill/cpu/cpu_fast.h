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
// differences then screens the rest.
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
  void Release() noexcept override;
  uint64_t passes() const override { return total_passes_; }

  // Uses vector instructions up to this level (default: the active level).
  void set_simd_level(SimdLevel level);

  // The source of the last FillPixel call (-1 when nothing was filled) and
  // the passes it ran.
  int32_t last_source() const { return last_source_; }
  int last_passes() const { return last_passes_; }

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

  void ComputeSums();
  // Candidate means, kept for every pixel whose window is whole and known.
  void UpdateMeans(int32_t i);
  void UpdateSums(int32_t x, int32_t y);
  // The target's box, means and window; false when nothing can be scored.
  bool PrepareTarget(int32_t x, int32_t y);
  // The buckets of a band's candidates; those whose bound is above
  // `threshold` (a sum of absolute differences) are left out.
  void ComputeKeys(int band, int32_t threshold);
  // The bucket of one candidate of the box.
  uint8_t BucketOf(int32_t i) const;
  // Scores bucket `pass` (with the keys first in pass 0); returns the
  // index of the smallest new distance (block-search tie-break) in `index`,
  // or false when nothing was added.
  bool ScoreBucket(int pass, float* best, int32_t* index);
  // The distance's integer sum for candidate i, or kSumDropped once it is
  // above `limit`.
  int32_t DistanceSum(int32_t i, int32_t limit) const;
  // The largest integer sum whose distance is not above `bound` (INT32_MAX:
  // any, -1: none).
  int32_t SumLimit(float bound) const;
  // The largest sum of absolute differences that may still give a sum not
  // above `limit` (INT32_MAX: any).
  int32_t ScreenThreshold(int32_t limit) const {
    if (limit == INT32_MAX) return INT32_MAX;
    const int64_t threshold = 3 * int64_t{limit} + 2 * int64_t{window_.known()};
    return threshold >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(threshold);
  }
  // First row of a band of the whole image (for the sums) or of the box.
  int BandBegin(int band) const;
  int BoxBandBegin(int band) const;

  int threads_;
  std::unique_ptr<ThreadPool> pool_;
  std::vector<float> sums_;
  std::vector<int32_t> counts_;
  std::vector<Band> bands_;
  // The window's channel means, three planes of a float per pixel.
  std::vector<float> means_;
  // Buckets of the current target's candidates, valid inside box_ (the
  // centres whose window fits, within the search radius); kNoBucket: no
  // candidate.
  std::vector<uint8_t> buckets_;
  kernels::CandidateBox box_{0, 0, 0, 0};
  float target_means_[3] = {0.0f, 0.0f, 0.0f};
  int32_t target_sums_[3] = {0, 0, 0};
  // Offsets in a plane from a candidate's centre to the window positions
  // the target does not compare, when few enough for the keys' bound.
  std::vector<int32_t> uncompared_;
  bool bounded_keys_ = false;
  std::vector<uint8_t> allowed_;  // copy of the source mask, when given
  // The image as three planes, plane_size_ bytes apart, kept up to date
  // with the fills.
  std::vector<uint8_t> planes_;
  size_t plane_size_ = 0;
  PlanarTarget window_;  // the current target, for the distance
  TargetWindow target_;  // and for the screen
  KeyRowFn key_row_ = nullptr;
  PatchSumFn patch_sum_ = nullptr;
  WindowSadFn window_sad_ = nullptr;

  // The device variables' counterparts: the best distance of the current
  // target and its index (kept from target to target, like g_idx_min).
  float dis_min_ = kernels::kNotScored;
  int32_t idx_min_ = 0;
  int32_t fill_pos_[2] = {0, 0};

  int32_t last_source_ = -1;
  int32_t last_x_ = 0, last_y_ = 0;  // the target last_source_ filled
  int32_t fill_x_ = 0, fill_y_ = 0;  // the target being filled
  int last_passes_ = 0;
  uint64_t total_passes_ = 0;
};

}  // namespace pw
