// The CUDA runtime names the backend uses, served by the header-only HIP CPU
// runtime: the emulated device of the test build. Each block runs on a host
// thread and its threads as fibers, so __syncthreads is a real barrier and
// __shared__ memory belongs to one block; the kernels' arithmetic is the
// host's. Only what the backend calls is mapped, each with the CUDA
// signature, so the .cu sources compile unchanged as host C++.
//
// A test may also put the emulated device into the state a real device is
// in after an illegal address or a lost device: every later call reports the
// same error (inject_sticky_fault).
#pragma once

#include <sched.h>

// The runtime's idle loop spins on the pause instruction; on a shared
// machine it should give the core away instead.
#define YieldProcessor() static_cast<void>(sched_yield())
#include <hip/hip_runtime.h>
#undef YieldProcessor

// The runtime asks GCC for SIMD clones of every kernel, which cannot take a
// struct by value and buy nothing when threads run as fibers.
#if defined(__GNUC__) && !defined(__clang__)
#undef __global__
#define __global__ __attribute__((flatten))
#endif

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <tuple>

using cudaError_t = hipError_t;
using cudaStream_t = hipStream_t;
using cudaDeviceProp = hipDeviceProp_t;
using cudaFuncAttributes = hipFuncAttributes;
using cudaMemcpyKind = hipMemcpyKind;

constexpr cudaMemcpyKind cudaMemcpyHostToDevice = hipMemcpyHostToDevice;
constexpr cudaMemcpyKind cudaMemcpyDeviceToHost = hipMemcpyDeviceToHost;
constexpr cudaMemcpyKind cudaMemcpyDeviceToDevice = hipMemcpyDeviceToDevice;

// Status codes by CUDA's numbers (the HIP enumeration lacks some names).
constexpr cudaError_t cuda_status(int code) { return static_cast<cudaError_t>(code); }
constexpr cudaError_t cudaSuccess = cuda_status(0);
constexpr cudaError_t cudaErrorInvalidValue = cuda_status(1);
constexpr cudaError_t cudaErrorMemoryAllocation = cuda_status(2);
constexpr cudaError_t cudaErrorInvalidDeviceFunction = cuda_status(98);
constexpr cudaError_t cudaErrorNoDevice = cuda_status(100);
constexpr cudaError_t cudaErrorInvalidDevice = cuda_status(101);
constexpr cudaError_t cudaErrorNoKernelImageForDevice = cuda_status(209);
constexpr cudaError_t cudaErrorECCUncorrectable = cuda_status(214);
constexpr cudaError_t cudaErrorNvlinkUncorrectable = cuda_status(220);
constexpr cudaError_t cudaErrorIllegalAddress = cuda_status(700);
constexpr cudaError_t cudaErrorLaunchTimeout = cuda_status(702);
constexpr cudaError_t cudaErrorContextIsDestroyed = cuda_status(709);
constexpr cudaError_t cudaErrorAssert = cuda_status(710);
constexpr cudaError_t cudaErrorHardwareStackError = cuda_status(714);
constexpr cudaError_t cudaErrorIllegalInstruction = cuda_status(715);
constexpr cudaError_t cudaErrorMisalignedAddress = cuda_status(716);
constexpr cudaError_t cudaErrorInvalidAddressSpace = cuda_status(717);
constexpr cudaError_t cudaErrorInvalidPc = cuda_status(718);
constexpr cudaError_t cudaErrorLaunchFailure = cuda_status(719);
constexpr cudaError_t cudaErrorUnknown = cuda_status(999);

namespace pw::cuda::emulation {

inline std::atomic<int> sticky_fault{0};

// From now on every runtime call fails with `status`, as on a device whose
// context an illegal address or a lost device has ruined; 0 heals it.
inline void inject_sticky_fault(cudaError_t status) { sticky_fault = status; }

inline bool faulted(cudaError_t* status) {
  const int f = sticky_fault.load();
  if (f != 0) *status = static_cast<cudaError_t>(f);
  return f != 0;
}

// Queues kernel(args...) on the stream as a 1-D grid.
template <class... Params, class... Args>
void launch(void (*kernel)(Params...), int blocks, int threads,
            cudaStream_t stream, Args... args) {
  hip::detail::launch(
      dim3(static_cast<unsigned>(blocks)), dim3(static_cast<unsigned>(threads)),
      0u, stream, [kernel](const auto&... xs) noexcept { kernel(xs...); },
      std::make_tuple(static_cast<Params>(args)...));
}

}  // namespace pw::cuda::emulation

