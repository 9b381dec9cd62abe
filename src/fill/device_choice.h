// Which device a run goes to. The public part first: what "auto", "cuda"
// and "cuda:N" resolve to and what device_info shows (QueryBackends and
// ResolveDevice, made in fill/backend.cpp, which asks the CUDA probe).
// Then the rules behind it. The CUDA probe gathers facts about every device
// once per process, first those that need no context (name, compute
// capability); the rules say which devices must also be checked for a
// kernel image, which makes a context, and turn the facts into statuses and
// choices. Plain C++: the rules are tested with made-up devices on machines
// without any.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fill/engine.h"

namespace pw {

// The requested backend cannot run here (no CUDA device, say).
class BackendUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One CUDA device as the probe found it.
struct CudaDeviceStatus {
  int index = 0;
  bool usable = false;
  bool lost = false;        // was usable, until a fault ruined its context
  std::string name;
  std::string capability;   // compute capability "X.Y"
  std::string description;  // "NAME (compute capability X.Y)"
  std::string reason;       // why not usable
  bool pending = false;     // not checked (no context made): not chosen, not refused
};

// What "auto" resolves to, and why CUDA is or is not usable.
struct BackendStatus {
  bool cuda_usable = false;  // some device can run now
  std::string cuda_reason;   // why none can, when none
  std::string cuda_absence;  // the same in a few words ("no NVIDIA driver")
  std::string description;   // one line: what "auto" uses, then the devices
  std::vector<CudaDeviceStatus> cuda_devices;  // every device reported
  int cuda_auto_device = -1;  // the device "auto" uses, -1 for the CPU
};

// Checks the devices a choice needs first: for cuda_device -1 those up to
// the first usable one ("auto", "cuda"), else device cuda_device alone.
BackendStatus QueryBackends(int cuda_device = -1);

// What "auto" uses and, on the CPU, why: "CPU: 2 threads (no CUDA
// device)", or the CUDA device's description.
std::string BackendSummary();

// Where a run goes: the CPU, or CUDA device `cuda_device`.
struct DeviceChoice {
  Backend backend = Backend::Cpu;
  int cuda_device = -1;
  bool fell_back_after_fault = false;  // "auto" avoided a ruined device
  std::string fault;                   // which one and why, for the warning
};

// Auto -> the first usable CUDA device, else the CPU (with a one-time
// warning on standard error when a device was lost to a fault). Cuda with
// cuda_device -1 -> the first usable device; with N -> device N. Throws
// BackendUnavailable with the reason when the requested device cannot run.
DeviceChoice ResolveDevice(Backend requested, int cuda_device = -1);
Backend ResolveBackend(Backend requested, int cuda_device = -1);

// ---- the rules -------------------------------------------------------------

// What the runtime said about one device.
struct CudaDeviceFacts {
  int index = 0;
  std::string name;
  int major = 0;
  int minor = 0;
  std::string context_error;  // why no context could be made ("" = made)
  int image_status = 0;       // status of the kernel-attribute query
  std::string image_error;    // its text when not 0
  std::string lost_error;     // the fault that ruined its context, if any
  // Not checked yet: no context was made on it, so whether the build has a
  // kernel image it can run is not known (image_status says nothing).
  bool pending = false;
};

// Whether a build for `cmake_architectures` ("75-real 80-real 120") surely
// has no code a device of compute capability major.minor can run: no real
// code of the same major version at or below it, no PTX at or below it.
// False when in doubt (an empty list, "native", "all").
bool LacksKernelImage(const std::string& cmake_architectures, int major, int minor);

// Checks the devices that the choice of `wanted` needs, calling `check` (it
// makes a context on the device and asks for a kernel's attributes, filling
// context_error or image_status) on as few as it can: on device `wanted`
// when it is 0 or more, otherwise on the devices in order until one is
// usable. Devices checked before, or ruled out without a context, are left
// as they are.
void CheckDevices(std::vector<CudaDeviceFacts>& devices, int wanted,
                  const std::function<void(CudaDeviceFacts&)>& check);

// Judges one device. `built_for` lists the compute capabilities the build
// carries kernels for ("7.5, 8.0, ..."), for the message.
CudaDeviceStatus JudgeCudaDevice(const CudaDeviceFacts& facts,
                                 const std::string& built_for);

// CMake's CUDA architectures ("75-real 80-real 120") as compute
// capabilities ("7.5, 8.0, 12.0").
std::string ComputeCapabilityList(const std::string& cmake_architectures);

// The devices' statuses with the one-line description device_info shows.
// `runtime_error` says why the runtime reports no device at all.
BackendStatus SummariseDevices(const std::vector<CudaDeviceStatus>& devices,
                               const std::string& runtime_error,
                               const std::string& cpu_description);

// The device of a run requested as `requested` with `cuda_device` (-1: any
// usable one); see ResolveDevice.
DeviceChoice ChooseDevice(const BackendStatus& status, Backend requested,
                          int cuda_device);

}  // namespace pw
