// The device-side 2D byte copy (one thread per byte), and the question
// whether the build has code for the current device.
#include "fill/cuda/cuda_common.h"
#include "fill/kernels/exhaustive.h"
#include "fill/kernels/numeric.h"

namespace pw::cuda {

namespace {
constexpr const char* kStamp = PW_BUILD_STAMP;
}

__global__ void simple_copy_kernel_2D(uint8_t* dst, int dst_pitch,
                                      const uint8_t* src, int total,
                                      int src_pitch, int row_bytes) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  kernels::copy_2d_byte(dst, dst_pitch, src, total, src_pitch, row_bytes, i);
}

void copy_gpu_2D(const uint8_t* src, uint8_t* dst, int dst_pitch,
                 int src_pitch, int row_bytes, int rows) {
  const int total = row_bytes * rows;
  launch_kernel(simple_copy_kernel_2D, kernels::div_round_up(total, kBlock),
                kBlock, get_cuda_stream(), dst, dst_pitch, src, total,
                src_pitch, row_bytes);
  cuda_check_status(cudaPeekAtLastError(),
                    "src/fill/cuda/cuda_copy : copy_gpu_2D", __LINE__ - 3,
                    kStamp);
}

int kernel_image_status() {
  cudaFuncAttributes attributes{};
  const cudaError_t status =
      cudaFuncGetAttributes(&attributes, simple_copy_kernel_2D);
  if (status != cudaSuccess && !cuda_status_is_sticky(status))
    cudaGetLastError();  // the answer, not a pending fault
  return static_cast<int>(status);
}

}  // namespace pw::cuda
