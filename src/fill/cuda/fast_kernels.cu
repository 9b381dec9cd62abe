// Kernels of the pruned method. Each thread runs the shared per-item logic
// of fill/kernels/fast.h; this file adds the launches, the single-block
// minimum search and the two device variables that carry the best
// candidate of a target from pass to pass.
#include "fill/cuda/block_select.cuh"
#include "fill/cuda/cuda_common.h"
#include "fill/cuda/fast_kernels.cuh"
#include "fill/kernels/fast.h"
#include "fill/kernels/numeric.h"
#include "fill/kernels/selection.h"

namespace pw::cuda {

namespace {
constexpr const char* kStamp = PW_BUILD_STAMP;
constexpr const char* kWhere =
    "src/fill/cuda/fast_kernels : inpaint_get_nearest_DIK_sums_precise_ds_gpu";
}  // namespace

// Best distance of the current target and the pixel index holding it. The
// host resets g_dis_min per target; g_idx_min is read only after g_dis_min
// has dropped below 256 in the same target, which always sets it.
__device__ float g_dis_min;
__device__ int g_idx_min;

__global__ void calculate_sums_kernel(const uint8_t* __restrict__ image,
                                      const uint8_t* __restrict__ mask,
                                      int width, int height, int stride,
                                      int radius, float* sums, int* counts) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= width * height) return;
  kernels::window_sums(image, mask, width, height, stride, radius, sums,
                       counts, i);
}

__global__ void update_sums_kernel(const uint8_t* __restrict__ image,
                                   const uint8_t* __restrict__ mask, int width,
                                   int height, int stride, int radius, int x,
                                   int y, float* sums, int* counts) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  const int side = kernels::window_side(radius);
  if (i >= side * side) return;
  kernels::update_window_sums(image, mask, width, height, stride, radius, x, y,
                              sums, counts, i);
}

__global__ void calculate_ds_DIK_kernel(const uint8_t* __restrict__ mask,
                                        const float* __restrict__ sums,
                                        const int* __restrict__ counts, int x,
                                        int y, int width, int height,
                                        int radius, float* ds, float* dist) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= width * height) return;
  kernels::ranking_key_item(mask, sums, counts, x, y, width, radius, ds, dist,
                            i);
}

__global__ void calculate_dmin_DIK_sums_ds_kernel(
    const uint8_t* __restrict__ image, const uint8_t* __restrict__ mask,
    const float* __restrict__ ds, int x, int y, int width, int height,
    int stride, int radius, float* dist, int step, int pass) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= width * height) return;
  kernels::patch_distance_item(image, mask, ds, x, y, width, height, stride,
                               radius, dist, step, pass, i);
}

// The key and scoring kernels over a search domain: one thread per centre
// of the target's box; a centre outside the domain gets no key. Entries
// outside the box are neither written nor read.
__global__ void calculate_ds_DIK_box_kernel(
    const uint8_t* __restrict__ mask, const float* __restrict__ sums,
    const int* __restrict__ counts, int x, int y, int width, int radius,
    float* ds, float* dist, int x0, int y0, int x1, int y1,
    int search_radius, const uint8_t* __restrict__ allowed) {
  const int i =
      kernels::box_item_index(x0, y0, x1, y1, width,
                              blockIdx.x * blockDim.x + threadIdx.x);
  if (i < 0) return;
  kernels::ranking_key_item(mask, sums, counts, x, y, width, radius, ds, dist,
                            i);
  if (!kernels::SearchDomain{search_radius, allowed}.admits(i % width, i / width,
                                                            x, y, width))
    ds[i] = kernels::kNotScored;
}

__global__ void calculate_dmin_DIK_sums_ds_box_kernel(
    const uint8_t* __restrict__ image, const uint8_t* __restrict__ mask,
    const float* __restrict__ ds, int x, int y, int width, int height,
    int stride, int radius, float* dist, int step, int pass, int x0, int y0,
    int x1, int y1) {
  const int i =
      kernels::box_item_index(x0, y0, x1, y1, width,
                              blockIdx.x * blockDim.x + threadIdx.x);
  if (i < 0) return;
  kernels::patch_distance_item(image, mask, ds, x, y, width, height, stride,
                               radius, dist, step, pass, i);
}

// One block of exactly 512 threads: slot scans over the box, the tree, then
// thread 0 lets the minimum replace the best only when strictly smaller.
__global__ void find_dmin_box_kernel(const float* dist, int width,
                                     int x0, int y0, int x1, int y1) {
  __shared__ float r1[kernels::kSelectThreads];
  __shared__ int i1[kernels::kSelectThreads];
  const int t = threadIdx.x;
  kernels::box_slot_scan(dist, width, x0, y0, x1, y1, t,
                         kernels::kNotScored, r1, i1);
  block_tree_reduce(r1, i1, t);
  if (t == 0) kernels::carry_best(r1[0], i1[0], &g_dis_min, &g_idx_min);
}

