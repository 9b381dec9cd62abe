// The launches of the device loop's kernels (exhaustive_loop.cu,
// fast_loop.cu): queued on the device's stream, unchecked, not waited for.
#pragma once

#include <cstdint>

#include "fill/cuda/device_loop.cuh"

namespace pw::cuda {

// The exhaustive method's launch for targets[0..count) (pixel indices,
// none within reach of another), and the pruned method's six, with
// `parts` blocks per target; with `walk` the pruned method's first launch
// ends each target's search on its own.
void queue_exhaustive_targets(const LoopRun& run, const int32_t* targets,
                              int count, int parts);
void queue_fast_targets(const LoopRun& run, const int32_t* targets, int count,
                        int parts, bool walk);

// The blocks per target those launches take at most: the blocks the device
// keeps resident at once.
int exhaustive_loop_blocks();
int fast_loop_blocks();

}  // namespace pw::cuda
