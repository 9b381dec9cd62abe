// The device loop's host side: its buffers, their initial state (packed
// pixels, the per-window counts of pixels still to fill), the upload of the
// fill order and the launches of a run of it, with one wait at the end.
#include "fill/cuda/device_loop.cuh"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "fill/cuda/cuda_common.h"
#include "fill/cuda/loop_kernels.cuh"
#include "fill/kernels/candidate_key.h"
#include "fill/kernels/exhaustive.h"
#include "fill/kernels/fast.h"
#include "fill/kernels/numeric.h"
#include "fill/kernels/packed_window.h"

namespace pw::cuda {

namespace {
constexpr const char* kStamp = PW_BUILD_STAMP;
constexpr const char* kWhere = "src/fill/cuda/device_loop : DeviceLoop";
}  // namespace

// ---- initial state ----------------------------------------------------------

// Packed pixels; `unknown_value` 1 flags the bytes equal to 1 (the exhaustive
// method), 0 every non-zero byte (the pruned method).
__global__ void pack_image_kernel(LoopRun run, int unknown_value) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= run.width * run.height) return;
  const int x = i % run.width, y = i / run.width;
  const uint8_t m = run.mask[i];
  run.packed[i] = kernels::pack_pixel(run.image + y * run.stride + 3 * x,
                                      unknown_value == 1 ? m == 1 : m != 0);
}

// Pixels equal to 1 in each window, clipped to the image: along the rows
// into `rows`, then along the columns.
__global__ void count_unknown_rows_kernel(LoopRun run, int32_t* rows) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= run.width * run.height) return;
  const int x = i % run.width, y = i / run.width, r = run.radius;
  const int x0 = x - r > 0 ? x - r : 0;
  const int x1 = x + r < run.width - 1 ? x + r : run.width - 1;
  int32_t n = 0;
  for (int cx = x0; cx <= x1; ++cx) n += run.mask[y * run.width + cx] == 1;
  rows[i] = n;
}

__global__ void count_unknown_columns_kernel(LoopRun run, const int32_t* rows) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= run.width * run.height) return;
  const int x = i % run.width, y = i / run.width, r = run.radius;
  const int y0 = y - r > 0 ? y - r : 0;
  const int y1 = y + r < run.height - 1 ? y + r : run.height - 1;
  int32_t n = 0;
  for (int cy = y0; cy <= y1; ++cy) n += rows[cy * run.width + x];
  run.unknown[i] = n;
}

bool DeviceLoopRequested() {
  const char* value = std::getenv("PATCHWELL_CUDA_LOOP");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "device") == 0)
    return true;
  if (std::strcmp(value, "per-target") == 0) return false;
  throw std::invalid_argument(
      std::string("PATCHWELL_CUDA_LOOP must be \"device\" or \"per-target\", not \"") +
      value + "\"");
}

bool DeviceLoop::Supports(const EngineParams& p) {
  if (p.radius < 0 || p.radius > 127) return false;
  if (p.method == kMethodGpuFast) return true;
  return p.missing_tolerance == 0.0f && p.candidate_mask_value == 0;
}

namespace {

// Centres in the largest box a target can have.
int64_t LargestBox(const EngineParams& p, int search_radius) {
  int64_t cols = p.width - 2 * int64_t{p.radius};
  int64_t rows = p.height - 2 * int64_t{p.radius};
  if (search_radius >= 0) {
    cols = std::min<int64_t>(cols, 2 * int64_t{search_radius} + 1);
    rows = std::min<int64_t>(rows, 2 * int64_t{search_radius} + 1);
  }
  return cols > 0 && rows > 0 ? cols * rows : 0;
}

}  // namespace