// One block of exactly 512 threads: slot scans, the tree, then thread 0
// lets the minimum replace the best only when strictly smaller.
__global__ void find_dmin_kernel(const float* dist, int n) {
  __shared__ float r1[kernels::kSelectThreads];
  __shared__ int i1[kernels::kSelectThreads];
  const int t = threadIdx.x;
  kernels::slot_scan(dist, n, t, kernels::kNotScored, r1, i1);
  block_tree_reduce(r1, i1, t);
  if (t == 0) kernels::carry_best(r1[0], i1[0], &g_dis_min, &g_idx_min);
}

__global__ void fill_dmin_kernel(uint8_t* image, uint8_t* mask, int x, int y,
                                 int width, int stride, int* fill_pos,
                                 int32_t* sources) {
  if (threadIdx.x != 0 || blockIdx.x != 0) return;
  kernels::fill_from_best(image, mask, x, y, width, stride, g_dis_min,
                          g_idx_min, fill_pos, sources);
}

void calculate_sums_gpu(const uint8_t* image, const uint8_t* mask, int width,
                        int height, int stride, int radius, float* sums,
                        int* counts) {
  launch_kernel(calculate_sums_kernel, kernels::div_round_up(width * height, kBlock),
                kBlock, get_cuda_stream(), image, mask, width, height, stride,
                radius, sums, counts);
}

void update_sums_gpu(const uint8_t* image, const uint8_t* mask, int width,
                     int height, int stride, int radius, int x, int y,
                     float* sums, int* counts) {
  const int side = kernels::window_side(radius);
  launch_kernel(update_sums_kernel, kernels::div_round_up(side * side, kBlock),
                kBlock, get_cuda_stream(), image, mask, width, height, stride,
                radius, x, y, sums, counts);
}

int inpaint_get_nearest_DIK_sums_precise_ds_gpu(
    uint8_t* image, uint8_t* mask, int x, int y, int width, int height,
    int stride, int radius, float* dist, float* sums, int* counts, float* ds,
    int* fill_pos, const kernels::SearchDomain& domain, int32_t* sources) {
  const int n = width * height;
  const bool bounded = domain.radius >= 0 || domain.allowed != nullptr;
  // With a search domain only the centres of the target's box get keys and
  // are scored and searched. A target whose box is empty has no candidate:
  // every pass finds nothing, and nothing is filled.
  const kernels::CandidateBox box = kernels::candidate_box(
      x, y, width, height, radius, domain.radius, true);
  if (bounded && box.empty()) return kernels::kMaxFastPasses;
  const int items = bounded ? (box.x1 - box.x0) * (box.y1 - box.y0) : n;
  const int blocks = kernels::div_round_up(items, kBlock);
  cudaStream_t stream = get_cuda_stream();

  // The symbol copies go to the same stream as the kernels, so the read of
  // each pass waits for that pass's search without relying on the legacy
  // default stream's implicit ordering.
  const float not_scored = kernels::kNotScored;
  cudaMemcpyToSymbolAsync(g_dis_min, &not_scored, sizeof(float), 0,
                          cudaMemcpyHostToDevice, stream);
  if (bounded)
    launch_kernel(calculate_ds_DIK_box_kernel, blocks, kBlock, stream, mask,
                  sums, counts, x, y, width, radius, ds, dist, box.x0, box.y0,
                  box.x1, box.y1, domain.radius, domain.allowed);
  else
    launch_kernel(calculate_ds_DIK_kernel, blocks, kBlock, stream, mask, sums,
                  counts, x, y, width, height, radius, ds, dist);

  int pass = 0;
  for (;;) {
    if (bounded)
      launch_kernel(calculate_dmin_DIK_sums_ds_box_kernel, blocks, kBlock,
                    stream, image, mask, ds, x, y, width, height, stride,
                    radius, dist, kernels::kBucketWidth, pass, box.x0,
                    box.y0, box.x1, box.y1);
    else
      launch_kernel(calculate_dmin_DIK_sums_ds_kernel, blocks, kBlock, stream,
                    image, mask, ds, x, y, width, height, stride, radius, dist,
                    kernels::kBucketWidth, pass);
    cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);
    if (bounded)
      launch_kernel(find_dmin_box_kernel, 1, kernels::kSelectThreads, stream,
                    dist, width, box.x0, box.y0, box.x1, box.y1);
    else
      launch_kernel(find_dmin_kernel, 1, kernels::kSelectThreads, stream, dist, n);
    float best = kernels::kNotScored;
    cudaMemcpyFromSymbolAsync(&best, g_dis_min, sizeof(float), 0,
                              cudaMemcpyDeviceToHost, stream);
    cudaStreamSynchronize(stream);
    ++pass;
    if (kernels::stop_after_pass(pass - 1, best) ||
        pass == kernels::kMaxFastPasses)
      break;
  }

  launch_kernel(fill_dmin_kernel, 1, kernels::kSelectThreads, stream, image,
                mask, x, y, width, stride, fill_pos, sources);
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__ - 1, kStamp);
  return pass;
}

}  // namespace pw::cuda
