// The exhaustive method on the CPU: every known pixel whose window fits is
// scored against the target window, and the best one, chosen exactly as the
// GPU's single-block search chooses it, is copied into the target.
#pragma once

#include <memory>
#include <vector>

#include "fill/cpu/slot_minimum.h"
#include "fill/cpu/thread_pool.h"
#include "fill/engine.h"

namespace pw {

class CpuExhaustiveEngine final : public FillEngine {
 public:
  CpuExhaustiveEngine(const EngineParams& params, int threads);
  ~CpuExhaustiveEngine() override;

  void Start(const uint8_t* image, const uint8_t* mask) override;
  void FillPixel(int32_t x, int32_t y) override;
  void PullImage(uint8_t* image) override;
  void PullMask(uint8_t* mask) override;
  void Release() noexcept override;

  // The best candidate of the last FillPixel call (-1 when none qualified).
  int32_t last_source() const { return last_source_; }

 private:
  // Scores the candidates of rows [row_begin, row_end) into `slots`.
  template <class Score>
  void ScoreRows(int row_begin, int row_end, int col_begin, int col_end,
                 const Score& score, SlotMinimum& slots) const;

  EngineParams params_;
  int threads_;
  std::unique_ptr<ThreadPool> pool_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> mask_;
  std::vector<uint8_t> window_;  // the staged target window
  std::vector<SlotMinimum> partial_;  // one per chunk of rows
  int32_t last_source_ = -1;
};

}  // namespace pw
