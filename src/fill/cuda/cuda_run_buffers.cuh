// The device buffers every method's run has: the image, the mask and the
// distance map, uploaded, pulled back and released with the running total,
// and the device loop that walks runs of the fill order. The method engines
// derive from it and add their own buffers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fill/cuda/cuda_common.h"
#include "fill/cuda/device_loop.cuh"
#include "fill/engine.h"
#include "fill/kernels/exhaustive.h"

namespace pw::cuda {

class CudaRunBuffers : public FillEngine {
 public:
  // The image comes through a page-locked buffer, kept for the run's later
  // pulls (the previews every few hundred milliseconds), unless the image
  // is large or the driver refuses one.
  void PullImage(uint8_t* image) override {
    if (dev_image_ == nullptr) return;
    const int bytes = p_.stride * p_.height;
    if (pinned_ == nullptr && !pinned_refused_) {
      pinned_ = bytes <= kPinnedLimit ? cuda_alloc_pinned(static_cast<size_t>(bytes)) : nullptr;
      pinned_refused_ = pinned_ == nullptr;
    }
    if (pinned_ == nullptr) {
      cuda_pull_array_bytes(image, dev_image_, bytes);
      return;
    }
    cuda_pull_array_bytes(pinned_, dev_image_, bytes);
    std::memcpy(image, pinned_, static_cast<size_t>(bytes));
  }

  void PullMask(uint8_t* mask) override {
    if (dev_mask_ != nullptr)
      cuda_pull_array_bytes(mask, dev_mask_, p_.width * p_.height);
  }

  void PullSources(int32_t* sources) override {
    if (dev_sources_ != nullptr)
      cuda_pull_array_bytes(sources, dev_sources_, 4 * p_.width * p_.height);
  }

  void FillRun(const std::vector<int32_t>& order, int32_t begin, int32_t end,
               int32_t width) override {
    if (looping_)
      loop_.Run(order, begin, end);
    else
      FillEngine::FillRun(order, begin, end, width);
  }

  void FillReady(const std::vector<int32_t>& order, int32_t begin, int32_t end,
                 int32_t width, int32_t reach) override {
    if (looping_)
      loop_.RunReady(order, begin, end, reach);
    else
      FillRun(order, begin, end, width);
  }

  bool walks_runs() const override { return looping_; }
  bool fills_batches() const override { return looping_; }
  uint64_t launches() const override { return launches_queued - launches_at_start_; }

 protected:
  // Reads PATCHWELL_CUDA_LOOP (throws std::invalid_argument for a value
  // it does not know).
  explicit CudaRunBuffers(const EngineParams& params)
      : p_(params),
        loop_wanted_(DeviceLoopRequested() && DeviceLoop::Supports(params)) {}

  uint32_t pixels() const { return static_cast<uint32_t>(p_.width * p_.height); }

  // Makes the run's device current on this thread (the worker's), starts
  // the count of launches, pushes
  // image and mask, allocates the distance map and, when the run keeps
  // one, starts the source map at -1. On a failed allocation everything is
  // released and DeviceMemoryError thrown.
  void UploadCommon(const uint8_t* image, const uint8_t* mask) {
    launches_at_start_ = launches_queued;
    if (p_.cuda_device >= 0)
      cuda_check_status(cudaSetDevice(p_.cuda_device),
                        "src/fill/cuda/cuda_run_buffers : UploadCommon",
                        __LINE__ - 1, PW_BUILD_STAMP);
    const int image_bytes = p_.stride * p_.height;
    dev_image_ = cuda_push_array_bytes(image, image_bytes);
    if (dev_image_ == nullptr) Fail(static_cast<uint32_t>(image_bytes));
    dev_mask_ = cuda_push_array_bytes(mask, static_cast<int>(pixels()));
    if (dev_mask_ == nullptr) Fail(pixels());
    dev_dist_ = cuda_alloc_floats(pixels());
    if (dev_dist_ == nullptr) Fail(uint64_t{4} * pixels());
    if (p_.source_mask != nullptr) {
      dev_allowed_ = cuda_push_array_bytes(p_.source_mask, static_cast<int>(pixels()));
      if (dev_allowed_ == nullptr) Fail(pixels());
    }
    if (p_.record_sources) {
      const std::vector<int32_t> none(pixels(), -1);
      dev_sources_ = reinterpret_cast<int32_t*>(
          cuda_push_array_bytes(none.data(), static_cast<int>(4 * pixels())));
      if (dev_sources_ == nullptr) Fail(uint64_t{4} * pixels());
      // The copy is queued: `none` must outlive it.
      cudaStreamSynchronize(get_cuda_stream());
    }
  }

  // Starts the device loop when it was asked for and can run this run:
  // the exhaustive method's needs a mask of 0 and 1 (what the entry points
  // give; other bytes take the per-target path). A device without the
  // memory for the loop's buffers runs the per-target path, which needs
  // less. `sums` and `counts` are the pruned method's window sums, computed
  // already.
  void StartLoop(const uint8_t* mask, float* sums, int32_t* counts) {
    looping_ = loop_wanted_ &&
               (p_.method == kMethodGpuFast ||
                std::all_of(mask, mask + pixels(), [](uint8_t b) { return b <= 1; }));
    if (!looping_) return;
    try {
      loop_.Start(p_, dev_image_, dev_mask_, dev_allowed_, sums, counts,
                  dev_dist_, dev_sources_);
    } catch (const DeviceMemoryError&) {
      looping_ = false;  // the loop has freed what it took
    } catch (...) {
      Release();
      throw;
    }
  }

  // The search domain as the kernels read it.
  kernels::SearchDomain Domain() const {
    return kernels::SearchDomain{p_.search_radius, dev_allowed_};
  }

  void ReleaseCommon() noexcept {
    loop_.Release();
    cuda_free_pinned(pinned_);
    pinned_ = nullptr;
    pinned_refused_ = false;
    cuda_free_counted(dev_image_, int64_t{p_.stride} * p_.height);
    cuda_free_counted(dev_mask_, pixels());
    cuda_free_counted(dev_dist_, int64_t{4} * pixels());
    cuda_free_counted(dev_allowed_, pixels());
    cuda_free_counted(dev_sources_, int64_t{4} * pixels());
    dev_image_ = dev_mask_ = dev_allowed_ = nullptr;
    dev_sources_ = nullptr;
    dev_dist_ = nullptr;
  }

  [[noreturn]] void Fail(uint64_t bytes) {
    Release();
    throw DeviceMemoryError("CUDA: cannot allocate " + std::to_string(bytes) +
                                " bytes of device memory",
                            bytes);
  }

  EngineParams p_;
  uint8_t* dev_image_ = nullptr;
  uint8_t* dev_mask_ = nullptr;
  float* dev_dist_ = nullptr;
  uint8_t* dev_allowed_ = nullptr;  // the source mask, when one is given
  int32_t* dev_sources_ = nullptr;  // the source map, when the run keeps one
  const bool loop_wanted_;
  uint64_t launches_at_start_ = 0;  // of this thread, at the run's start
  static constexpr int kPinnedLimit = 128 << 20;
  void* pinned_ = nullptr;  // the image's page-locked staging buffer
  bool pinned_refused_ = false;
  bool looping_ = false;  // this run walks the fill order on the device
  DeviceLoop loop_;
};

}  // namespace pw::cuda