inline const char* cudaGetErrorString(cudaError_t status) {
  switch (static_cast<int>(status)) {
    case 700: return "an illegal memory access was encountered";
    case 719: return "unspecified launch failure";
    case 209: return "no kernel image is available for execution on the device";
    default: return hipGetErrorString(status);
  }
}

inline cudaError_t cudaGetLastError() {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return hipGetLastError();
}

inline cudaError_t cudaPeekAtLastError() {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return hipPeekAtLastError();
}

inline cudaError_t cudaGetDeviceCount(int* count) { return hipGetDeviceCount(count); }
inline cudaError_t cudaGetDevice(int* device) { return hipGetDevice(device); }
inline cudaError_t cudaSetDevice(int device) { return hipSetDevice(device); }

inline cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  const cudaError_t status = hipGetDeviceProperties(prop, device);
  if (status == cudaSuccess) {
    const std::string name = std::string("emulated on ") + prop->name;
    const size_t n = std::min(name.size(), sizeof prop->name - 1);
    std::memcpy(prop->name, name.data(), n);
    prop->name[n] = '\0';
  }
  return status;
}

template <class F>
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, F* kernel) {
  return hipFuncGetAttributes(attributes, kernel);
}

inline cudaError_t cudaMalloc(void** ptr, size_t bytes) {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  const cudaError_t status = hipMalloc(ptr, bytes);
  // The runtime reports success when malloc gave null.
  if (status == cudaSuccess && *ptr == nullptr && bytes > 0)
    return cudaErrorMemoryAllocation;
  return status;
}

inline cudaError_t cudaMallocHost(void** ptr, size_t bytes) {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return hipHostMalloc(ptr, bytes);
}

inline cudaError_t cudaFreeHost(void* ptr) { return hipHostFree(ptr); }

inline cudaError_t cudaFree(void* ptr) {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return hipFree(ptr);
}

inline cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes,
                                   cudaMemcpyKind kind, cudaStream_t stream) {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return hipMemcpyAsync(dst, src, bytes, kind, stream);
}

// Symbols are ordinary host variables here: copies go through their address.
template <class T>
cudaError_t cudaMemcpyToSymbolAsync(const T& symbol, const void* src,
                                    size_t bytes, size_t offset,
                                    cudaMemcpyKind kind, cudaStream_t stream) {
  if (offset + bytes > sizeof(T)) return cudaErrorInvalidValue;
  auto* dst = reinterpret_cast<unsigned char*>(const_cast<T*>(&symbol)) + offset;
  return cudaMemcpyAsync(dst, src, bytes, kind, stream);
}

template <class T>
cudaError_t cudaMemcpyFromSymbolAsync(void* dst, const T& symbol, size_t bytes,
                                      size_t offset, cudaMemcpyKind kind,
                                      cudaStream_t stream) {
  if (offset + bytes > sizeof(T)) return cudaErrorInvalidValue;
  const auto* src = reinterpret_cast<const unsigned char*>(&symbol) + offset;
  return cudaMemcpyAsync(dst, src, bytes, kind, stream);
}

template <class T>
cudaError_t cudaGetSymbolAddress(void** address, const T& symbol) {
  *address = const_cast<T*>(&symbol);
  return cudaSuccess;
}

inline cudaError_t cudaStreamCreate(cudaStream_t* stream) {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return hipStreamCreate(stream);
}

inline cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned flags) {
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return hipStreamCreateWithFlags(stream, static_cast<hipStreamFlags>(flags));
}

inline cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  const cudaError_t status = hipStreamSynchronize(stream);
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return status;
}

inline cudaError_t cudaDeviceSynchronize() {
  const cudaError_t status = hipDeviceSynchronize();
  cudaError_t f;
  if (pw::cuda::emulation::faulted(&f)) return f;
  return status;
}
