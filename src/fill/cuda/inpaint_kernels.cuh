// The exhaustive method's kernels and host routine on the GPU.
#pragma once

#include <cstdint>

#include "fill/kernels/exhaustive.h"

namespace pw::cuda {

// Queues one fill step on the device's stream: the target window gathered
// by the 2D copy and moved into constant memory by a device-to-device symbol
// copy, and the constant-window distance (tolerance 0, radius <= 64), or
// the general distance, then the single-block selection and fill (recorded
// in `sources` when set). Does not wait for the device.
void inpaint_get_nearest_DIK_gpu(uint8_t* image, uint8_t* mask, int x, int y,
                                 int width, int height, int stride, int radius,
                                 float missing_tolerance, float search_limit,
                                 float* dist, int candidate_mask_value,
                                 const kernels::SearchDomain& domain = {},
                                 int32_t* sources = nullptr);

}  // namespace pw::cuda
