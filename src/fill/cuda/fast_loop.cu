// The pruned method's kernels of the device loop: a target's first launch
// gives every centre of its box its key and bucket and searches bucket 0;
// five more search the next buckets holding candidates, unless the search
// has ended (or, for small boxes, the first launch's last block searches
// them itself). A launch serves one target or a batch of them, each with
// its own blocks, state and bucket bytes (by box item). The last block of
// each launch applies the stop rule, and when the search ends fills the
// target and updates the window sums.
#include "fill/cuda/loop_blocks.cuh"
#include "fill/cuda/loop_kernels.cuh"
#include "fill/kernels/fast.h"

namespace pw::cuda {

namespace {
constexpr uint8_t kNoBucket = 0xFF;
constexpr unsigned int kBuckets = kernels::kMaxFastPasses;

// After its first launch (keys, bucket 0) a target gets five more, each
// searching the next buckets holding candidates: 1, 2, 4, 8, then all the
// rest. One that finds the search ended returns at once.
constexpr int kBucketSpans[] = {1, 2, 4, 8, static_cast<int>(kBuckets)};
}  // namespace

PW_DEVICE_FN unsigned long long fast_key(const LoopRun& run, const Target& t,
                                         const uint32_t* window, int i) {
  const int cx = i % run.width, cy = i / run.width;
  const float d =
      staged(run)
          ? kernels::packed_patch_distance(
                run.packed, run.width,
                StagedWindow{window, kernels::window_side(run.radius)}, cx, cy,
                run.radius, t.facing)
          : kernels::packed_patch_distance(run.packed, run.width,
                                           image_window(run, t), cx, cy,
                                           run.radius, t.facing);
  return d < kernels::kNotScored ? kernels::candidate_key(d, i) : kernels::kNoKey;
}

// The last block of a launch that searched buckets lo..hi: takes each
// bucket's minimum as the pass of that number would (only a strictly
// smaller distance replaces the best), passes over the empty buckets that
// follow, and applies the stop rule after each. When the search ends: the
// fill, the pass count, the window sums, and a fresh state for the next
// target; otherwise the next launch starts at the first bucket not searched.
PW_DEVICE_FN void finish_buckets(const LoopRun& run, const Target& t, int lo,
                                 int hi, int* filled) {
  if (threadIdx.x == 0) {
    LoopState* s = run.state + t.slot;
    volatile LoopState* vs = s;
    s->arrived = 0;
    const unsigned int nonempty = read_volatile(&s->nonempty);
    float dis_min = vs->dis_min;
    int idx_min = vs->idx_min;
    bool stop = false;
    int b = lo;
    for (; b < static_cast<int>(kBuckets); ++b) {
      if (b <= hi) {
        const unsigned long long key = atomicExch(&s->bucket_key[b], kernels::kNoKey);
        if (key != kernels::kNoKey)
          kernels::carry_best(kernels::key_distance(key), kernels::key_index(key),
                              &dis_min, &idx_min);
      } else if ((nonempty >> b) & 1u) {
        break;  // holds candidates: the next launch searches it
      }
      if (kernels::stop_after_pass(b, dis_min) ||
          b == static_cast<int>(kBuckets) - 1) {
        stop = true;
        break;
      }
    }
    for (int q = b + 1; q <= hi; ++q) s->bucket_key[q] = kernels::kNoKey;
    *filled = 0;
    if (stop) {
      // The run's count is slot 0's: the targets of a batch add at once.
      atomicAdd(&run.state->passes, static_cast<unsigned long long>(b + 1));
      if (kernels::fill_from_best(run.image, run.mask, t.x, t.y, run.width,
                                  run.stride, dis_min, idx_min, nullptr,
                                  run.sources)) {
        run.packed[t.index] = run.packed[idx_min];
        *filled = 1;
      }
      vs->dis_min = kernels::kNotScored;
      vs->nonempty = 0;
      vs->next_bucket = 0;
    } else {
      vs->dis_min = dis_min;
      vs->next_bucket = b;
    }
    vs->idx_min = idx_min;
    vs->stopped = stop ? 1 : 0;
  }
  __syncthreads();
  if (*filled == 0) return;
  const int side = kernels::window_side(run.radius);
  for (int q = threadIdx.x; q < side * side; q += blockDim.x)
    kernels::update_window_sums(run.image, run.mask, run.width, run.height,
                                run.stride, run.radius, t.x, t.y, run.sums,
                                run.counts, q);
}

// The last block of a target's first launch, when the search goes on past
// bucket 0 and the box is small: searches the next buckets holding
// candidates one at a time on its own, with the same carry and stop rule
// as the later launches, until the search ends. No launch is queued that
// would only find the search ended.
PW_DEVICE_FN void walk_buckets(const LoopRun& run, const Target& t,
                               const uint8_t* slot_buckets, const uint32_t* window,
                               unsigned long long* block_key, int* filled) {
  LoopState* state = run.state + t.slot;
  for (;;) {
    __syncthreads();  // the state as the last finish left it
    if (*const_cast<volatile int*>(&state->stopped) != 0) return;
    const int b = *const_cast<volatile int*>(&state->next_bucket);
    if (threadIdx.x == 0) *block_key = kernels::kNoKey;
    __syncthreads();
    unsigned long long best = kernels::kNoKey;
    for (int j = static_cast<int>(threadIdx.x); j < t.items;
         j += static_cast<int>(blockDim.x)) {
      if (slot_buckets[j] != b) continue;
      const int i = kernels::box_item_index(t.box.x0, t.box.y0, t.box.x1, t.box.y1,
                                            run.width, j);
      const unsigned long long key = fast_key(run, t, window, i);
      if (key < best) best = key;
    }
    fold_key(best, block_key);
    __syncthreads();
    if (threadIdx.x == 0 && *block_key != kernels::kNoKey)
      atomicMin(&state->bucket_key[b], *block_key);
    finish_buckets(run, t, b, b, filled);
  }
}

// First launch of a target: every centre of the box gets its key and
// bucket, and bucket 0 is searched; with `walk`, the last block also
// searches the rest.
__global__ void fill_target_fast_keys_kernel(LoopRun run, const int32_t* targets,
                                             int parts, int walk) {
  __shared__ uint32_t window[kStagedSide * kStagedSide];
  __shared__ int list[kBlock];
  __shared__ unsigned int listed;
  __shared__ unsigned long long block_key;
  __shared__ unsigned int block_buckets;
  __shared__ int flag, filled;
  const Target t = target_at(run, targets, parts);
  LoopState* state = run.state + t.slot;
  uint8_t* slot_buckets = run.buckets + static_cast<size_t>(t.slot) * run.box_capacity;
  stage_window(run, t, window);
  if (threadIdx.x == 0) {
    listed = 0;
    block_key = kernels::kNoKey;
    block_buckets = 0;
  }
  __syncthreads();
  unsigned long long best = kernels::kNoKey;
  unsigned int buckets = 0;
  const kernels::SearchDomain domain{run.search_radius, run.allowed};
  walk_box(
      t, list, &listed,
      [&](int j, int* entry) {
        const int i = kernels::box_item_index(t.box.x0, t.box.y0, t.box.x1,
                                              t.box.y1, run.width, j);
        float key = kernels::ranking_key(run.mask, run.sums, run.counts, t.x,
                                         t.y, run.width, run.radius, i);
        if (!domain.admits(i % run.width, i / run.width, t.x, t.y, run.width))
          key = kernels::kNotScored;
        const int b = key == kernels::kNotScored
                          ? kNoBucket
                          : static_cast<int>(key) / kernels::kBucketWidth;
        slot_buckets[j] = static_cast<uint8_t>(b);
        if (b == kNoBucket) return false;
        buckets |= 1u << b;
        *entry = i;
        return b == 0;
      },
      [&](int i) {
        const unsigned long long key = fast_key(run, t, window, i);
        if (key < best) best = key;
      });
  fold_key(best, &block_key);
  if (buckets != 0) atomicOr(&block_buckets, buckets);
  __syncthreads();
  if (threadIdx.x == 0) {
    if (block_key != kernels::kNoKey) atomicMin(&state->bucket_key[0], block_key);
    if (block_buckets != 0) atomicOr(&state->nonempty, block_buckets);
  }
  if (!last_block(state, parts, &flag)) return;
  finish_buckets(run, t, 0, 0, &filled);
  if (walk != 0) walk_buckets(run, t, slot_buckets, window, &block_key, &filled);
}

// A later launch of a target: searches up to `span` buckets from the first
// one not searched, unless the search has ended.
__global__ void fill_target_fast_buckets_kernel(LoopRun run, const int32_t* targets,
                                                int parts, int span) {
  LoopState* state = run.state + static_cast<int>(blockIdx.x) / parts;
  if (state->stopped != 0) return;
  __shared__ uint32_t window[kStagedSide * kStagedSide];
  __shared__ int list[kBlock];
  __shared__ unsigned int listed;
  __shared__ unsigned long long bucket_key[kBuckets];
  __shared__ int flag, filled;
  const int lo = state->next_bucket;
  const int hi = (lo + span < static_cast<int>(kBuckets) ? lo + span
                                                          : static_cast<int>(kBuckets)) - 1;
  const Target t = target_at(run, targets, parts);
  const uint8_t* slot_buckets = run.buckets + static_cast<size_t>(t.slot) * run.box_capacity;
  stage_window(run, t, window);
  if (threadIdx.x < kBuckets) bucket_key[threadIdx.x] = kernels::kNoKey;
  if (threadIdx.x == 0) listed = 0;
  __syncthreads();
  walk_box(
      t, list, &listed,
      [&](int j, int* entry) {
        const int b = slot_buckets[j];
        *entry = j;
        return b != kNoBucket && b >= lo && b <= hi;
      },
      [&](int j) {
        const int i = kernels::box_item_index(t.box.x0, t.box.y0, t.box.x1,
                                              t.box.y1, run.width, j);
        const unsigned long long key = fast_key(run, t, window, i);
        if (key != kernels::kNoKey) atomicMin(&bucket_key[slot_buckets[j]], key);
      });
  const int b = static_cast<int>(threadIdx.x);
  if (b >= lo && b <= hi && bucket_key[b] != kernels::kNoKey)
    atomicMin(&state->bucket_key[b], bucket_key[b]);
  if (!last_block(state, parts, &flag)) return;
  finish_buckets(run, t, lo, hi, &filled);
}

void queue_fast_targets(const LoopRun& run, const int32_t* targets, int count,
                        int parts, bool walk) {
  cudaStream_t stream = get_cuda_stream();
  launch_kernel(fill_target_fast_keys_kernel, count * parts, kBlock, stream, run,
                targets, parts, walk ? 1 : 0);
  if (walk) return;
  for (int span : kBucketSpans)
    launch_kernel(fill_target_fast_buckets_kernel, count * parts, kBlock, stream,
                  run, targets, parts, span);
}

int fast_loop_blocks() { return ResidentBlocks(fill_target_fast_buckets_kernel); }

}  // namespace pw::cuda
