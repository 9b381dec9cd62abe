// The device loop's host side: its buffers, their initial state (packed
// pixels, the per-window counts of pixels still to fill), the upload of the
// fill order and the launches of a run of it (target by target, or batch
// by batch), with one wait at the end.
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
#include "fill/radius.h"
#include "fill/kernels/fast.h"
#include "fill/kernels/numeric.h"
#include "fill/kernels/packed_window.h"
#include "schedule/regions.h"

namespace pw::cuda {

namespace {
constexpr const char* kStamp = PW_BUILD_STAMP;
constexpr const char* kWhere = "src/fill/cuda/device_loop : DeviceLoop";

// Targets one launch of a bounded search takes at most, and the device
// memory the pruned method's per-target bucket bytes may take for them.
constexpr int kMaxSlots = 1024;
constexpr int64_t kBucketBudget = int64_t{64} << 20;
// Boxes up to this many centres (search radius 63) are searched past
// bucket 0 by one block: fewer launches, against less parallel scoring of
// the few candidates the later buckets hold.
constexpr int64_t kWalkedBox = 127 * 127;
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
  if (p.radius < 0 || p.radius > kMaxRadius) return false;
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
  const bool fast = method_ == kMethodGpuFast;
  const int64_t largest = LargestBox(p, search_radius);
  run_ = LoopRun{image, mask, nullptr, nullptr, sums, counts, nullptr, allowed,
                 nullptr, sources, p.width, p.height, p.stride, p.radius, search_radius,
                 static_cast<int>(std::max<int64_t>(1, largest))};
  // A bounded search fills batches of targets; a whole-image search one
  // target at a time, whose box already fills the device.
  int slots = 1;
  if (search_radius >= 0)
    slots = fast ? static_cast<int>(std::clamp<int64_t>(
                       kBucketBudget / run_.box_capacity, 1, kMaxSlots))
                 : kMaxSlots;
  try {
    Allocate(slots, run_.box_capacity);
  } catch (const DeviceMemoryError&) {
    if (slots == 1) throw;
    Allocate(1, run_.box_capacity);  // batches of one: the memory of old
  }

  cudaStream_t stream = get_cuda_stream();
  const int blocks = kernels::div_round_up(n, kBlock);
  launch_kernel(pack_image_kernel, blocks, kBlock, stream, run_, fast ? 0 : 1);
  if (!fast) {
    auto* rows = static_cast<int32_t*>(scratch);
    launch_kernel(count_unknown_rows_kernel, blocks, kBlock, stream, run_, rows);
    launch_kernel(count_unknown_columns_kernel, blocks, kBlock, stream, run_, rows);
  }
  cuda_check_status(cudaPeekAtLastError(), kWhere, __LINE__, kStamp);

