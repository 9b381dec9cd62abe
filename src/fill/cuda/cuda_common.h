// GPU runtime support: one stream per device, status checks that turn any
// CUDA error into a DeviceError after printing the report, the record of
// devices whose context a fault has ruined, device allocations with a
// running total, host/device copies, the device-side 2D copy and the launch
// convention (1-D grids of 512-thread blocks).
#pragma once

#include <cstdint>
#include <string>

#include "fill/cuda/cuda_api.h"

namespace pw::cuda {

constexpr int kBlock = 512;

// Device numbers the stream table and the fault record hold.
constexpr int kMaxDevices = 16;

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

// Whether a status leaves the device's context unusable for the rest of the
// process (an illegal address, a kernel fault, a lost device): every later
// call on it fails the same way.
bool cuda_status_is_sticky(int status);

// The fault that ruined a device's context, "" while none has. The status
// checks record it (for the current device) before they throw.
std::string cuda_device_fault(int device);
void cuda_record_device_fault(int device, int status);

// Byte counts are computed in 64 bits; a negative count fails.
float* cuda_alloc_floats(uint32_t count);
int* cuda_alloc_ints(int count);
uint8_t* cuda_push_array_bytes(const void* host, int bytes);
void cuda_pull_array_bytes(void* host, const void* device, int bytes);
void copy_gpu_2D(const uint8_t* src, uint8_t* dst, int dst_pitch,
                 int src_pitch, int row_bytes, int rows);

// Status of a kernel-attribute query on the current device: 0 when the
// build has a kernel image (or PTX) the device can run.
int kernel_image_status();

// Page-locked host memory (transfers at the bus's full speed), or null
// when the driver refuses it; freed by cuda_free_pinned.
void* cuda_alloc_pinned(size_t bytes);
void cuda_free_pinned(void* host);

// Frees a device block and takes its size off the running total.
void cuda_free_counted(void* device, int64_t bytes);

}  // namespace pw::cuda

// The build stamp of a source file: compile date, " - ", compile time.
#define PW_BUILD_STAMP __DATE__ " - " __TIME__
