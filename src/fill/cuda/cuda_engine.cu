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
    StartLoop(mask, nullptr, nullptr);
  }

  void FillPixel(int32_t x, int32_t y) override {
    if (looping_) {
      loop_.Single(y * p_.width + x);
      return;
    }
    cuda::inpaint_get_nearest_DIK_gpu(dev_image_, dev_mask_, x, y, p_.width,
                                      p_.height, p_.stride, p_.radius,
                                      p_.missing_tolerance, p_.search_limit,
                                      dev_dist_, p_.candidate_mask_value,
                                      Domain());
    cudaDeviceSynchronize();  // errors surface at the next check
  }

  void Release() noexcept override { ReleaseCommon(); }
};

#ifndef PW_CUDA_ARCHITECTURES
#define PW_CUDA_ARCHITECTURES ""
#endif

std::string ErrorText(cudaError_t status) { return cudaGetErrorString(status); }

// Facts about device i, made current on this thread for the questions that
// need a context.
CudaDeviceFacts DeviceFacts(int i) {
  CudaDeviceFacts facts;
  facts.index = i;
  cudaDeviceProp prop{};
  cudaError_t status = cudaGetDeviceProperties(&prop, i);
  if (status != cudaSuccess) {
    facts.name = "device " + std::to_string(i);
    facts.context_error = ErrorText(status);
    cudaGetLastError();
    return facts;
  }
  facts.name = prop.name;
  facts.major = prop.major;
  facts.minor = prop.minor;
  if (i >= cuda::kMaxDevices) {
    facts.context_error = "device numbers above " +
                          std::to_string(cuda::kMaxDevices - 1) +
                          " are not supported";
    return facts;
  }
  status = cudaSetDevice(i);
  if (status == cudaSuccess) status = cudaFree(nullptr);  // makes the context
  if (status != cudaSuccess) {
    facts.context_error = ErrorText(status);
    cudaGetLastError();
    return facts;
  }
  facts.image_status = cuda::kernel_image_status();
  if (facts.image_status != 0)
    facts.image_error = ErrorText(static_cast<cudaError_t>(facts.image_status));
  return facts;
}

CudaProbeResult ProbeOnce() {
  CudaProbeResult result;
  result.built_for = ComputeCapabilityList(PW_CUDA_ARCHITECTURES);
  int count = 0;
  const cudaError_t status = cudaGetDeviceCount(&count);
  if (status != cudaSuccess) {
    result.runtime_error = ErrorText(status);
    cudaGetLastError();
    return result;
  }
  int current = 0;
  cudaGetDevice(&current);
  for (int i = 0; i < count; ++i) result.devices.push_back(DeviceFacts(i));
  cudaSetDevice(current);
  return result;
}

}  // namespace

CudaProbeResult CudaProbe() {
  static std::once_flag once;
  static CudaProbeResult first;
  std::call_once(once, [] { first = ProbeOnce(); });
  CudaProbeResult result = first;
  for (CudaDeviceFacts& facts : result.devices)
    facts.lost_error = cuda::cuda_device_fault(facts.index);
  return result;
}

std::unique_ptr<FillEngine> CreateCudaExhaustiveEngine(const EngineParams& params) {
  return std::make_unique<CudaExhaustiveEngine>(params);
}

}  // namespace pw