  // A bounded search's small boxes: the last block of a target's first
  // launch ends its search, so a batch takes one launch.
  walk_ = fast && search_radius >= 0 && largest <= kWalkedBox;
  const int resident = fast ? fast_loop_blocks() : exhaustive_loop_blocks();
  parts_ = static_cast<int>(std::max<int64_t>(
      1, std::min<int64_t>(resident, (largest + kBlock - 1) / kBlock)));
  // The initial state is copied from this function's stack.
  cuda_check_status(cudaStreamSynchronize(stream), kWhere, __LINE__, kStamp);
}

// The per-slot state and, for the pruned method, `capacity` bucket bytes
// per slot. Throws DeviceMemoryError, having freed what it allocated.
void DeviceLoop::Allocate(int slots, int64_t capacity) {
  Release();
  slots_ = slots;
  const int n = static_cast<int>(pixels_);
  auto fail = [this](uint64_t bytes) {
    Release();
    throw DeviceMemoryError("CUDA: cannot allocate " + std::to_string(bytes) +
                                " bytes of device memory",
                            bytes);
  };
  run_.packed = reinterpret_cast<uint32_t*>(cuda_alloc_ints(n));
  if (run_.packed == nullptr) fail(uint64_t{4} * n);
  if (method_ == kMethodGpuFast) {
    const int64_t words = (slots * capacity + 3) / 4;
    if (words > INT32_MAX) fail(static_cast<uint64_t>(4 * words));
    run_.buckets = reinterpret_cast<uint8_t*>(cuda_alloc_ints(static_cast<int>(words)));
    if (run_.buckets == nullptr) fail(static_cast<uint64_t>(4 * words));
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
  const std::vector<LoopState> states(static_cast<size_t>(slots), initial);
  const int state_bytes = static_cast<int>(sizeof(LoopState)) * slots;
  run_.state = reinterpret_cast<LoopState*>(cuda_push_array_bytes(states.data(), state_bytes));
  if (run_.state == nullptr) fail(static_cast<uint64_t>(state_bytes));
  // The copy is queued: `states` must outlive it.
  cuda_check_status(cudaStreamSynchronize(get_cuda_stream()), kWhere, __LINE__, kStamp);
}

void DeviceLoop::Enqueue(const int32_t* targets, int32_t count) {
  if (method_ == kMethodGpuFast)
    queue_fast_targets(run_, targets, count, parts_, walk_);
  else
    queue_exhaustive_targets(run_, targets, count, parts_);
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
  for (int32_t pos = begin; pos < end; ++pos) Enqueue(dev_order_ + pos, 1);
  Finish();
}

void DeviceLoop::RunReady(const std::vector<int32_t>& order, int32_t begin,
                          int32_t end, int32_t reach) {
  cuda_check_status(cudaSuccess, kWhere, __LINE__, kStamp);
  std::vector<int32_t> starts;
  batches_ = ReadyBatches(order.data(), begin, end, run_.width, reach, &starts);
  const int64_t bytes = int64_t{4} * static_cast<int64_t>(batches_.size());
  if (bytes > batches_bytes_) {
    cuda_free_counted(dev_batches_, batches_bytes_);
    batches_bytes_ = 0;
    dev_batches_ = cuda_alloc_ints(static_cast<int>(batches_.size()));
    if (dev_batches_ == nullptr)
      throw DeviceMemoryError("CUDA: cannot allocate " + std::to_string(bytes) +
                                  " bytes of device memory",
                              static_cast<uint64_t>(bytes));
    batches_bytes_ = bytes;
  }
  if (bytes > 0)
    cuda_check_status(cudaMemcpyAsync(dev_batches_, batches_.data(),
                                      static_cast<size_t>(bytes),
                                      cudaMemcpyHostToDevice, get_cuda_stream()),
                      kWhere, __LINE__ - 3, kStamp);
  for (size_t b = 0; b + 1 < starts.size(); ++b)
    for (int32_t at = starts[b]; at < starts[b + 1]; at += slots_)
      Enqueue(dev_batches_ + at, std::min(slots_, starts[b + 1] - at));
  Finish();
}

void DeviceLoop::Single(int32_t index) {
  cuda_check_status(cudaSuccess, kWhere, __LINE__, kStamp);
  single_ = index;
  cuda_check_status(cudaMemcpyAsync(dev_single_, &single_, sizeof single_,
                                    cudaMemcpyHostToDevice, get_cuda_stream()),
                    kWhere, __LINE__ - 1, kStamp);
  Enqueue(dev_single_, 1);
  Finish();
}

void DeviceLoop::Release() noexcept {
  cuda_free_counted(run_.packed, 4 * pixels_);
  cuda_free_counted(run_.unknown, 4 * pixels_);
  cuda_free_counted(run_.buckets, 4 * ((slots_ * int64_t{run_.box_capacity} + 3) / 4));
  cuda_free_counted(run_.state, int64_t{sizeof(LoopState)} * slots_);
  cuda_free_counted(dev_single_, 4);
  cuda_free_counted(dev_order_, order_bytes_);
  cuda_free_counted(dev_batches_, batches_bytes_);
  run_.packed = nullptr;
  run_.unknown = nullptr;
  run_.buckets = nullptr;
  run_.state = nullptr;
  dev_single_ = nullptr;
  dev_order_ = nullptr;
  dev_batches_ = nullptr;
  order_source_ = nullptr;
  order_size_ = 0;
  order_bytes_ = 0;
  batches_bytes_ = 0;
}

}  // namespace pw::cuda
