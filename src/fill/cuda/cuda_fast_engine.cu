// The CUDA fill engine of the pruned method: the exhaustive method's three
// buffers plus the window sums, their counts, the keys and the fill
// position, all counted in the running total.
#include <string>

#include "fill/cuda/cuda_backend.h"
#include "fill/cuda/cuda_common.h"
#include "fill/cuda/cuda_run_buffers.cuh"
#include "fill/cuda/fast_kernels.cuh"

namespace pw {

namespace {

class CudaFastEngine final : public cuda::CudaRunBuffers {
 public:
  explicit CudaFastEngine(const EngineParams& params) : CudaRunBuffers(params) {}
  ~CudaFastEngine() override { Release(); }

  void Start(const uint8_t* image, const uint8_t* mask) override {
    const uint32_t n = pixels();
    UploadCommon(image, mask);
    dev_sums_ = cuda::cuda_alloc_floats(3 * n);
    if (dev_sums_ == nullptr) Fail(uint64_t{12} * n);
    dev_counts_ = cuda::cuda_alloc_ints(static_cast<int>(n));
    if (dev_counts_ == nullptr) Fail(uint64_t{4} * n);
    passes_ = 0;
    cuda::calculate_sums_gpu(dev_image_, dev_mask_, p_.width, p_.height,
                             p_.stride, p_.radius, dev_sums_, dev_counts_);
    StartLoop(mask, dev_sums_, dev_counts_);
    if (looping_) return;  // the loop keeps its own per-target buffers
    dev_ds_ = cuda::cuda_alloc_floats(n);
    if (dev_ds_ == nullptr) Fail(uint64_t{4} * n);
    dev_fill_pos_ = cuda::cuda_alloc_ints(2);
    if (dev_fill_pos_ == nullptr) Fail(8);
  }

  void FillPixel(int32_t x, int32_t y) override {
    if (looping_) {
      loop_.Single(y * p_.width + x);
      return;
    }
    passes_ += static_cast<uint64_t>(
        cuda::inpaint_get_nearest_DIK_sums_precise_ds_gpu(
            dev_image_, dev_mask_, x, y, p_.width, p_.height, p_.stride,
            p_.radius, dev_dist_, dev_sums_, dev_counts_, dev_ds_,
            dev_fill_pos_, Domain(), dev_sources_));
    cuda::update_sums_gpu(dev_image_, dev_mask_, p_.width, p_.height,
                          p_.stride, p_.radius, x, y, dev_sums_, dev_counts_);
    cudaDeviceSynchronize();  // errors surface at the next check
  }

  void Release() noexcept override {
    ReleaseCommon();
    const int64_t n = pixels();
    cuda::cuda_free_counted(dev_sums_, 12 * n);
    cuda::cuda_free_counted(dev_counts_, 4 * n);
    cuda::cuda_free_counted(dev_ds_, 4 * n);
    cuda::cuda_free_counted(dev_fill_pos_, 8);
    dev_sums_ = dev_ds_ = nullptr;
    dev_counts_ = dev_fill_pos_ = nullptr;
  }

  uint64_t passes() const override {
    return looping_ ? loop_.passes() : passes_;
  }

 private:
  float* dev_sums_ = nullptr;
  int* dev_counts_ = nullptr;
  float* dev_ds_ = nullptr;
  int* dev_fill_pos_ = nullptr;
  uint64_t passes_ = 0;
};

}  // namespace

std::unique_ptr<FillEngine> CreateCudaFastEngine(const EngineParams& params) {
  return std::make_unique<CudaFastEngine>(params);
}

}  // namespace pw
