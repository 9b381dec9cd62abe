// Kernels of the exhaustive method. Each thread runs the shared per-item
// logic of fill/kernels; this file only adds the launches, the constant
// window buffer with its staging area, and the block reduction.
#include "fill/cuda/block_select.cuh"
#include "fill/cuda/cuda_common.h"
#include "fill/cuda/inpaint_kernels.cuh"
#include "fill/kernels/exhaustive.h"
#include "fill/kernels/numeric.h"
#include "fill/kernels/selection.h"

namespace pw::cuda {

namespace {
constexpr const char* kStamp = PW_BUILD_STAMP;
constexpr const char* kWhere =
    "src/fill/cuda/inpaint_kernels : inpaint_get_nearest_DIK_gpu";
}

// The target window of the current fill, one broadcast read per warp.
__constant__ uint8_t pixels_const_gpu[kernels::kConstWindowBytes];

// Where the 2D copy gathers the target window, in the constant buffer's
// layout, before one device-to-device symbol copy on the stream moves it
// there: kernels only read constant memory.
__device__ uint8_t pixels_stage_gpu[kernels::kConstWindowBytes];

// Kept with the module's device variables; no routine reads it. The pruned
// method's g_dis_min and g_idx_min live with its kernels (fast_kernels.cu).
__device__ int i_answer;

struct ConstWindowReader {
  __host__ __device__ uint8_t operator[](int offset) const {
#if defined(__CUDA_ARCH__) || defined(PW_CUDA_EMULATED)
    return pixels_const_gpu[offset];
#else
    (void)offset;
    return 0;
#endif
  }
};

__global__ void calculate_dmin_DIK_const_fast_kernel(
    const uint8_t* __restrict__ image, const uint8_t* __restrict__ mask, int x,
    int y, int width, int height, int stride, int radius, float* dist,
    int candidate_mask_value) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= width * height) return;
  dist[i] = kernels::const_window_distance(image, mask, ConstWindowReader{}, x,
                                           y, width, height, stride, radius,
                                           candidate_mask_value, i);
}

__global__ void calculate_dmin_DIK_kernel(const uint8_t* __restrict__ image,
                                          const uint8_t* __restrict__ mask,
                                          int x, int y, int width, int height,
                                          int stride, int radius,
                                          float tolerance, int limit,
                                          float* dist) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= width * height) return;
  dist[i] = kernels::general_distance(image, mask, x, y, width, height, stride,
                                      radius, tolerance, limit, i);
}

// The distance kernels over a search domain: one thread per centre of the
// target's box; a centre outside the domain does not qualify. Entries
// outside the box are not written: the box selection never reads them.
__global__ void calculate_dmin_DIK_const_fast_box_kernel(
    const uint8_t* __restrict__ image, const uint8_t* __restrict__ mask, int x,
    int y, int width, int height, int stride, int radius, float* dist,
    int candidate_mask_value, int x0, int y0, int x1, int y1,
    int search_radius, const uint8_t* __restrict__ allowed) {
  const int i =
      kernels::box_item_index(x0, y0, x1, y1, width,
                              blockIdx.x * blockDim.x + threadIdx.x);
  if (i < 0) return;
  const kernels::SearchDomain domain{search_radius, allowed};
  dist[i] = domain.admits(i % width, i / width, x, y, width)
                ? kernels::const_window_distance(image, mask, ConstWindowReader{},
                                                 x, y, width, height, stride,
                                                 radius, candidate_mask_value, i)
                : kernels::kNoCandidate;
}

__global__ void calculate_dmin_DIK_box_kernel(
    const uint8_t* __restrict__ image, const uint8_t* __restrict__ mask, int x,
    int y, int width, int height, int stride, int radius, float tolerance,
    int limit, float* dist, int x0, int y0, int x1, int y1,
    int search_radius, const uint8_t* __restrict__ allowed) {
  const int i =
      kernels::box_item_index(x0, y0, x1, y1, width,
                              blockIdx.x * blockDim.x + threadIdx.x);
  if (i < 0) return;
  const kernels::SearchDomain domain{search_radius, allowed};
  dist[i] = domain.admits(i % width, i / width, x, y, width)
                ? kernels::general_distance(image, mask, x, y, width, height,
                                            stride, radius, tolerance, limit, i)
                : kernels::kNoCandidate;
}

// One block of exactly 512 threads: slot scans over the box, then the tree.
__global__ void find_and_fill_dmin_box_kernel(uint8_t* image, uint8_t* mask,
                                              int x, int y, int width,
                                              int stride, const float* dist,
                                              int x0, int y0, int x1, int y1,
                                              int32_t* sources) {
  __shared__ float r1[kernels::kSelectThreads];
  __shared__ int i1[kernels::kSelectThreads];
  const int t = threadIdx.x;
  kernels::box_slot_scan(dist, width, x0, y0, x1, y1, t,
                         kernels::kNoCandidate, r1, i1);
  block_tree_reduce(r1, i1, t);
  if (t == 0)
    kernels::fill_target(image, mask, x, y, width, stride, r1[0], i1[0],
                         nullptr, sources);
}

