// Marks functions that are compiled for both the host and the device.
// The per-candidate kernel logic is written once with this macro and run by
// the CPU backend in plain loops and by the CUDA backend in __global__ wrappers.
#pragma once

#if defined(__CUDACC__)
#define PW_HD __host__ __device__ __forceinline__
#else
#define PW_HD inline
#endif
