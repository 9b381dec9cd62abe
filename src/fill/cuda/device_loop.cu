// Kernels and launches of the device loop. A launch per target covers the
// target's box of candidate centres with a fixed grid (each thread steps by
// the whole grid); a block tests its centres in O(1), gathers those that
// need scoring into shared memory so that warps score side by side, folds
// their keys into one and takes part in the grid-wide minimum with one
// atomicMin. The block that arrives last finishes the target.
#include "fill/cuda/device_loop.cuh"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "fill/cuda/cuda_common.h"
#include "fill/kernels/candidate_key.h"
#include "fill/kernels/exhaustive.h"
#include "fill/kernels/fast.h"
#include "fill/kernels/numeric.h"
#include "fill/kernels/packed_window.h"

// Device-only helpers (plain host functions on the emulated device).
#if defined(PW_CUDA_EMULATED)
#define PW_DEVICE_FN inline
#else
#define PW_DEVICE_FN __device__ __forceinline__
#endif

namespace pw::cuda {

namespace {
constexpr const char* kStamp = PW_BUILD_STAMP;
constexpr const char* kWhere = "src/fill/cuda/device_loop : DeviceLoop";

// Target windows up to this side (radius 15) are staged in shared memory;
// larger ones are read from the packed image (one broadcast per warp).
constexpr int kStagedSide = 31;
constexpr uint8_t kNoBucket = 0xFF;
constexpr unsigned int kBuckets = kernels::kMaxFastPasses;

// After its first launch (keys, bucket 0) the pruned method's target gets
// five more, each searching the next buckets holding candidates: 1, 2, 4, 8,
// then all the rest. One that finds the search ended returns at once.
constexpr int kBucketSpans[] = {1, 2, 4, 8, static_cast<int>(kBuckets)};
}  // namespace

// ---- per-block helpers ------------------------------------------------------

struct Target {
  int index, x, y;
  kernels::FacingRange facing;
  bool whole;  // the whole window faces in-image target positions
  kernels::CandidateBox box;
  int items;   // centres in the box
};

PW_DEVICE_FN Target target_at(const LoopRun& run, const int32_t* order,
                              int pos) {
  Target t;
  t.index = order[pos];
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

// Walks the target's box in steps of the whole grid. `select` tests one
// centre (item j of the box) and gives the list entry of one to score;
// those are gathered in `list` and scored by the block's first threads, so
// that the scoring warps are full. Every thread of the block must call it.
template <class Select, class Score>
PW_DEVICE_FN void walk_box(const Target& t, int* list, unsigned int* listed,
                           const Select& select, const Score& score) {
  const int step = static_cast<int>(gridDim.x * blockDim.x);
  for (int base = static_cast<int>(blockIdx.x * blockDim.x); base < t.items;
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

// Counts the block in once its results are in global memory. True, in every
// thread, for the block that arrives last: then every block's results are
// visible to it.
PW_DEVICE_FN bool last_block(LoopState* state, int* flag) {
  __threadfence();
  __syncthreads();
  if (threadIdx.x == 0)
    *flag = atomicAdd(&state->arrived, 1u) == gridDim.x - 1 ? 1 : 0;
  __syncthreads();
  if (*flag == 0) return false;
  __threadfence();
  return true;
}

// ---- initial state ----------------------------------------------------------

// Packed pixels; `unknown_value` 1 flags the bytes equal to 1 (the exhaustive
// method), 0 every non-zero byte (the pruned method).
__global__ void pack_image_kernel(LoopRun run, int unknown_value) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= run.width * run.height) return;
  const int x = i % run.width, y = i / run.width;
  const uint8_t m = run.mask[i];
  run.packed[i] = kernels::pack_pixel(run.image + y * run.stride + 3 * x,
                                      unknown_value == 1 ? m == 1 : m != 0);
}

// Pixels equal to 1 in each window, clipped to the image: along the rows
// into `rows`, then along the columns.
__global__ void count_unknown_rows_kernel(LoopRun run, int32_t* rows) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= run.width * run.height) return;
  const int x = i % run.width, y = i / run.width, r = run.radius;
  const int x0 = x - r > 0 ? x - r : 0;
  const int x1 = x + r < run.width - 1 ? x + r : run.width - 1;
  int32_t n = 0;
  for (int cx = x0; cx <= x1; ++cx) n += run.mask[y * run.width + cx] == 1;
  rows[i] = n;
}

