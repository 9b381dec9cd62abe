#include "fill/cuda/cuda_common.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "fill/engine.h"
#include "platform/console.h"

// Read by NVIDIA's driver on hybrid-graphics machines: run this module's
// CUDA work on the discrete GPU.
extern "C" {
__attribute__((visibility("default"))) int NvOptimusEnablementCuda = 1;
}

namespace pw::cuda {

int64_t cuda_allocated_bytes = 0;

namespace {

constexpr const char* kStamp = PW_BUILD_STAMP;

struct StreamSlot {
  cudaStream_t stream;
  int32_t created;
};
StreamSlot g_streams[kMaxDevices] = {};

// The fault that ruined each device's context ("" while none has).
std::mutex g_fault_lock;
std::string g_device_faults[kMaxDevices];

[[noreturn]] void Fail(const char* report_format, const char* message_format,
                       int status) {
  const char* text = cudaGetErrorString(static_cast<cudaError_t>(status));
  if (cuda_status_is_sticky(status)) {
    int device = -1;
    if (cudaGetDevice(&device) == cudaSuccess)
      cuda_record_device_fault(device, status);
  }
  ConsolePrintf(report_format, text);
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, message_format, text);
  throw DeviceError(buffer);
}

// A failed allocation is reported as such, unless the device itself has
// failed: then the fault is raised like any other.
void CheckAllocationStatus(cudaError_t status) {
  if (cuda_status_is_sticky(status)) cuda_abort_on_error(status);
  cudaGetLastError();  // an allocation failure is not a pending fault
}

// Counts the request, then allocates; a failure prints the short message on
// standard error and gives null.
void* AllocateCounted(int64_t bytes) {
  cuda_allocated_bytes += bytes;
  void* ptr = nullptr;
  const cudaError_t status =
      bytes < 0 ? cudaErrorMemoryAllocation
                : cudaMalloc(&ptr, static_cast<size_t>(bytes));
  if (status != cudaSuccess) {
    CheckAllocationStatus(status);
    ConsoleFprintf(stderr, "CUDA: Error allocationg memory!\n");
    ptr = nullptr;
  }
  return ptr;
}

}  // namespace

bool cuda_status_is_sticky(int status) {
  switch (status) {
    case cudaErrorECCUncorrectable:
    case cudaErrorNvlinkUncorrectable:
    case cudaErrorIllegalAddress:
    case cudaErrorLaunchTimeout:
    case cudaErrorContextIsDestroyed:
    case cudaErrorAssert:
    case cudaErrorHardwareStackError:
    case cudaErrorIllegalInstruction:
    case cudaErrorMisalignedAddress:
    case cudaErrorInvalidAddressSpace:
    case cudaErrorInvalidPc:
    case cudaErrorLaunchFailure:
    case cudaErrorUnknown:  // what a device that fell off the bus gives, too
      return true;
    default:
      return false;
  }
}

std::string cuda_device_fault(int device) {
  if (device < 0 || device >= kMaxDevices) return std::string();
  std::lock_guard<std::mutex> guard(g_fault_lock);
  return g_device_faults[device];
}

void cuda_record_device_fault(int device, int status) {
  if (device < 0 || device >= kMaxDevices) return;
  std::lock_guard<std::mutex> guard(g_fault_lock);
  if (g_device_faults[device].empty())
    g_device_faults[device] =
        cudaGetErrorString(static_cast<cudaError_t>(status));
}

void cuda_abort_on_error(int status) {
  const cudaError_t pending = cudaGetLastError();
  if (status != 0) Fail("\n CUDA Error: %s\n", "CUDA Error: %s", status);
  if (pending != cudaSuccess)
    Fail("\n CUDA Error Prev: %s\n", "CUDA Error Prev: %s", pending);
}

void cuda_check_status(int status, const char* location, int line,
                       const char* stamp) {
  if (status != 0)
    ConsolePrintf("CUDA status Error: file: %s() : line: %d : build time: %s \n",
                  location, line, stamp);
  cuda_abort_on_error(status);
}

int cuda_get_device() {
  int device = 0;
  const cudaError_t status = cudaGetDevice(&device);
  cuda_check_status(status, "src/fill/cuda/cuda_common : cuda_get_device",
                    __LINE__ - 1, kStamp);
  return device;
}

cudaStream_t get_cuda_stream() {
  const int device = cuda_get_device();
  if (device < 0 || device >= kMaxDevices)
    throw DeviceError("CUDA Error: device number " + std::to_string(device) +
                      " is outside the stream table");
  StreamSlot& slot = g_streams[device];
  if (!slot.created) {
    cudaError_t status = cudaStreamCreate(&slot.stream);
    if (status != cudaSuccess) {
      ConsolePrintf(" cudaStreamCreate error: %d \n", static_cast<int>(status));
      ConsolePrintf("CUDA Error: %s\n", cudaGetErrorString(status));
      status = cudaStreamCreateWithFlags(&slot.stream, 0);
      cuda_check_status(status, "src/fill/cuda/cuda_common : get_cuda_stream",
                        __LINE__ - 1, kStamp);
    }
    slot.created = 1;
  }
  return slot.stream;
}

float* cuda_alloc_floats(uint32_t count) {
  const uint64_t bytes = static_cast<uint64_t>(count) * 4u;
  cuda_allocated_bytes += static_cast<int64_t>(bytes);
  float* ptr = nullptr;
  const cudaError_t status = cudaMalloc(reinterpret_cast<void**>(&ptr), bytes);
  if (status != cudaSuccess) {
    CheckAllocationStatus(status);
    ConsolePrintf(
        "CUDA: Error allocationg memory (%lld bytes, totally allocated: %0.2lf[MB])!\n",
        static_cast<long long>(bytes),
        static_cast<double>(static_cast<float>(
            static_cast<double>(cuda_allocated_bytes) * (1.0 / 1048576.0))));
    ptr = nullptr;
  }
  return ptr;
}

int* cuda_alloc_ints(int count) {
  return static_cast<int*>(AllocateCounted(int64_t{count} * 4));
}

uint8_t* cuda_push_array_bytes(const void* host, int bytes) {
  auto* ptr = static_cast<uint8_t*>(AllocateCounted(bytes));
  if (ptr == nullptr) return nullptr;
  const cudaError_t status =
      cudaMemcpyAsync(ptr, host, static_cast<size_t>(bytes),
                      cudaMemcpyHostToDevice, get_cuda_stream());
  cuda_check_status(status, "src/fill/cuda/cuda_common : cuda_push_array_bytes",
                    __LINE__ - 1, kStamp);
  return ptr;
}

void cuda_pull_array_bytes(void* host, const void* device, int bytes) {
  cudaStream_t stream = get_cuda_stream();
  const cudaError_t status = cudaMemcpyAsync(
      host, device, static_cast<size_t>(bytes), cudaMemcpyDeviceToHost, stream);
  cuda_check_status(status, "src/fill/cuda/cuda_common : cuda_pull_array_bytes",
                    __LINE__ - 1, kStamp);
  cudaStreamSynchronize(stream);
}

void* cuda_alloc_pinned(size_t bytes) {
  void* host = nullptr;
  if (cudaMallocHost(&host, bytes) != cudaSuccess) {
    cudaGetLastError();  // a refusal is no pending fault
    return nullptr;
  }
  return host;
}

void cuda_free_pinned(void* host) {
  if (host != nullptr) cudaFreeHost(host);
}

void cuda_free_counted(void* device, int64_t bytes) {
  if (device == nullptr) return;
  cuda_allocated_bytes -= bytes;
  cudaFree(device);
}

}  // namespace pw::cuda
