// What the CUDA backend offers the rest of the library. Plain C++: no CUDA
// header is needed to include it.
#pragma once

#include <memory>
#include <string>

#include "fill/engine.h"

namespace pw {

struct CudaProbeResult {
  bool usable = false;
  std::string reason;       // why not usable
  std::string description;  // "CUDA: <name> (compute capability X.Y)"
};

// Asks the runtime for a device and makes a context on the current one.
// The first answer is kept for the life of the process.
CudaProbeResult CudaProbe();

std::unique_ptr<FillEngine> CreateCudaExhaustiveEngine(const EngineParams& params);
std::unique_ptr<FillEngine> CreateCudaFastEngine(const EngineParams& params);

}  // namespace pw
