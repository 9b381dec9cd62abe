// Block-level pieces shared by the device loop's kernels: the target of a
// block (a launch serves one or more targets, each with `parts` blocks of
// its own, in order) and its box, the target window staged in shared memory, the walk
// over the box that gathers the candidates to score, the fold of the
// threads' keys into the block's, and the count of blocks that tells the
// last one. Every function is called by all threads of a block.
#pragma once

#include <algorithm>
#include <cstdint>

#include "fill/cuda/cuda_common.h"
#include "fill/cuda/device_loop.cuh"
#include "fill/kernels/candidate_key.h"
#include "fill/kernels/exhaustive.h"
#include "fill/kernels/packed_window.h"

// Device-only helpers (plain host functions on the emulated device).
#if defined(PW_CUDA_EMULATED)
#define PW_DEVICE_FN inline
#else
#define PW_DEVICE_FN __device__ __forceinline__
#endif

namespace pw::cuda {

// Target windows up to this side (radius 15) are staged in shared memory;
// larger ones are read from the packed image (one broadcast per warp).
constexpr int kStagedSide = 31;

struct Target {
  int slot;         // which of the launch's targets
  int part, parts;  // this block among the target's blocks
  int index, x, y;
  kernels::FacingRange facing;
  bool whole;  // the whole window faces in-image target positions
  kernels::CandidateBox box;
  int items;   // centres in the box
};

PW_DEVICE_FN Target target_at(const LoopRun& run, const int32_t* targets,
                              int parts) {
  Target t;
  t.slot = static_cast<int>(blockIdx.x) / parts;
  t.part = static_cast<int>(blockIdx.x) % parts;
  t.parts = parts;
  t.index = targets[t.slot];
  t.x = t.index % run.width;
  t.y = t.index / run.width;
  t.facing = kernels::facing_range(t.x, t.y, run.width, run.height, run.radius);
  t.whole = t.facing.whole(run.radius);
  t.box = kernels::candidate_box(t.x, t.y, run.width, run.height, run.radius,
                                 run.search_radius, true);
  t.items = t.box.empty() ? 0 : (t.box.x1 - t.box.x0) * (t.box.y1 - t.box.y0);
  return t;
}

// The target window as the block's threads read it.
struct StagedWindow {
  const uint32_t* pixels;
  int side;
  PW_HD uint32_t operator()(int k, int j) const { return pixels[k * side + j]; }
};

PW_DEVICE_FN bool staged(const LoopRun& run) {
  return kernels::window_side(run.radius) <= kStagedSide;
}

// Copies the facing part of the target window into shared memory (small
// windows only). A barrier must follow before it is read.
PW_DEVICE_FN void stage_window(const LoopRun& run, const Target& t,
                               uint32_t* window) {
  if (!staged(run)) return;
  const int side = kernels::window_side(run.radius);
  const kernels::FacingRange& f = t.facing;
  for (int q = threadIdx.x; q < side * side; q += blockDim.x) {
    const int k = q / side, j = q % side;
    if (k < f.k0 || k > f.k1 || j < f.j0 || j > f.j1) continue;
    window[q] = run.packed[(t.y - run.radius + k) * run.width + t.x - run.radius + j];
  }
}

PW_DEVICE_FN kernels::PackedImageWindow image_window(const LoopRun& run,
                                                     const Target& t) {
  return kernels::PackedImageWindow{run.packed, run.width, t.x - run.radius,
                                    t.y - run.radius};
}

// Walks the target's box in steps of the target's blocks. `select` tests one
// centre (item j of the box) and gives the list entry of one to score;
// those are gathered in `list` and scored by the block's first threads, so
// that the scoring warps are full. Every thread of the block must call it.
template <class Select, class Score>
PW_DEVICE_FN void walk_box(const Target& t, int* list, unsigned int* listed,
                           const Select& select, const Score& score) {
  const int step = t.parts * static_cast<int>(blockDim.x);
  for (int base = t.part * static_cast<int>(blockDim.x); base < t.items;
       base += step) {
    const int j = base + static_cast<int>(threadIdx.x);
    int entry = 0;
    if (j < t.items && select(j, &entry)) list[atomicAdd(listed, 1u)] = entry;
    __syncthreads();
    if (threadIdx.x < *listed) score(list[threadIdx.x]);
    __syncthreads();
    if (threadIdx.x == 0) *listed = 0;
    __syncthreads();
  }
}

// Folds each thread's key into the block's (shared, preset to kNoKey).
PW_DEVICE_FN void fold_key(unsigned long long key, unsigned long long* block_key) {
#if defined(__CUDA_ARCH__)
  for (int offset = 16; offset > 0; offset >>= 1) {
    const unsigned long long other = __shfl_down_sync(0xFFFFFFFFu, key, offset);
    if (other < key) key = other;
  }
  if ((threadIdx.x & 31u) == 0 && key != kernels::kNoKey) atomicMin(block_key, key);
#else
  if (key != kernels::kNoKey) atomicMin(block_key, key);
#endif
}

// Counts the block in among its target's once its results are in global
// memory. True, in every thread, for the block that arrives last: then
// every block's results are visible to it. One thread fences and arrives
// for the block: the barrier before it orders the other threads' writes
// (as a grid-wide barrier does).
PW_DEVICE_FN bool last_block(LoopState* state, int parts, int* flag) {
  __syncthreads();
  if (threadIdx.x == 0) {
    __threadfence();
    *flag = atomicAdd(&state->arrived, 1u) == static_cast<unsigned int>(parts) - 1 ? 1 : 0;
    if (*flag != 0) __threadfence();
  }
  __syncthreads();
  return *flag != 0;
}

PW_DEVICE_FN unsigned int read_volatile(const unsigned int* p) {
  return *const_cast<const volatile unsigned int*>(p);
}

// Blocks of kBlock threads the device keeps resident at once for a kernel.
template <class Kernel>
int ResidentBlocks(Kernel kernel) {
  int device = 0, processors = 1, per_processor = 2;
  cudaGetDevice(&device);
  // A refused question leaves the defaults; its answer is no pending fault.
#if defined(PW_CUDA_EMULATED)
  (void)kernel;
  cudaDeviceProp prop{};
  if (cudaGetDeviceProperties(&prop, device) == cudaSuccess)
    processors = prop.multiProcessorCount;
  else
    cudaGetLastError();
#else
  if (cudaDeviceGetAttribute(&processors, cudaDevAttrMultiProcessorCount,
                             device) != cudaSuccess ||
      cudaOccupancyMaxActiveBlocksPerMultiprocessor(&per_processor, kernel,
                                                    kBlock, 0) != cudaSuccess) {
    per_processor = 1;
    cudaGetLastError();
  }
#endif
  return std::max(1, per_processor) * std::max(1, processors);
}

}  // namespace pw::cuda
