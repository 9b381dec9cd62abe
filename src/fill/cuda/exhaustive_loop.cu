// The exhaustive method's kernel of the device loop: one launch per target,
// or per batch of targets that cannot see each other.
// A centre is tested in O(1) against the kept count of pixels still to fill
// in its window, the candidates left are scored on packed pixels, and the
// block that finishes last fills the target and updates the counts.
#include "fill/cuda/loop_blocks.cuh"
#include "fill/cuda/loop_kernels.cuh"

namespace pw::cuda {

// List entry of centre j of the box: its index when it qualifies outright,
// its complement when its facing pixels must be checked (a border target,
// a window holding pixels still to fill), none when it cannot qualify.
PW_DEVICE_FN bool exhaustive_entry(const LoopRun& run, const Target& t, int j,
                                   int* entry) {
  const int i = kernels::box_item_index(t.box.x0, t.box.y0, t.box.x1, t.box.y1,
                                        run.width, j);
  if (run.mask[i] != 0) return false;
  const kernels::SearchDomain domain{run.search_radius, run.allowed};
  if (!domain.admits(i % run.width, i / run.width, t.x, t.y, run.width))
    return false;
  if (run.unknown[i] == 0) {
    *entry = i;
    return true;
  }
  if (t.whole) return false;
  *entry = ~i;
  return true;
}

PW_DEVICE_FN unsigned long long exhaustive_key(const LoopRun& run,
                                               const Target& t,
                                               const uint32_t* window,
                                               int entry) {
  const bool check = entry < 0;
  const int i = check ? ~entry : entry;
  const int cx = i % run.width, cy = i / run.width;
  const StagedWindow staged_window{window, kernels::window_side(run.radius)};
  const kernels::PackedImageWindow read_window = image_window(run, t);
  int32_t sum;
  if (staged(run))
    sum = check ? kernels::packed_window_sum<true>(run.packed, run.width, staged_window,
                                                   cx, cy, run.radius, t.facing)
                : kernels::packed_window_sum<false>(run.packed, run.width, staged_window,
                                                    cx, cy, run.radius, t.facing);
  else
    sum = check ? kernels::packed_window_sum<true>(run.packed, run.width, read_window,
                                                   cx, cy, run.radius, t.facing)
                : kernels::packed_window_sum<false>(run.packed, run.width, read_window,
                                                    cx, cy, run.radius, t.facing);
  if (sum < 0) return kernels::kNoKey;
  // Past 2^24 (radius above 64) the distance is the float sum in window
  // order, which rounds.
  const float d = sum < (1 << 24)
                      ? static_cast<float>(sum)
                      : kernels::general_distance(run.image, run.mask, t.x, t.y,
                                                  run.width, run.height,
                                                  run.stride, run.radius, 0.0f,
                                                  0, i);
  return kernels::candidate_key(d, i);
}

// As many blocks of 512 threads per multiprocessor as its threads allow
// (1024 before compute capability 8.0): at most 42 registers for three.
#if defined(__CUDA_ARCH__) && __CUDA_ARCH__ < 800
#define PW_EXHAUSTIVE_BLOCKS_PER_SM 2
#else
#define PW_EXHAUSTIVE_BLOCKS_PER_SM 3
#endif
__global__ void __launch_bounds__(kBlock, PW_EXHAUSTIVE_BLOCKS_PER_SM)
    fill_target_exhaustive_kernel(LoopRun run, const int32_t* targets, int parts) {
  __shared__ uint32_t window[kStagedSide * kStagedSide];
  __shared__ int list[kBlock];
  __shared__ unsigned int listed;
  __shared__ unsigned long long block_key;
  __shared__ int flag, filled;
  const Target t = target_at(run, targets, parts);
  LoopState* state = run.state + t.slot;
  stage_window(run, t, window);
  if (threadIdx.x == 0) {
    listed = 0;
    block_key = kernels::kNoKey;
  }
  __syncthreads();
  unsigned long long best = kernels::kNoKey;
  walk_box(
      t, list, &listed,
      [&](int j, int* entry) { return exhaustive_entry(run, t, j, entry); },
      [&](int entry) {
        const unsigned long long key = exhaustive_key(run, t, window, entry);
        if (key < best) best = key;
      });
  fold_key(best, &block_key);
  __syncthreads();
  if (threadIdx.x == 0 && block_key != kernels::kNoKey)
    atomicMin(&state->key, block_key);
  if (!last_block(state, parts, &flag)) return;

  // Every block is in: fill the target from the winner, and take it off
  // the unknown counts of the windows that hold it.
  if (threadIdx.x == 0) {
    const unsigned long long key = atomicExch(&state->key, kernels::kNoKey);
    state->arrived = 0;
    filled = 0;
    if (key != kernels::kNoKey) {
      const int source = kernels::key_index(key);
      kernels::fill_target(run.image, run.mask, t.x, t.y, run.width, run.stride,
                           kernels::key_distance(key), source, nullptr,
                           run.sources);
      run.packed[t.index] = run.packed[source];
      filled = 1;
    }
  }
  __syncthreads();
  if (filled == 0) return;
  const int side = kernels::window_side(run.radius);
  for (int q = threadIdx.x; q < side * side; q += blockDim.x) {
    const int cx = t.x - run.radius + q % side, cy = t.y - run.radius + q / side;
    if (cx >= 0 && cx < run.width && cy >= 0 && cy < run.height)
      run.unknown[cy * run.width + cx] -= 1;
  }
}

void queue_exhaustive_targets(const LoopRun& run, const int32_t* targets,
                              int count, int parts) {
  launch_kernel(fill_target_exhaustive_kernel, count * parts, kBlock,
                get_cuda_stream(), run, targets, parts);
}

int exhaustive_loop_blocks() { return ResidentBlocks(fill_target_exhaustive_kernel); }

}  // namespace pw::cuda
