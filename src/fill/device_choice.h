// The rules that pick a run's device. The CUDA probe gathers facts about
// every device once per process; the rules here turn them into what
// device_info shows and what "auto", "cuda" and "cuda:N" resolve to. Plain
// C++: the rules are tested with made-up devices on machines without any.
#pragma once

#include <string>
#include <vector>

#include "fill/engine.h"

namespace pw {

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
};

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