__global__ void count_unknown_columns_kernel(LoopRun run, const int32_t* rows) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= run.width * run.height) return;
  const int x = i % run.width, y = i / run.width, r = run.radius;
  const int y0 = y - r > 0 ? y - r : 0;
  const int y1 = y + r < run.height - 1 ? y + r : run.height - 1;
  int32_t n = 0;
  for (int cy = y0; cy <= y1; ++cy) n += rows[cy * run.width + x];
  run.unknown[i] = n;
}

// ---- the exhaustive method --------------------------------------------------

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
    fill_target_exhaustive_kernel(LoopRun run, const int32_t* order, int pos) {
  __shared__ uint32_t window[kStagedSide * kStagedSide];
  __shared__ int list[kBlock];
  __shared__ unsigned int listed;
  __shared__ unsigned long long block_key;
  __shared__ int flag, filled;
  const Target t = target_at(run, order, pos);
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
    atomicMin(&run.state->key, block_key);
  if (!last_block(run.state, &flag)) return;

  // Every block is in: fill the target from the winner, and take it off
  // the unknown counts of the windows that hold it.
  if (threadIdx.x == 0) {
    const unsigned long long key = atomicExch(&run.state->key, kernels::kNoKey);
    run.state->arrived = 0;
    filled = 0;
    if (key != kernels::kNoKey) {
      const int source = kernels::key_index(key);
      kernels::fill_target(run.image, run.mask, t.x, t.y, run.width, run.stride,
                           kernels::key_distance(key), source, nullptr);
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

// ---- the pruned method ------------------------------------------------------

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

PW_DEVICE_FN unsigned int read_volatile(const unsigned int* p) {
  return *const_cast<const volatile unsigned int*>(p);
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
    LoopState* s = run.state;
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
      s->passes += static_cast<unsigned long long>(b + 1);
      if (kernels::fill_from_best(run.image, run.mask, t.x, t.y, run.width,
                                  run.stride, dis_min, idx_min, nullptr)) {
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

// First launch of a target: every centre of the box gets its key and
// bucket, and bucket 0 is searched.
__global__ void fill_target_fast_keys_kernel(LoopRun run, const int32_t* order,
                                             int pos) {
  __shared__ uint32_t window[kStagedSide * kStagedSide];
  __shared__ int list[kBlock];
  __shared__ unsigned int listed;
  __shared__ unsigned long long block_key;
  __shared__ unsigned int block_buckets;
  __shared__ int flag, filled;
  const Target t = target_at(run, order, pos);
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
        run.buckets[i] = static_cast<uint8_t>(b);
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
    if (block_key != kernels::kNoKey) atomicMin(&run.state->bucket_key[0], block_key);
    if (block_buckets != 0) atomicOr(&run.state->nonempty, block_buckets);
  }
  if (!last_block(run.state, &flag)) return;
  finish_buckets(run, t, 0, 0, &filled);
}

// A later launch of a target: searches up to `span` buckets from the first
// one not searched, unless the search has ended.
__global__ void fill_target_fast_buckets_kernel(LoopRun run, const int32_t* order,
                                                int pos, int span) {
  if (run.state->stopped != 0) return;
  __shared__ uint32_t window[kStagedSide * kStagedSide];
  __shared__ int list[kBlock];
  __shared__ unsigned int listed;
  __shared__ unsigned long long bucket_key[kBuckets];
  __shared__ int flag, filled;
  const int lo = run.state->next_bucket;
  const int hi = (lo + span < static_cast<int>(kBuckets) ? lo + span
                                                          : static_cast<int>(kBuckets)) - 1;
  const Target t = target_at(run, order, pos);
  stage_window(run, t, window);
  if (threadIdx.x < kBuckets) bucket_key[threadIdx.x] = kernels::kNoKey;
  if (threadIdx.x == 0) listed = 0;
  __syncthreads();
  walk_box(
      t, list, &listed,
      [&](int j, int* entry) {
        const int i = kernels::box_item_index(t.box.x0, t.box.y0, t.box.x1,
                                              t.box.y1, run.width, j);
        const int b = run.buckets[i];
        *entry = i;
        return b != kNoBucket && b >= lo && b <= hi;
      },
      [&](int i) {
        const unsigned long long key = fast_key(run, t, window, i);
        if (key != kernels::kNoKey) atomicMin(&bucket_key[run.buckets[i]], key);
      });
  const int b = static_cast<int>(threadIdx.x);
  if (b >= lo && b <= hi && bucket_key[b] != kernels::kNoKey)
    atomicMin(&run.state->bucket_key[b], bucket_key[b]);
  if (!last_block(run.state, &flag)) return;
  finish_buckets(run, t, lo, hi, &filled);
}

// ---- host side --------------------------------------------------------------

bool DeviceLoopRequested() {
  const char* value = std::getenv("PATCHWELL_CUDA_LOOP");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "device") == 0)
    return true;
  if (std::strcmp(value, "per-target") == 0) return false;
  throw std::invalid_argument(
      std::string("PATCHWELL_CUDA_LOOP must be \"device\" or \"per-target\", not \"") +
      value + "\"");
}

bool DeviceLoop::Supports(const EngineParams& p) {
  if (p.radius < 0 || p.radius > 127) return false;
  if (p.method == kMethodGpuFast) return true;
  return p.missing_tolerance == 0.0f && p.candidate_mask_value == 0;
}

namespace {

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

// Centres in the largest box a target can have.
int64_t LargestBox(const EngineParams& p, int search_radius) {
  int64_t cols = p.width - 2 * int64_t{p.radius};
  int64_t rows = p.height - 2 * int64_t{p.radius};
  if (search_radius >= 0) {
    cols = std::min<int64_t>(cols, 2 * int64_t{search_radius} + 1);
    rows = std::min<int64_t>(rows, 2 * int64_t{search_radius} + 1);
  }
  return cols > 0 && rows > 0 ? cols * rows : 0;
}

}  // namespace

void DeviceLoop::Start(const EngineParams& p, uint8_t* image, uint8_t* mask,
                       const uint8_t* allowed, float* sums, int32_t* counts,
                       void* scratch) {
  Release();
  method_ = p.method;
  pixels_ = int64_t{p.width} * p.height;
  passes_ = 0;
  const int n = static_cast<int>(pixels_);
  // A search radius past the image admits every centre, as none does.
  const int search_radius =
      p.search_radius < 0 ? -1 : std::min(p.search_radius, std::max(p.width, p.height));
  run_ = LoopRun{image, mask, nullptr, nullptr, sums, counts, nullptr, allowed,
                 nullptr, p.width, p.height, p.stride, p.radius, search_radius};
  const bool fast = method_ == kMethodGpuFast;
  auto fail = [this](uint64_t bytes) {
    Release();
    throw DeviceMemoryError("CUDA: cannot allocate " + std::to_string(bytes) +
                                " bytes of device memory",
                            bytes);
  };
  run_.packed = reinterpret_cast<uint32_t*>(cuda_alloc_ints(n));
  if (run_.packed == nullptr) fail(uint64_t{4} * n);
  if (fast) {
    run_.buckets = reinterpret_cast<uint8_t*>(cuda_alloc_ints((n + 3) / 4));
    if (run_.buckets == nullptr) fail(uint64_t{4} * ((n + 3) / 4));
  } else {
    run_.unknown = cuda_alloc_ints(n);
    if (run_.unknown == nullptr) fail(uint64_t{4} * n);
  }
  dev_single_ = cuda_alloc_ints(1);
  if (dev_single_ == nullptr) fail(4);
  LoopState initial{};
  initial.key = kernels::kNoKey;
  for (unsigned long long& k : initial.bucket_key) k = kernels::kNoKey;
  initial.dis_min = kernels::kNotScored;
  run_.state = reinterpret_cast<LoopState*>(
      cuda_push_array_bytes(&initial, static_cast<int>(sizeof initial)));
  if (run_.state == nullptr) fail(sizeof initial);

  cudaStream_t stream = get_cuda_stream();
  const int blocks = kernels::div_round_up(n, kBlock);
  launch_kernel(pack_image_kernel, blocks, kBlock, stream, run_, fast ? 0 : 1);
  if (!fast) {
    auto* rows = static_cast<int32_t*>(scratch);
    launch_kernel(count_unknown_rows_kernel, blocks, kBlock, stream, run_, rows);
    launch_kernel(count_unknown_columns_kernel, blocks, kBlock, stream, run_, rows);
  }
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);

  const int64_t largest = LargestBox(p, search_radius);
  const int resident =
      fast ? ResidentBlocks(fill_target_fast_buckets_kernel)
           : ResidentBlocks(fill_target_exhaustive_kernel);
  blocks_ = static_cast<int>(std::max<int64_t>(
      1, std::min<int64_t>(resident, (largest + kBlock - 1) / kBlock)));
  // The initial state is copied from this function's stack.
  cuda_check_status(cudaStreamSynchronize(stream), kWhere, __LINE__, kStamp);
}

void DeviceLoop::Enqueue(const int32_t* order, int32_t pos) {
  cudaStream_t stream = get_cuda_stream();
  if (method_ == kMethodGpuFast) {
    launch_kernel(fill_target_fast_keys_kernel, blocks_, kBlock, stream, run_,
                  order, pos);
    for (int span : kBucketSpans)
      launch_kernel(fill_target_fast_buckets_kernel, blocks_, kBlock, stream,
                    run_, order, pos, span);
  } else {
    launch_kernel(fill_target_exhaustive_kernel, blocks_, kBlock, stream, run_,
                  order, pos);
  }
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);
}

