// The CUDA fill engine of the pruned method: the exhaustive method's three
// buffers plus the window sums, their counts, the keys and the fill
// position, all counted in the running total.
#include <string>

#include "fill/cuda/cuda_backend.h"
#include "fill/cuda/cuda_common.h"
#include "fill/cuda/fast_kernels.cuh"

namespace pw {

namespace {

class CudaFastEngine final : public FillEngine {
 public:
  explicit CudaFastEngine(const EngineParams& params) : p_(params) {}
  ~CudaFastEngine() override { Release(); }

  void Start(const uint8_t* image, const uint8_t* mask) override {
    const int image_bytes = p_.stride * p_.height;
    const int pixels = p_.width * p_.height;
    const uint32_t n = static_cast<uint32_t>(pixels);
    dev_image_ = cuda::cuda_push_array_bytes(image, image_bytes);
    if (dev_image_ == nullptr) Fail(static_cast<uint32_t>(image_bytes));
    dev_mask_ = cuda::cuda_push_array_bytes(mask, pixels);
    if (dev_mask_ == nullptr) Fail(n);
    dev_dist_ = cuda::cuda_alloc_floats(n);
    if (dev_dist_ == nullptr) Fail(uint64_t{4} * n);
    dev_sums_ = cuda::cuda_alloc_floats(3 * n);
    if (dev_sums_ == nullptr) Fail(uint64_t{12} * n);
    dev_counts_ = cuda::cuda_alloc_ints(pixels);
    if (dev_counts_ == nullptr) Fail(uint64_t{4} * n);
    dev_ds_ = cuda::cuda_alloc_floats(n);
    if (dev_ds_ == nullptr) Fail(uint64_t{4} * n);
    dev_fill_pos_ = cuda::cuda_alloc_ints(2);
    if (dev_fill_pos_ == nullptr) Fail(8);
    passes_ = 0;
    cuda::calculate_sums_gpu(dev_image_, dev_mask_, p_.width, p_.height,
                             p_.stride, p_.radius, dev_sums_, dev_counts_);
  }

  void FillPixel(int32_t x, int32_t y) override {
    passes_ += static_cast<uint64_t>(
        cuda::inpaint_get_nearest_DIK_sums_precise_ds_gpu(
            dev_image_, dev_mask_, x, y, p_.width, p_.height, p_.stride,
            p_.radius, dev_dist_, dev_sums_, dev_counts_, dev_ds_,
            dev_fill_pos_));
    cuda::update_sums_gpu(dev_image_, dev_mask_, p_.width, p_.height,
                          p_.stride, p_.radius, x, y, dev_sums_, dev_counts_);
    cudaDeviceSynchronize();  // errors surface at the next check
  }

  void PullImage(uint8_t* image) override {
    if (dev_image_ != nullptr)
      cuda::cuda_pull_array_bytes(image, dev_image_, p_.stride * p_.height);
  }

  void PullMask(uint8_t* mask) override {
    if (dev_mask_ != nullptr)
      cuda::cuda_pull_array_bytes(mask, dev_mask_, p_.width * p_.height);
  }

  void Release() noexcept override {
    const int64_t pixels = int64_t{p_.width} * p_.height;
    cuda::cuda_free_counted(dev_image_, int64_t{p_.stride} * p_.height);
    cuda::cuda_free_counted(dev_mask_, pixels);
    cuda::cuda_free_counted(dev_dist_, 4 * pixels);
    cuda::cuda_free_counted(dev_sums_, 12 * pixels);
    cuda::cuda_free_counted(dev_counts_, 4 * pixels);
    cuda::cuda_free_counted(dev_ds_, 4 * pixels);
    cuda::cuda_free_counted(dev_fill_pos_, 8);
    dev_image_ = dev_mask_ = nullptr;
    dev_dist_ = dev_sums_ = dev_ds_ = nullptr;
    dev_counts_ = dev_fill_pos_ = nullptr;
  }

  uint64_t passes() const override { return passes_; }

 private:
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
