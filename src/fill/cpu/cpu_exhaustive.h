// The exhaustive method on the CPU: every known pixel whose window fits is
// scored against the target window, and the best one, chosen exactly as the
// GPU's single-block search chooses it, is copied into the target.
//
// For targets whose window lies inside the image (nearly all of them) the
// engine takes a faster road to the same choice: a per-pixel count of the
// unknown pixels in each window rejects candidates in O(1), the sums of
// absolute differences run on vector instructions, and a candidate stops
// being scored once its partial sum is strictly above the best complete sum
// seen so far: it can then neither win nor tie, so the winner, ties and slot
// order included, stays exactly the same.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "fill/cpu/run_copy.h"
#include "fill/cpu/slot_minimum.h"
#include "fill/cpu/target_window.h"
#include "fill/cpu/thread_pool.h"
#include "fill/engine.h"
#include "fill/kernels/exhaustive.h"

namespace pw {

class CpuExhaustiveEngine final : public CpuRunBuffers {
 public:
  CpuExhaustiveEngine(const EngineParams& params, int threads);
  ~CpuExhaustiveEngine() override;

  void Start(const uint8_t* image, const uint8_t* mask) override;
  void FillPixel(int32_t x, int32_t y) override;
  void Release() noexcept override;

  // The best candidate of the last FillPixel call (-1 when none qualified).
  int32_t last_source() const { return last_source_; }

  // Uses vector instructions up to this level (default: the active level).
  void set_simd_level(SimdLevel level) {
    window_sad_ = SelectWindowSad(level);
    row_scan_ = SelectRowScan(level);
    row_lower_bounds_ = SelectRowLowerBounds(level);
  }

 private:
  // Scores the candidates of rows [row_begin, row_end) into `slots`.
  template <class Score>
  void ScoreRows(int row_begin, int row_end, int col_begin, int col_end,
                 const Score& score, SlotMinimum& slots) const;

  // The candidate search of one target; returns the winner or -1.
  int32_t SearchPruned(int32_t x, int32_t y, float* best);
  int32_t SearchGeneric(int32_t x, int32_t y, float* best);
  void InitUnknownCounts();
  // The summed-area table of the unknown pixels over the windows of the
  // candidates in `box`.
  void BuildUnknownTable(const kernels::CandidateBox& box);
  int32_t UnknownIn(int x0, int y0, int x1, int y1) const;
  // Per pixel, non-zero where no candidate may be centred: the mask itself,
  // or with a source mask, centre_blocked_.
  const uint8_t* CentreBlocked() const {
    return centre_blocked_.empty() ? mask_.data() : centre_blocked_.data();
  }
  void UpdateUnknownCounts(int32_t x, int32_t y);
  // Sum for candidate i against the captured target, with the bound.
  int32_t ScoreInterior(int32_t i, int32_t bound) const;

  int threads_;
  std::unique_ptr<ThreadPool> pool_;
  std::vector<uint8_t> window_;  // the staged target window
  std::vector<SlotMinimum> partial_;  // one per chunk of rows
  std::vector<int32_t> unknown_counts_;  // pixels equal to 1 in each window
  // For targets near the border: a summed-area table of the pixels equal to
  // 1 (over the candidates' windows, from table_x0_, table_y0_ on, rows of
  // table_stride_), and per chunk the unknown pixels each candidate faces.
  std::vector<int32_t> unknown_table_;
  int table_x0_ = 0, table_y0_ = 0;
  size_t table_stride_ = 0;
  // The search domain; with a source mask, a copy of it and, per pixel,
  // whether its centre is barred (not known, or not allowed).
  kernels::SearchDomain domain_;
  std::vector<uint8_t> allowed_;
  std::vector<uint8_t> centre_blocked_;
  std::vector<std::vector<int32_t>> facing_unknown_;
  std::vector<std::vector<int32_t>> lower_bounds_;  // per chunk, of a row
  TargetWindow target_;
  BoxSums box_sums_;
  RowRunBound runs_;
  WindowSadFn window_sad_ = nullptr;
  RowScanFn row_scan_ = nullptr;
  RowLowerBoundsFn row_lower_bounds_ = nullptr;
  std::atomic<int32_t> bound_{0};
  int32_t last_source_ = -1;
  int32_t last_x_ = 0, last_y_ = 0;
};

}  // namespace pw