void DeviceLoop::Finish() {
  if (method_ == kMethodGpuFast) {
    // The copy waits for the work queued before it.
    cuda_pull_array_bytes(&passes_, &run_.state->passes,
                          static_cast<int>(sizeof passes_));
  }
  cuda_check_status(cudaStreamSynchronize(get_cuda_stream()), kWhere, __LINE__,
                    kStamp);
}

void DeviceLoop::Run(const std::vector<int32_t>& order, int32_t begin,
                     int32_t end) {
  // A fault of earlier work is reported as found pending.
  cuda_check_status(cudaSuccess, kWhere, __LINE__, kStamp);
  if (order.data() != order_source_ || order.size() != order_size_) {
    cuda_free_counted(dev_order_, order_bytes_);
    dev_order_ = nullptr;
    order_source_ = nullptr;
    const int count = static_cast<int>(order.size());
    dev_order_ = cuda_alloc_ints(count);
    order_bytes_ = int64_t{4} * count;
    if (dev_order_ == nullptr && count > 0)
      throw DeviceMemoryError("CUDA: cannot allocate " +
                                  std::to_string(order_bytes_) +
                                  " bytes of device memory",
                              static_cast<uint64_t>(order_bytes_));
    cuda_check_status(
        cudaMemcpyAsync(dev_order_, order.data(), static_cast<size_t>(order_bytes_),
                        cudaMemcpyHostToDevice, get_cuda_stream()),
        kWhere, __LINE__ - 2, kStamp);
    order_source_ = order.data();
    order_size_ = order.size();
  }
  for (int32_t pos = begin; pos < end; ++pos) Enqueue(dev_order_, pos);
  Finish();
}

void DeviceLoop::Single(int32_t index) {
  cuda_check_status(cudaSuccess, kWhere, __LINE__, kStamp);
  single_ = index;
  cuda_check_status(cudaMemcpyAsync(dev_single_, &single_, sizeof single_,
                                    cudaMemcpyHostToDevice, get_cuda_stream()),
                    kWhere, __LINE__ - 1, kStamp);
  Enqueue(dev_single_, 0);
  Finish();
}

void DeviceLoop::Release() noexcept {
  cuda_free_counted(run_.packed, 4 * pixels_);
  cuda_free_counted(run_.unknown, 4 * pixels_);
  cuda_free_counted(run_.buckets, 4 * ((pixels_ + 3) / 4));
  cuda_free_counted(run_.state, sizeof(LoopState));
  cuda_free_counted(dev_single_, 4);
  cuda_free_counted(dev_order_, order_bytes_);
  run_.packed = nullptr;
  run_.unknown = nullptr;
  run_.buckets = nullptr;
  run_.state = nullptr;
  dev_single_ = nullptr;
  dev_order_ = nullptr;
  order_source_ = nullptr;
  order_size_ = 0;
  order_bytes_ = 0;
}

}  // namespace pw::cuda
