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

// Asks the runtime for every device, makes a context on each and checks
// that the build has a kernel image for it. The first answer is kept for the
// life of the process; each call adds the faults seen since.
CudaProbeResult CudaProbe();

std::unique_ptr<FillEngine> CreateCudaExhaustiveEngine(const EngineParams& params);
std::unique_ptr<FillEngine> CreateCudaFastEngine(const EngineParams& params);

}  // namespace pw
