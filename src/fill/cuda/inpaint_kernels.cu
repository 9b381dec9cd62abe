// Kernels of the exhaustive method. Each thread runs the shared per-item
// logic of fill/kernels; this file only adds the launches, the constant
// window buffer with its staging area, and the block reduction.
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

// One block of exactly 512 threads: slot scans, then the tree.
__global__ void find_and_fill_dmin_kernel(uint8_t* image, uint8_t* mask, int x,
                                          int y, int width, int height,
                                          int stride, const float* dist,
                                          int* position) {
  __shared__ float r1[kernels::kSelectThreads];
  __shared__ int i1[kernels::kSelectThreads];
  const int t = threadIdx.x;
  kernels::slot_scan(dist, width * height, t, kernels::kNoCandidate, r1, i1);
  __syncthreads();
  for (int s = kernels::kSelectThreads / 2; s > 0; s /= 2) {
    kernels::tree_step(r1, i1, t, s);
    __syncthreads();
  }
  if (t == 0)
    kernels::fill_target(image, mask, x, y, width, stride, r1[0], i1[0],
                         position);
}

void inpaint_get_nearest_DIK_gpu(uint8_t* image, uint8_t* mask, int x, int y,
                                 int width, int height, int stride, int radius,
                                 float missing_tolerance, float search_limit,
                                 float* dist, int candidate_mask_value) {
  const int n = width * height;
  const int blocks = kernels::div_round_up(n, kBlock);
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
    launch_kernel(calculate_dmin_DIK_const_fast_kernel, blocks, kBlock, stream,
                  image, mask, x, y, width, height, stride, radius, dist,
                  candidate_mask_value);
  } else if (missing_tolerance == 0.0f) {
    // Windows too large for the constant buffer: the general distance with
    // tolerance 0 scores exactly the same candidates.
    launch_kernel(calculate_dmin_DIK_kernel, blocks, kBlock, stream, image,
                  mask, x, y, width, height, stride, radius, 0.0f, 0, dist);
  } else {
    launch_kernel(calculate_dmin_DIK_kernel, blocks, kBlock, stream, image,
                  mask, x, y, width, height, stride, radius, missing_tolerance,
                  kernels::float_to_int_rz(search_limit), dist);
  }
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);
  launch_kernel(find_and_fill_dmin_kernel, 1, kernels::kSelectThreads, stream,
                image, mask, x, y, width, height, stride, dist,
                static_cast<int*>(nullptr));
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__ - 3, kStamp);
}

}  // namespace pw::cuda
