// The CUDA fill engine of the exhaustive method, and device detection.
#include <cstdio>
#include <mutex>
#include <string>

#include "fill/cuda/cuda_backend.h"
#include "fill/cuda/cuda_common.h"
#include "fill/cuda/cuda_run_buffers.cuh"
#include "fill/cuda/inpaint_kernels.cuh"

namespace pw {

namespace {

class CudaExhaustiveEngine final : public cuda::CudaRunBuffers {
 public:
  explicit CudaExhaustiveEngine(const EngineParams& params)
      : CudaRunBuffers(params) {}
  ~CudaExhaustiveEngine() override { Release(); }

  void Start(const uint8_t* image, const uint8_t* mask) override {
    UploadCommon(image, mask);
  }

  void FillPixel(int32_t x, int32_t y) override {
    cuda::inpaint_get_nearest_DIK_gpu(dev_image_, dev_mask_, x, y, p_.width,
                                      p_.height, p_.stride, p_.radius,
                                      p_.missing_tolerance, p_.search_limit,
                                      dev_dist_, p_.candidate_mask_value);
    cudaDeviceSynchronize();  // errors surface at the next check
  }

  void Release() noexcept override { ReleaseCommon(); }
};

CudaProbeResult ProbeOnce() {
  CudaProbeResult result;
  int count = 0;
  cudaError_t status = cudaGetDeviceCount(&count);
  if (status != cudaSuccess) {
    result.reason = cudaGetErrorString(status);
    cudaGetLastError();
    return result;
  }
  if (count <= 0) {
    result.reason = "the CUDA runtime reports no device";
    return result;
  }
  int device = 0;
  cudaGetDevice(&device);
  status = cudaFree(nullptr);  // makes the context on the current device
  if (status != cudaSuccess) {
    result.reason = std::string("cannot create a context on device ") +
                    std::to_string(device) + ": " + cudaGetErrorString(status);
    cudaGetLastError();
    return result;
  }
  cudaDeviceProp prop{};
  cudaGetDeviceProperties(&prop, device);
  result.usable = true;
  result.description = std::string("CUDA: ") + prop.name +
                       " (compute capability " + std::to_string(prop.major) +
                       "." + std::to_string(prop.minor) + ")";
  return result;
}

}  // namespace

CudaProbeResult CudaProbe() {
  static std::once_flag once;
  static CudaProbeResult result;
  std::call_once(once, [] { result = ProbeOnce(); });
  return result;
}

std::unique_ptr<FillEngine> CreateCudaExhaustiveEngine(const EngineParams& params) {
  return std::make_unique<CudaExhaustiveEngine>(params);
}

}  // namespace pw
