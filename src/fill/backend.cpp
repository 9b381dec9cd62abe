// Backend choice: CUDA where a device is usable, the CPU otherwise.
#include <stdexcept>
#include <string>

#include "fill/cpu/cpu_exhaustive.h"
#include "fill/cpu/cpu_fast.h"
#include "fill/engine.h"

#if PATCHWELL_WITH_CUDA
#include "fill/cuda/cuda_backend.h"
#endif

namespace pw {

static std::string CpuDescription() {
  const int n = CpuThreadCount();
  return "CPU: " + std::to_string(n) + (n == 1 ? " thread" : " threads");
}

BackendStatus QueryBackends() {
  BackendStatus status;
#if PATCHWELL_WITH_CUDA
  const CudaProbeResult probe = CudaProbe();
  status.cuda_usable = probe.usable;
  status.cuda_reason = probe.reason;
  status.description = probe.usable ? probe.description : CpuDescription();
#else
  status.cuda_usable = false;
  status.cuda_reason = "this build of patchwell has no CUDA backend";
  status.description = CpuDescription();
#endif
  return status;
}

Backend ResolveBackend(Backend requested) {
  if (requested == Backend::Cpu) return Backend::Cpu;
  const BackendStatus status = QueryBackends();
  if (status.cuda_usable) return Backend::Cuda;
  if (requested == Backend::Cuda)
    throw BackendUnavailable("no usable CUDA device: " + status.cuda_reason);
  return Backend::Cpu;
}

std::unique_ptr<FillEngine> CreateFillEngine(Backend backend,
                                             const EngineParams& params) {
  if (backend == Backend::Auto) backend = ResolveBackend(Backend::Auto);
  // The device kernels search the whole image; a bounded domain runs on the
  // CPU backend, with the same result.
  if (params.search_radius >= 0 || params.source_mask != nullptr)
    backend = Backend::Cpu;
  switch (params.method) {
    case kMethodCpu:
      return std::make_unique<CpuExhaustiveEngine>(params, CpuThreadCount());
    case kMethodGpu:
#if PATCHWELL_WITH_CUDA
      if (backend == Backend::Cuda) return CreateCudaExhaustiveEngine(params);
#endif
      return std::make_unique<CpuExhaustiveEngine>(params, CpuThreadCount());
    case kMethodGpuFast:
#if PATCHWELL_WITH_CUDA
      if (backend == Backend::Cuda) return CreateCudaFastEngine(params);
#endif
      return std::make_unique<CpuFastEngine>(params, CpuThreadCount());
    default:
      throw std::invalid_argument("unknown inpaint method " +
                                  std::to_string(params.method));
  }
}

}  // namespace pw