void DeviceLoop::Start(const EngineParams& p, uint8_t* image, uint8_t* mask,
                       const uint8_t* allowed, float* sums, int32_t* counts,
                       void* scratch, int32_t* sources) {
  Release();
  method_ = p.method;
  pixels_ = int64_t{p.width} * p.height;
  passes_ = 0;
  const int n = static_cast<int>(pixels_);
  // A search radius past the image admits every centre, as none does.
  const int search_radius =
      p.search_radius < 0 ? -1 : std::min(p.search_radius, std::max(p.width, p.height));
  run_ = LoopRun{image, mask, nullptr, nullptr, sums, counts, nullptr, allowed,
                 nullptr, sources, p.width, p.height, p.stride, p.radius, search_radius};
  const bool fast = method_ == kMethodGpuFast;
  auto fail = [this](uint64_t bytes) {
    Release();
    throw DeviceMemoryError("CUDA: cannot allocate " + std::to_string(bytes) +
                                " bytes of device memory",
                            bytes);
  };
  run_.packed = reinterpret_cast<uint32_t*>(cuda_alloc_ints(n));
  if (run_.packed == nullptr) fail(uint64_t{4} * n);
  if (fast) {
    run_.buckets = reinterpret_cast<uint8_t*>(cuda_alloc_ints((n + 3) / 4));
    if (run_.buckets == nullptr) fail(uint64_t{4} * ((n + 3) / 4));
  } else {
    run_.unknown = cuda_alloc_ints(n);
    if (run_.unknown == nullptr) fail(uint64_t{4} * n);
  }
  dev_single_ = cuda_alloc_ints(1);
  if (dev_single_ == nullptr) fail(4);
  LoopState initial{};
  initial.key = kernels::kNoKey;
  for (unsigned long long& k : initial.bucket_key) k = kernels::kNoKey;
  initial.dis_min = kernels::kNotScored;
  run_.state = reinterpret_cast<LoopState*>(
      cuda_push_array_bytes(&initial, static_cast<int>(sizeof initial)));
  if (run_.state == nullptr) fail(sizeof initial);

  cudaStream_t stream = get_cuda_stream();
  const int blocks = kernels::div_round_up(n, kBlock);
  launch_kernel(pack_image_kernel, blocks, kBlock, stream, run_, fast ? 0 : 1);
  if (!fast) {
    auto* rows = static_cast<int32_t*>(scratch);
    launch_kernel(count_unknown_rows_kernel, blocks, kBlock, stream, run_, rows);
    launch_kernel(count_unknown_columns_kernel, blocks, kBlock, stream, run_, rows);
  }
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);

  const int64_t largest = LargestBox(p, search_radius);
  const int resident =
      fast ? fast_loop_blocks() : exhaustive_loop_blocks();
  blocks_ = static_cast<int>(std::max<int64_t>(
      1, std::min<int64_t>(resident, (largest + kBlock - 1) / kBlock)));
  // The initial state is copied from this function's stack.
  cuda_check_status(cudaStreamSynchronize(stream), kWhere, __LINE__, kStamp);
}

void DeviceLoop::Enqueue(const int32_t* order, int32_t pos) {
  if (method_ == kMethodGpuFast)
    queue_fast_target(run_, blocks_, order, pos);
  else
    queue_exhaustive_target(run_, blocks_, order, pos);
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);
}

void DeviceLoop::Finish() {
  if (method_ == kMethodGpuFast) {
    // The copy waits for the work queued before it.
    cuda_pull_array_bytes(&passes_, &run_.state->passes,
                          static_cast<int>(sizeof passes_));
  }
  cuda_check_status(cudaStreamSynchronize(get_cuda_stream()), kWhere, __LINE__,
                    kStamp);
}

void DeviceLoop::Run(const std::vector<int32_t>& order, int32_t begin,
                     int32_t end) {
  // A fault of earlier work is reported as found pending.
  cuda_check_status(cudaSuccess, kWhere, __LINE__, kStamp);
  if (order.data() != order_source_ || order.size() != order_size_) {
    cuda_free_counted(dev_order_, order_bytes_);
    dev_order_ = nullptr;
    order_source_ = nullptr;
    const int count = static_cast<int>(order.size());
    dev_order_ = cuda_alloc_ints(count);
    order_bytes_ = int64_t{4} * count;
    if (dev_order_ == nullptr && count > 0)
      throw DeviceMemoryError("CUDA: cannot allocate " +
                                  std::to_string(order_bytes_) +
                                  " bytes of device memory",
                              static_cast<uint64_t>(order_bytes_));
    cuda_check_status(
        cudaMemcpyAsync(dev_order_, order.data(), static_cast<size_t>(order_bytes_),
                        cudaMemcpyHostToDevice, get_cuda_stream()),
        kWhere, __LINE__ - 2, kStamp);
    order_source_ = order.data();
    order_size_ = order.size();
  }
  for (int32_t pos = begin; pos < end; ++pos) Enqueue(dev_order_, pos);
  Finish();
}

void DeviceLoop::Single(int32_t index) {
  cuda_check_status(cudaSuccess, kWhere, __LINE__, kStamp);
  single_ = index;
  cuda_check_status(cudaMemcpyAsync(dev_single_, &single_, sizeof single_,
                                    cudaMemcpyHostToDevice, get_cuda_stream()),
                    kWhere, __LINE__ - 1, kStamp);
  Enqueue(dev_single_, 0);
  Finish();
}

void DeviceLoop::Release() noexcept {
  cuda_free_counted(run_.packed, 4 * pixels_);
  cuda_free_counted(run_.unknown, 4 * pixels_);
  cuda_free_counted(run_.buckets, 4 * ((pixels_ + 3) / 4));
  cuda_free_counted(run_.state, sizeof(LoopState));
  cuda_free_counted(dev_single_, 4);
  cuda_free_counted(dev_order_, order_bytes_);
  run_.packed = nullptr;
  run_.unknown = nullptr;
  run_.buckets = nullptr;
  run_.state = nullptr;
  dev_single_ = nullptr;
  dev_order_ = nullptr;
  order_source_ = nullptr;
  order_size_ = 0;
  order_bytes_ = 0;
}

}  // namespace pw::cuda
