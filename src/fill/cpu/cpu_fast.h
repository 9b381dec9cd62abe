// The pruned method on the CPU. It keeps the window sums of every pixel,
// ranks the candidates of a target by their key, scores them bucket by
// bucket and stops by the host rule, choosing exactly the candidate the
// device's launches choose. Unlike the device it never touches entries
// outside the current bucket: the candidates are sorted into buckets once
// per target by their keys, and each pass searches only the distances it adds, which
// gives the same minimum as a search of the whole buffer (see FillPixel).
// Each candidate's window means are kept up to date with the sums, so a
// key costs five additions. The distance reads the target window from a list of its known pixels
// made once per target, instead of testing every window position again
// for every candidate, and gives up on a candidate as soon as it cannot
// be the pass's minimum. A vector sum of absolute differences S over the
// same target pixels screens the candidates first: the
// distance's integer sum is at least (S - 2m) / 3 over m pixels, so a
// candidate whose S is above a threshold derived from the bound cannot win.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fill/cpu/run_copy.h"
#include "fill/cpu/slot_minimum.h"
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

  // The source of the last FillPixel call (-1 when nothing was filled) and
  // the passes it ran.
  int32_t last_source() const { return last_source_; }
  int last_passes() const { return last_passes_; }

  // The window sums as they stand (3 floats and 1 count per pixel).
  const std::vector<float>& sums() const { return sums_; }
  const std::vector<int32_t>& counts() const { return counts_; }

 private:
  // A band of rows: which buckets hold one of its candidates (bit p for
  // keys 8p to 8p + 7), and the slot minimum of the current pass.
  struct Band {
    uint32_t buckets = 0;
    SlotMinimum slots;
  };

  // One known in-image pixel of the target window: where its partner lies
  // relative to a candidate's centre, and its three bytes.
  struct Tap {
    int32_t offset;
    uint8_t rgb[3];
  };

  static constexpr uint16_t kNoKey = 0xFFFF;

  void ComputeSums();
  void CollectTaps(int32_t x, int32_t y);
  float Distance(int32_t i, float bound) const;
  void ComputeKeys(int32_t x, int32_t y);
  // Candidate means, kept for every pixel whose window is whole and known.
  void UpdateMeans(int32_t i);
  // Scores bucket `pass`; returns the index of the smallest new distance
  // (block-search tie-break) in `index`, or false when nothing was added.
  bool ScoreBucket(int pass, float* best, int32_t* index);
  void UpdateSums(int32_t x, int32_t y);
  // First row of a band of the whole image (for the sums) or of the box.
  int BandBegin(int band) const;
  int BoxBandBegin(int band) const;
  // The largest sum of absolute differences that may still give a distance
  // not above `bound` (INT32_MAX: no screening).
  int32_t ScreenThreshold(float bound) const;

  int threads_;
  std::unique_ptr<ThreadPool> pool_;
  std::vector<float> sums_;
  std::vector<int32_t> counts_;
  std::vector<Band> bands_;
  std::vector<float> means_;      // 3 per pixel: the window's channel means
  // Keys of the current target's candidates, valid inside box_ (the
  // centres whose window fits, within the search radius); kNoKey: no
  // candidate.
  std::vector<uint16_t> keys_;
  kernels::CandidateBox box_{0, 0, 0, 0};
  kernels::SearchDomain domain_;
  std::vector<uint8_t> allowed_;  // copy of the source mask, when given
  std::vector<Tap> taps_;          // of the current target, row by row
  std::vector<size_t> row_ends_;   // where each window row's taps end
  TargetWindow target_;            // for the screen; valid when screen_
  bool screen_ = false;
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
