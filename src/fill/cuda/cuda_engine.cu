// The CUDA fill engine of the exhaustive method, and device detection.
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

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
                                      Domain(), dev_sources_);
    cudaDeviceSynchronize();  // errors surface at the next check
  }

  void Release() noexcept override { ReleaseCommon(); }
};

#ifndef PW_CUDA_ARCHITECTURES
#define PW_CUDA_ARCHITECTURES ""
#endif

std::string ErrorText(cudaError_t status) { return cudaGetErrorString(status); }

// Facts about device i that need no context: the runtime answers property
// queries without one.
CudaDeviceFacts FactsWithoutContext(int i) {
  CudaDeviceFacts facts;
  facts.index = i;
  cudaDeviceProp prop{};
  const cudaError_t status = cudaGetDeviceProperties(&prop, i);
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
  } else if (LacksKernelImage(PW_CUDA_ARCHITECTURES, facts.major, facts.minor)) {
    facts.image_status = cudaErrorNoKernelImageForDevice;
    facts.image_error = ErrorText(cudaErrorNoKernelImageForDevice);
  } else {
    facts.pending = true;
  }
  return facts;
}

// Makes a context on the device of `facts`, current on the calling thread,
// and asks whether the build has a kernel image it can run.
void CheckOnThisThread(CudaDeviceFacts& facts) {
  cudaError_t status = cudaSetDevice(facts.index);
  if (status == cudaSuccess) status = cudaFree(nullptr);  // makes the context
  if (status != cudaSuccess) {
    facts.context_error = ErrorText(status);
    cudaGetLastError();
    return;
  }
  facts.image_status = cuda::kernel_image_status();
  if (facts.image_status != 0)
    facts.image_error = ErrorText(static_cast<cudaError_t>(facts.image_status));
}

// The check runs on a thread of its own, so that the caller's current
// device stays as it was: making it current again afterwards would make a
// context on it too. Where no thread can be started, it runs here and the
// caller's device is made current again.
void CheckKernelImage(CudaDeviceFacts& facts) {
  try {
    std::thread worker([&facts] { CheckOnThisThread(facts); });
    worker.join();
  } catch (const std::system_error&) {
    int current = 0;
    cudaGetDevice(&current);
    CheckOnThisThread(facts);
    cudaSetDevice(current);
  }
}

}  // namespace

CudaProbeResult CudaProbe(int wanted) {
  static std::mutex lock;
  static bool counted = false;
  static CudaProbeResult known;
  std::lock_guard<std::mutex> guard(lock);
  if (!counted) {
    known.built_for = ComputeCapabilityList(PW_CUDA_ARCHITECTURES);
    int count = 0;
    const cudaError_t status = cudaGetDeviceCount(&count);
    if (status != cudaSuccess) {
      known.runtime_error = ErrorText(status);
      cudaGetLastError();
      count = 0;
    }
    for (int i = 0; i < count; ++i) known.devices.push_back(FactsWithoutContext(i));
    counted = true;
  }
  for (CudaDeviceFacts& facts : known.devices)
    facts.lost_error = cuda::cuda_device_fault(facts.index);
  CheckDevices(known.devices, wanted, CheckKernelImage);
  return known;
}

std::unique_ptr<FillEngine> CreateCudaExhaustiveEngine(const EngineParams& params) {
  return std::make_unique<CudaExhaustiveEngine>(params);
}

}  // namespace pw
