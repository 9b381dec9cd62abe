// What the CUDA backend offers the rest of the library. Plain C++: no CUDA
// header is needed to include it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fill/device_choice.h"
#include "fill/engine.h"

namespace pw {

struct CudaProbeResult {
  std::vector<CudaDeviceFacts> devices;  // every device the runtime reports
  std::string runtime_error;  // why the runtime reports none, if it failed
  std::string built_for;      // compute capabilities of the build's kernels
};

// Asks the runtime for every device's name and compute capability, which
// needs no context, and rules out those the build surely has no code for.
// Then it makes a context and checks for a kernel image only where a choice
// needs it (see CheckDevices): on device `wanted`, or for -1 on the devices
// in order up to the first usable one. What was learnt is kept for the life
// of the process; each call adds the faults seen since.
CudaProbeResult CudaProbe(int wanted = -1);

std::unique_ptr<FillEngine> CreateCudaExhaustiveEngine(const EngineParams& params);
std::unique_ptr<FillEngine> CreateCudaFastEngine(const EngineParams& params);

}  // namespace pw
