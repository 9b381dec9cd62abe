// The device loop: the fill order lives on the device, and targets are
// filled by launches queued back to back, with no host round trip in
// between: one launch (the exhaustive method) or a fixed series of six (the
// pruned method) per target, or, for a bounded search, per batch of targets
// that cannot see each other (schedule/regions.h), each with blocks of its own;
// a bounded search's small boxes take one launch for the pruned method too.
// The blocks of a target take part in its selection through one 64-bit
// atomicMin per block on the candidate key (kernels/candidate_key.h), and
// the last of them to finish completes the step on the device: the fill,
// the kept per-window counts, and for the pruned method the stop rule and
// the pass count.
#pragma once

#include <cstdint>
#include <vector>

#include "fill/engine.h"
#include "fill/kernels/exhaustive.h"

namespace pw::cuda {

// What the loop keeps on the device from one launch to the next, for each
// target of a launch (its slot).
struct LoopState {
  unsigned long long key;             // best candidate of the target so far
  unsigned long long bucket_key[32];  // pruned: best candidate of each bucket
  unsigned int arrived;               // blocks of the current launch done
  unsigned int nonempty;              // pruned: buckets holding a candidate
  int next_bucket;                    // pruned: first bucket not searched
  int stopped;                        // pruned: the target's search has ended
  float dis_min;                      // pruned: best distance of the target
  int idx_min;                        // pruned: and its pixel index
  unsigned long long passes;          // pruned, slot 0: the run's passes so far
};

// The buffers and geometry every kernel of the loop gets.
struct LoopRun {
  uint8_t* image;
  uint8_t* mask;
  uint32_t* packed;     // the image as packed pixels, flagged while unknown
  int32_t* unknown;     // exhaustive: pixels still to fill in each window
  float* sums;          // pruned: window sums and known counts
  int32_t* counts;
  uint8_t* buckets;     // pruned: each slot's candidates' buckets (by box
                        // item), 0xFF for none
  const uint8_t* allowed;  // the source mask, or null
  LoopState* state;     // one per slot
  int32_t* sources;     // the source map, or null when the run keeps none
  int width, height, stride, radius, search_radius;
  int box_capacity;     // pruned: bucket bytes per slot
};

// Which loop a CUDA engine runs: the device loop unless the environment
// variable PATCHWELL_CUDA_LOOP says "per-target" (the launch, selection and
// host synchronisation per target, kept for timing side by side). Throws
// std::invalid_argument for any other value.
bool DeviceLoopRequested();

class DeviceLoop {
 public:
  // Whether the loop can run these parameters: the driver's distance
  // (tolerance 0, candidate centres known) and a radius up to kMaxRadius.
  static bool Supports(const EngineParams& p);

  // Allocates the loop's buffers (counted in the running total) and
  // prepares them from the uploaded image and mask; `sums` and `counts`
  // (the pruned method's window sums) must be computed already, `scratch`
  // holds width * height 4-byte words; `sources` is the source map or
  // null. Throws DeviceMemoryError, having freed what it allocated.
  void Start(const EngineParams& p, uint8_t* image, uint8_t* mask,
             const uint8_t* allowed, float* sums, int32_t* counts,
             void* scratch, int32_t* sources);

  // Fills order[begin..end) and waits for it. The order is uploaded on the
  // first call and whenever another vector is given.
  void Run(const std::vector<int32_t>& order, int32_t begin, int32_t end);

  // Fills order[begin..end) as Run does, in batches of targets that cannot
  // see each other (`reach` is the search radius plus the window radius),
  // each batch taking one launch (or one series) for all its targets.
  void RunReady(const std::vector<int32_t>& order, int32_t begin, int32_t end,
                int32_t reach);

  // Fills one target (a pixel index) and waits for it.
  void Single(int32_t index);

  // Pruned method: passes run up to the last Run or Single.
  uint64_t passes() const { return passes_; }

  void Release() noexcept;

 private:
  void Allocate(int slots, int64_t capacity);
  void Enqueue(const int32_t* targets, int32_t count);
  void Finish();

  LoopRun run_{};
  int method_ = kMethodGpu;
  int parts_ = 1;   // blocks per target
  int slots_ = 1;   // targets one launch can take
  bool walk_ = false;  // pruned: one launch per target (or batch)
  int32_t* dev_order_ = nullptr;
  int64_t order_bytes_ = 0;
  const int32_t* order_source_ = nullptr;
  size_t order_size_ = 0;
  int32_t* dev_single_ = nullptr;
  int32_t single_ = 0;  // the target of Single, while its copy is queued
  int32_t* dev_batches_ = nullptr;  // RunReady's targets, batch after batch
  int64_t batches_bytes_ = 0;
  std::vector<int32_t> batches_;    // their host copy, while it is queued
  int64_t pixels_ = 0;
  uint64_t passes_ = 0;
};

}  // namespace pw::cuda
