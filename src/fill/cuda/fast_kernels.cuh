// The pruned method's kernels and host routines on the GPU.
#pragma once

#include <cstdint>

#include "fill/kernels/exhaustive.h"

namespace pw::cuda {

// Queues the window sums of every pixel (one thread per pixel).
void calculate_sums_gpu(const uint8_t* image, const uint8_t* mask, int width,
                        int height, int stride, int radius, float* sums,
                        int* counts);

// Queues the update of the sums after the target (x, y): one thread per
// window position; nothing changes when the target is still unknown.
void update_sums_gpu(const uint8_t* image, const uint8_t* mask, int width,
                     int height, int stride, int radius, int x, int y,
                     float* sums, int* counts);

// One target: the keys, then passes of bucket scoring and minimum search
// until the stop rule holds, then the fill (recorded in `sources` when
// set). Blocks once per pass on the read-back of the best distance. Returns
// the number of passes run.
int inpaint_get_nearest_DIK_sums_precise_ds_gpu(
    uint8_t* image, uint8_t* mask, int x, int y, int width, int height,
    int stride, int radius, float* dist, float* sums, int* counts, float* ds,
    int* fill_pos, const kernels::SearchDomain& domain = {},
    int32_t* sources = nullptr);

}  // namespace pw::cuda
