// The single-block minimum search's second half, shared by the selection
// kernels: once every thread t of the 512 has stored its slot's pair in
// r1[t], i1[t], the tree over the slots with a barrier before it and after
// each step. Entry 0 then holds the winner.
#pragma once

#include "fill/cuda/cuda_api.h"
#include "fill/kernels/selection.h"

namespace pw::cuda {

__device__ __forceinline__ void block_tree_reduce(float* r1, int* i1, int t) {
  __syncthreads();
  for (int s = kernels::kSelectThreads / 2; s > 0; s /= 2) {
    kernels::tree_step(r1, i1, t, s);
    __syncthreads();
  }
}

}  // namespace pw::cuda
