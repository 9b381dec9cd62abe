// The CUDA fill engine of the exhaustive method, and device detection.
#include <cstdio>
#include <mutex>
#include <string>

#include "fill/cuda/cuda_backend.h"
#include "fill/cuda/cuda_common.h"
#include "fill/cuda/inpaint_kernels.cuh"

namespace pw {

namespace {

class CudaExhaustiveEngine final : public FillEngine {
 public:
  explicit CudaExhaustiveEngine(const EngineParams& params) : p_(params) {}
  ~CudaExhaustiveEngine() override { Release(); }

  void Start(const uint8_t* image, const uint8_t* mask) override {
    const int image_bytes = p_.stride * p_.height;
    const int pixels = p_.width * p_.height;
    dev_image_ = cuda::cuda_push_array_bytes(image, image_bytes);
    if (dev_image_ == nullptr) Fail(image_bytes);
    dev_mask_ = cuda::cuda_push_array_bytes(mask, pixels);
    if (dev_mask_ == nullptr) Fail(pixels);
    dev_dist_ = cuda::cuda_alloc_floats(static_cast<uint32_t>(pixels));
    if (dev_dist_ == nullptr) Fail(uint64_t{4} * static_cast<uint32_t>(pixels));
  }

  void FillPixel(int32_t x, int32_t y) override {
    cuda::inpaint_get_nearest_DIK_gpu(dev_image_, dev_mask_, x, y, p_.width,
                                      p_.height, p_.stride, p_.radius,
                                      p_.missing_tolerance, p_.search_limit,
                                      dev_dist_, p_.candidate_mask_value);
    cudaDeviceSynchronize();  // errors surface at the next check
  }

  void PullImage(uint8_t* image) override {
    if (dev_image_ != nullptr)
      cuda::cuda_pull_array_bytes(image, dev_image_, p_.stride * p_.height);
  }

  void PullMask(uint8_t* mask) override {
    if (dev_mask_ != nullptr)
      cuda::cuda_pull_array_bytes(mask, dev_mask_, p_.width * p_.height);
  }

  void Release() noexcept override {
    const int64_t pixels = int64_t{p_.width} * p_.height;
    cuda::cuda_free_counted(dev_image_, int64_t{p_.stride} * p_.height);
    cuda::cuda_free_counted(dev_mask_, pixels);
    cuda::cuda_free_counted(dev_dist_, 4 * pixels);
    dev_image_ = nullptr;
    dev_mask_ = nullptr;
    dev_dist_ = nullptr;
  }

 private:
  [[noreturn]] void Fail(uint64_t bytes) {
    Release();
    throw DeviceMemoryError("CUDA: cannot allocate " + std::to_string(bytes) +
                                " bytes of device memory",
                            bytes);
  }

  EngineParams p_;
  uint8_t* dev_image_ = nullptr;
  uint8_t* dev_mask_ = nullptr;
  float* dev_dist_ = nullptr;
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
