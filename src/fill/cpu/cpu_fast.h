// The pruned method on the CPU. It keeps the window sums of every pixel,
// ranks the candidates of a target by their key, scores them bucket by
// bucket and stops by the host rule, choosing exactly the candidate the
// device's launches choose. Unlike the device it never touches entries
// outside the current bucket: the candidates are sorted into buckets once
// per target, and each pass searches only the distances it adds, which
// gives the same minimum as a search of the whole buffer (see FillPixel).
// The distance reads the target window from a list of its known pixels
// made once per target, instead of testing every window position again
// for every candidate, and gives up on a candidate as soon as it cannot
// be the pass's minimum.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fill/cpu/slot_minimum.h"
#include "fill/cpu/thread_pool.h"
#include "fill/engine.h"
#include "fill/kernels/fast.h"

namespace pw {

class CpuFastEngine final : public FillEngine {
 public:
  CpuFastEngine(const EngineParams& params, int threads);
  ~CpuFastEngine() override;

  void Start(const uint8_t* image, const uint8_t* mask) override;
  void FillPixel(int32_t x, int32_t y) override;
  void PullImage(uint8_t* image) override;
  void PullMask(uint8_t* mask) override;
  void Release() noexcept override;
  uint64_t passes() const override { return total_passes_; }

  // The source of the last FillPixel call (-1 when nothing was filled) and
  // the passes it ran.
  int32_t last_source() const { return last_source_; }
  int last_passes() const { return last_passes_; }

  // The window sums as they stand (3 floats and 1 count per pixel).
  const std::vector<float>& sums() const { return sums_; }
  const std::vector<int32_t>& counts() const { return counts_; }

 private:
  // The candidates of one band of rows, by bucket, in ascending index order.
  struct Band {
    std::vector<int32_t> bucket[kernels::kMaxFastPasses];
    SlotMinimum slots;
  };

  // One known in-image pixel of the target window: where its partner lies
  // relative to a candidate's centre, and its three bytes.
  struct Tap {
    int32_t offset;
    uint8_t rgb[3];
  };

  void ComputeSums();
  void CollectTaps(int32_t x, int32_t y);
  float Distance(int32_t i, float bound) const;
  void SortCandidates(int32_t x, int32_t y);
  // Scores bucket `pass`; returns the index of the smallest new distance
  // (block-search tie-break) in `index`, or false when nothing was added.
  bool ScoreBucket(int pass, float* best, int32_t* index);
  void UpdateSums(int32_t x, int32_t y);
  int BandBegin(int band) const;

  EngineParams params_;
  int threads_;
  std::unique_ptr<ThreadPool> pool_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> mask_;
  std::vector<float> sums_;
  std::vector<int32_t> counts_;
  std::vector<Band> bands_;
  std::vector<Tap> taps_;          // of the current target, row by row
  std::vector<size_t> row_ends_;   // where each window row's taps end

  // The device variables' counterparts: the best distance of the current
  // target and its index (kept from target to target, like g_idx_min).
  float dis_min_ = kernels::kNotScored;
  int32_t idx_min_ = 0;
  int32_t fill_pos_[2] = {0, 0};

  int32_t last_source_ = -1;
  int last_passes_ = 0;
  uint64_t total_passes_ = 0;
};

}  // namespace pw
