// GPU runtime support: one stream per device, status checks that turn any
// CUDA error into a DeviceError after printing the report, device
// allocations with a running total, host/device copies, the device-side 2D
// copy and the launch convention (1-D grids of 512-thread blocks).
#pragma once

#include <cstdint>

#include <cuda_runtime.h>

namespace pw::cuda {

constexpr int kBlock = 512;

// Device bytes requested through the allocation routines, less what the
// callers freed; failed requests stay counted.
extern int64_t cuda_allocated_bytes;

int cuda_get_device();
cudaStream_t get_cuda_stream();

// Returns when status is 0 and no earlier asynchronous error is pending.
// Otherwise prints the report and throws DeviceError("CUDA Error: ...").
void cuda_check_status(int status, const char* location, int line,
                       const char* stamp);
void cuda_abort_on_error(int status);

float* cuda_alloc_floats(uint32_t count);
int* cuda_alloc_ints(int count);
uint8_t* cuda_push_array_bytes(const void* host, int bytes);
void cuda_pull_array_bytes(void* host, const void* device, int bytes);
void copy_gpu_2D(const uint8_t* src, uint8_t* dst, int dst_pitch,
                 int src_pitch, int row_bytes, int rows);

// Frees a device block and takes its size off the running total.
void cuda_free_counted(void* device, int64_t bytes);

}  // namespace pw::cuda

// The build stamp of a source file: compile date, " - ", compile time.
#define PW_BUILD_STAMP __DATE__ " - " __TIME__
