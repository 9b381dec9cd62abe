// Backend choice: CUDA where a device is usable, the CPU otherwise.
#include <dlfcn.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "fill/cpu/cpu_exhaustive.h"
#include "fill/cpu/cpu_fast.h"
#include "fill/cpu/thread_count.h"
#include "fill/device_choice.h"
#include "fill/engine.h"
#include "platform/console.h"

#if PATCHWELL_WITH_CUDA
#include "fill/cuda/cuda_backend.h"
#endif

namespace pw {

static std::string CpuDescription() {
  const int n = CpuThreadCount();
  std::string text = "CPU: " + std::to_string(n) + (n == 1 ? " thread" : " threads");
  const UsableCpus usable = QueryUsableCpus();
  if (!usable.limit.empty())
    text += " (" + std::to_string(usable.count) + " of " + std::to_string(usable.cores) +
            " cores usable: " + usable.limit + ")";
  return text;
}

#if PATCHWELL_WITH_CUDA
// The CUDA runtime reports a missing driver as a driver "insufficient for
// the runtime version"; whether the driver library is there at all tells
// the two apart.
static bool NvidiaDriverPresent() {
  void* driver = dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (driver == nullptr) return false;
  dlclose(driver);
  return true;
}
#endif

BackendStatus QueryBackends(int cuda_device) {
#if PATCHWELL_WITH_CUDA
  const CudaProbeResult probe = CudaProbe(cuda_device);
  std::vector<CudaDeviceStatus> devices;
  for (const CudaDeviceFacts& facts : probe.devices)
    devices.push_back(JudgeCudaDevice(facts, probe.built_for));
  const bool driver = !devices.empty() || NvidiaDriverPresent();
  BackendStatus status = SummariseDevices(
      devices,
      driver ? probe.runtime_error
             : "no NVIDIA driver (libcuda.so.1 cannot be loaded)",
      CpuDescription());
  if (!status.cuda_usable)
    status.cuda_absence = !driver           ? "no NVIDIA driver"
                          : devices.empty() ? "no CUDA device"
                                            : "no usable CUDA device";
  return status;
#else
  static_cast<void>(cuda_device);
  BackendStatus status;
  status.cuda_reason = "this build of patchwell has no CUDA backend";
  status.cuda_absence = "built without CUDA";
  status.description = CpuDescription();
  return status;
#endif
}

std::string BackendSummary() {
  const BackendStatus status = QueryBackends();
  return status.cuda_usable
             ? status.description
             : status.description + " (" + status.cuda_absence + ")";
}

DeviceChoice ResolveDevice(Backend requested, int cuda_device) {
  if (requested == Backend::Cpu) return DeviceChoice{};
  const DeviceChoice choice = ChooseDevice(
      QueryBackends(requested == Backend::Cuda ? cuda_device : -1), requested,
      cuda_device);
  if (choice.fell_back_after_fault) {
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true))
      ConsoleFprintf(stderr,
                     "patchwell: warning: %s; running on the CPU instead\n",
                     choice.fault.c_str());
  }
  return choice;
}

Backend ResolveBackend(Backend requested, int cuda_device) {
  return ResolveDevice(requested, cuda_device).backend;
}

std::unique_ptr<FillEngine> CreateFillEngine(Backend backend,
                                             const EngineParams& params) {
  EngineParams p = params;
  if (backend == Backend::Auto) {
    const DeviceChoice choice = ResolveDevice(Backend::Auto);
    backend = choice.backend;
    if (p.cuda_device < 0) p.cuda_device = choice.cuda_device;
  }
  switch (p.method) {
    case kMethodCpu:
      return std::make_unique<CpuExhaustiveEngine>(p, CpuThreadCount());
    case kMethodGpu:
#if PATCHWELL_WITH_CUDA
      if (backend == Backend::Cuda) return CreateCudaExhaustiveEngine(p);
#endif
      return std::make_unique<CpuExhaustiveEngine>(p, CpuThreadCount());
    case kMethodGpuFast:
#if PATCHWELL_WITH_CUDA
      if (backend == Backend::Cuda) return CreateCudaFastEngine(p);
#endif
      return std::make_unique<CpuFastEngine>(p, CpuThreadCount());
    default:
      throw std::invalid_argument("unknown inpaint method " +
                                  std::to_string(p.method));
  }
}

}  // namespace pw