// One block of exactly 512 threads: slot scans, then the tree.
__global__ void find_and_fill_dmin_kernel(uint8_t* image, uint8_t* mask, int x,
                                          int y, int width, int height,
                                          int stride, const float* dist,
                                          int* position, int32_t* sources) {
  __shared__ float r1[kernels::kSelectThreads];
  __shared__ int i1[kernels::kSelectThreads];
  const int t = threadIdx.x;
  kernels::slot_scan(dist, width * height, t, kernels::kNoCandidate, r1, i1);
  block_tree_reduce(r1, i1, t);
  if (t == 0)
    kernels::fill_target(image, mask, x, y, width, stride, r1[0], i1[0],
                         position, sources);
}

void inpaint_get_nearest_DIK_gpu(uint8_t* image, uint8_t* mask, int x, int y,
                                 int width, int height, int stride, int radius,
                                 float missing_tolerance, float search_limit,
                                 float* dist, int candidate_mask_value,
                                 const kernels::SearchDomain& domain,
                                 int32_t* sources) {
  const int n = width * height;
  const bool bounded = domain.radius >= 0 || domain.allowed != nullptr;
  // With a search domain only the centres of the target's box are scored
  // and searched; a target whose box is empty has no candidate.
  const kernels::CandidateBox box = kernels::candidate_box(
      x, y, width, height, radius, domain.radius, missing_tolerance == 0.0f);
  if (bounded && box.empty()) return;
  const int items = bounded ? (box.x1 - box.x0) * (box.y1 - box.y0) : n;
  const int blocks = kernels::div_round_up(items, kBlock);
  cudaStream_t stream = get_cuda_stream();
  if (missing_tolerance == 0.0f && radius <= kernels::kMaxConstRadius) {
    const kernels::WindowCopy c =
        kernels::target_window_copy(x, y, width, height, stride, radius);
    void* stage_address = nullptr;
    cuda_check_status(cudaGetSymbolAddress(&stage_address, pixels_stage_gpu),
                      kWhere, __LINE__ - 1, kStamp);
    uint8_t* stage = static_cast<uint8_t*>(stage_address) + c.dst_offset;
    copy_gpu_2D(image + c.src_offset, stage, c.dst_pitch, c.src_pitch,
                c.row_bytes, c.rows);
    // From the first copied byte to the last; what lies between the rows is
    // never read for this target.
    const int span = (c.rows - 1) * c.dst_pitch + c.row_bytes;
    cuda_check_status(
        cudaMemcpyToSymbolAsync(pixels_const_gpu, stage, static_cast<size_t>(span),
                                static_cast<size_t>(c.dst_offset),
                                cudaMemcpyDeviceToDevice, stream),
        kWhere, __LINE__ - 4, kStamp);
    if (bounded)
      launch_kernel(calculate_dmin_DIK_const_fast_box_kernel, blocks, kBlock,
                    stream, image, mask, x, y, width, height, stride, radius,
                    dist, candidate_mask_value, box.x0, box.y0, box.x1, box.y1,
                    domain.radius, domain.allowed);
    else
      launch_kernel(calculate_dmin_DIK_const_fast_kernel, blocks, kBlock, stream,
                    image, mask, x, y, width, height, stride, radius, dist,
                    candidate_mask_value);
  } else {
    // Windows too large for the constant buffer take the general distance
    // with tolerance 0, which scores exactly the same candidates.
    const float tolerance = missing_tolerance;
    const int limit =
        tolerance == 0.0f ? 0 : kernels::float_to_int_rz(search_limit);
    if (bounded)
      launch_kernel(calculate_dmin_DIK_box_kernel, blocks, kBlock, stream,
                    image, mask, x, y, width, height, stride, radius, tolerance,
                    limit, dist, box.x0, box.y0, box.x1, box.y1, domain.radius,
                    domain.allowed);
    else
      launch_kernel(calculate_dmin_DIK_kernel, blocks, kBlock, stream, image,
                    mask, x, y, width, height, stride, radius, tolerance, limit,
                    dist);
  }
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);
  if (bounded)
    launch_kernel(find_and_fill_dmin_box_kernel, 1, kernels::kSelectThreads,
                  stream, image, mask, x, y, width, stride, dist, box.x0,
                  box.y0, box.x1, box.y1, sources);
  else
    launch_kernel(find_and_fill_dmin_kernel, 1, kernels::kSelectThreads, stream,
                  image, mask, x, y, width, height, stride, dist,
                  static_cast<int*>(nullptr), sources);
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);
}

}  // namespace pw::cuda
