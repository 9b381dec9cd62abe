// The CUDA runtime as the backend's sources see it, and the one way they
// launch a kernel. Built by nvcc this is the real runtime and the <<<...>>>
// launch; in the emulated test build (PW_CUDA_EMULATED) the same names are
// served by the HIP CPU runtime, so the same sources compile as host C++ and
// their kernels run on the CPU.
#pragma once

#if defined(PW_CUDA_EMULATED)
#include "fill/cuda/emulation/cuda_on_cpu.h"
#else
#include <cuda_runtime.h>
#endif

#include <cstdint>

namespace pw::cuda {

// Kernel launches the calling thread has queued: a run's engine counts its
// own on the worker thread.
inline thread_local uint64_t launches_queued = 0;

// Queues kernel(args...) on `stream` as a 1-D grid of `blocks` blocks of
// `threads` threads, without dynamic shared memory. Each argument is
// converted to the kernel's parameter type first.
template <class... Params, class... Args>
void launch_kernel(void (*kernel)(Params...), int blocks, int threads,
                   cudaStream_t stream, Args... args) {
  static_assert(sizeof...(Params) == sizeof...(Args),
                "launch_kernel: wrong number of kernel arguments");
  ++launches_queued;
#if defined(PW_CUDA_EMULATED)
  emulation::launch(kernel, blocks, threads, stream, args...);
#else
  kernel<<<blocks, threads, 0, stream>>>(static_cast<Params>(args)...);
#endif
}

}  // namespace pw::cuda
