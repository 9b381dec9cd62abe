// The launches of the device loop's kernels (exhaustive_loop.cu,
// fast_loop.cu): queued on the device's stream, unchecked, not waited for.
#pragma once

#include <cstdint>

#include "fill/cuda/device_loop.cuh"

namespace pw::cuda {

// The exhaustive method's launch for target order[pos], and the pruned
// method's six, over a grid of `blocks` blocks.
void queue_exhaustive_target(const LoopRun& run, int blocks,
                             const int32_t* order, int pos);
void queue_fast_target(const LoopRun& run, int blocks, const int32_t* order,
                       int pos);

// The grid those launches take at most: the blocks the device keeps
// resident at once.
int exhaustive_loop_blocks();
int fast_loop_blocks();

}  // namespace pw::cuda
