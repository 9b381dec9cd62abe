#include "fill/cpu/cpu_fast.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

namespace pw {

using kernels::kBucketWidth;
using kernels::kMaxFastPasses;
using kernels::kNotScored;

CpuFastEngine::CpuFastEngine(const EngineParams& params, int threads)
    : params_(params), threads_(std::max(1, threads)) {}

CpuFastEngine::~CpuFastEngine() { Release(); }

void CpuFastEngine::Start(const uint8_t* image, const uint8_t* mask) {
  const size_t image_bytes =
      static_cast<size_t>(params_.stride) * static_cast<size_t>(params_.height);
  const size_t pixels =
      static_cast<size_t>(params_.width) * static_cast<size_t>(params_.height);
  try {
    image_.assign(image, image + image_bytes);
    mask_.assign(mask, mask + pixels);
    sums_.assign(3 * pixels, 0.0f);
    counts_.assign(pixels, 0);
    bands_.resize(static_cast<size_t>(
        std::max(1, std::min(params_.height, threads_ * 8))));
    pool_ = std::make_unique<ThreadPool>(threads_);
  } catch (const std::bad_alloc&) {
    const uint64_t bytes = image_bytes + 17 * pixels;
    Release();
    throw DeviceMemoryError("CPU: cannot allocate " + std::to_string(bytes) +
                                " bytes for the image buffers and window sums",
                            bytes);
  }
  dis_min_ = kNotScored;
  total_passes_ = 0;
  ComputeSums();
}

void CpuFastEngine::Release() noexcept {
  pool_.reset();
  std::vector<uint8_t>().swap(image_);
  std::vector<uint8_t>().swap(mask_);
  std::vector<float>().swap(sums_);
  std::vector<int32_t>().swap(counts_);
  std::vector<Band>().swap(bands_);
}

void CpuFastEngine::PullImage(uint8_t* image) {
  std::copy(image_.begin(), image_.end(), image);
}

void CpuFastEngine::PullMask(uint8_t* mask) {
  std::copy(mask_.begin(), mask_.end(), mask);
}

int CpuFastEngine::BandBegin(int band) const {
  const int bands = static_cast<int>(bands_.size());
  return static_cast<int>(int64_t{params_.height} * band / bands);
}

void CpuFastEngine::ComputeSums() {
  const int w = params_.width;
  pool_->ParallelFor(static_cast<int>(bands_.size()), [&](int band, int) {
    const int32_t end = BandBegin(band + 1) * w;
    for (int32_t i = BandBegin(band) * w; i < end; ++i)
      kernels::window_sums(image_.data(), mask_.data(), w, params_.height,
                           params_.stride, params_.radius, sums_.data(),
                           counts_.data(), i);
  });
}

void CpuFastEngine::SortCandidates(int32_t x, int32_t y) {
  const int w = params_.width;
  std::atomic<bool> out_of_memory{false};
  pool_->ParallelFor(static_cast<int>(bands_.size()), [&](int b, int) {
    Band& band = bands_[b];
    for (auto& list : band.bucket) list.clear();
    const int32_t end = BandBegin(b + 1) * w;
    try {  // the pool's threads must not throw
      for (int32_t i = BandBegin(b) * w; i < end; ++i) {
        const float key = kernels::ranking_key(mask_.data(), sums_.data(),
                                               counts_.data(), x, y, w,
                                               params_.radius, i);
        if (key != kNotScored)
          band.bucket[static_cast<int>(key) / kBucketWidth].push_back(i);
      }
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  });
  if (out_of_memory) throw std::bad_alloc();
}

void CpuFastEngine::CollectTaps(int32_t x, int32_t y) {
  const int w = params_.width, h = params_.height, r = params_.radius;
  const int stride = params_.stride;
  taps_.clear();
  row_ends_.clear();
  for (int dy = -r; dy <= r; ++dy) {
    const int ty = y + dy;
    if (ty < 0 || ty >= h) continue;
    for (int dx = -r; dx <= r; ++dx) {
      const int tx = x + dx;
      if (tx < 0 || tx >= w || mask_[ty * w + tx] != 0) continue;
      const uint8_t* p = &image_[ty * stride + tx * 3];
      taps_.push_back(Tap{dy * stride + dx * 3, {p[0], p[1], p[2]}});
    }
    row_ends_.push_back(taps_.size());
  }
}

// kernels::patch_distance for a real candidate, whose window lies whole
// inside the image: the same terms over the same target pixels and the
// same int sum (the order of the terms does not matter to an int). After
// each window row the candidate is dropped (kNotScored) once its partial
// mean is above `bound`: its distance can only be larger still.
float CpuFastEngine::Distance(int32_t i, float bound) const {
  if (taps_.empty()) return kNotScored;
  const int32_t cy = i / params_.width;
  const int32_t cx = i - cy * params_.width;
  const uint8_t* centre = image_.data() + cy * params_.stride + cx * 3;
  const float m = static_cast<float>(taps_.size());
  int sum = 0;
  size_t k = 0;
  for (const size_t end : row_ends_) {
    for (; k < end; ++k)
      sum += kernels::abs_diff3(taps_[k].rgb, centre + taps_[k].offset) / 3;
    if (kernels::fdiv_rn(static_cast<float>(sum), m) > bound) return kNotScored;
  }
  return kernels::fdiv_rn(static_cast<float>(sum), m);
}

// A candidate above the best of earlier passes, or above a distance this
// band already found, can neither win this pass nor tie with its winner,
// so it may be left out of the search.
bool CpuFastEngine::ScoreBucket(int pass, float* best, int32_t* index) {
  size_t total = 0;
  for (const Band& band : bands_) total += band.bucket[pass].size();
  if (total == 0) return false;
  const int bands = static_cast<int>(bands_.size());
  pool_->ParallelFor(bands, [&](int b, int) {
    Band& band = bands_[b];
    band.slots.Clear();
    float bound = dis_min_;
    for (const int32_t i : band.bucket[pass]) {
      const float d = Distance(i, bound);
      if (d < kNotScored) {
        band.slots.Offer(i, d);
        if (d < bound) bound = d;
      }
    }
  });
  for (int b = 1; b < bands; ++b) bands_[0].slots.MergeLater(bands_[b].slots);
  *index = bands_[0].slots.Select(kNotScored, best);
  return *index >= 0;
}

void CpuFastEngine::UpdateSums(int32_t x, int32_t y) {
  const int side = kernels::window_side(params_.radius);
  for (int i = 0; i < side * side; ++i)
    kernels::update_window_sums(image_.data(), mask_.data(), params_.width,
                                params_.height, params_.stride, params_.radius,
                                x, y, sums_.data(), counts_.data(), i);
}

// The device searches the whole distance buffer after every pass and lets
// its minimum replace the best only when strictly smaller. The best so far
// is the minimum of the entries of earlier passes, so a replacement happens
// exactly when this pass added a smaller distance, and then every entry
// holding the new minimum is one of this pass: searching the new entries
// alone picks the same index.
void CpuFastEngine::FillPixel(int32_t x, int32_t y) {
  dis_min_ = kNotScored;
  SortCandidates(x, y);
  CollectTaps(x, y);
  int pass = 0;
  for (;;) {
    float pass_min = kNotScored;
    int32_t pass_index = 0;
    if (ScoreBucket(pass, &pass_min, &pass_index))
      kernels::carry_best(pass_min, pass_index, &dis_min_, &idx_min_);
    ++pass;
    if (kernels::stop_after_pass(pass - 1, dis_min_) || pass == kMaxFastPasses)
      break;
  }
  last_passes_ = pass;
  total_passes_ += static_cast<uint64_t>(pass);
  last_source_ = -1;
  if (kernels::fill_from_best(image_.data(), mask_.data(), x, y, params_.width,
                              params_.stride, dis_min_, idx_min_, fill_pos_))
    last_source_ = idx_min_;
  UpdateSums(x, y);
}

}  // namespace pw
