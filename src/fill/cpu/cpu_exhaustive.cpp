#include "fill/cpu/cpu_exhaustive.h"

#include <algorithm>
#include <new>
#include <string>

#include "fill/kernels/exhaustive.h"

namespace pw {

using kernels::kNoCandidate;

CpuExhaustiveEngine::CpuExhaustiveEngine(const EngineParams& params,
                                         int threads)
    : params_(params), threads_(std::max(1, threads)) {}

CpuExhaustiveEngine::~CpuExhaustiveEngine() { Release(); }

void CpuExhaustiveEngine::Start(const uint8_t* image, const uint8_t* mask) {
  const size_t image_bytes =
      static_cast<size_t>(params_.stride) * static_cast<size_t>(params_.height);
  const size_t pixels =
      static_cast<size_t>(params_.width) * static_cast<size_t>(params_.height);
  try {
    image_.assign(image, image + image_bytes);
    mask_.assign(mask, mask + pixels);
    window_.assign(kernels::kConstWindowBytes, 0);
    const int chunks = std::max(1, std::min(params_.height, threads_ * 8));
    partial_.resize(static_cast<size_t>(chunks));
    pool_ = std::make_unique<ThreadPool>(threads_);
  } catch (const std::bad_alloc&) {
    const uint64_t bytes = image_bytes + pixels + kernels::kConstWindowBytes;
    Release();
    throw DeviceMemoryError("CPU: cannot allocate " + std::to_string(bytes) +
                                " bytes for the image buffers",
                            bytes);
  }
}

void CpuExhaustiveEngine::Release() noexcept {
  pool_.reset();
  std::vector<uint8_t>().swap(image_);
  std::vector<uint8_t>().swap(mask_);
  std::vector<uint8_t>().swap(window_);
  std::vector<SlotMinimum>().swap(partial_);
}

void CpuExhaustiveEngine::PullImage(uint8_t* image) {
  std::copy(image_.begin(), image_.end(), image);
}

void CpuExhaustiveEngine::PullMask(uint8_t* mask) {
  std::copy(mask_.begin(), mask_.end(), mask);
}

template <class Score>
void CpuExhaustiveEngine::ScoreRows(int row_begin, int row_end, int col_begin,
                                    int col_end, const Score& score,
                                    SlotMinimum& slots) const {
  slots.Clear();
  for (int cy = row_begin; cy < row_end; ++cy) {
    const int32_t row = cy * params_.width;
    for (int cx = col_begin; cx < col_end; ++cx) {
      const int32_t i = row + cx;
      const float d = score(i);
      if (d < kNoCandidate) slots.Offer(i, d);
    }
  }
}

void CpuExhaustiveEngine::FillPixel(int32_t x, int32_t y) {
  const int w = params_.width;
  const int h = params_.height;
  const int r = params_.radius;
  const int stride = params_.stride;
  const uint8_t* image = image_.data();
  const uint8_t* mask = mask_.data();
  const bool const_path = params_.missing_tolerance == 0.0f;

  // Candidate rows and columns that can qualify at all: with complete windows
  // only, those whose window fits inside the image.
  int row_begin = 0, row_end = h, col_begin = 0, col_end = w;
  if (const_path) {
    row_begin = r;
    row_end = h - r;
    col_begin = r;
    col_end = w - r;
  }
  last_source_ = -1;
  if (row_begin >= row_end || col_begin >= col_end) return;

  const int rows = row_end - row_begin;
  const int chunks = std::min(static_cast<int>(partial_.size()), rows);
  auto run = [&](const auto& score) {
    pool_->ParallelFor(chunks, [&](int chunk, int) {
      const int b = row_begin + static_cast<int>(int64_t{rows} * chunk / chunks);
      const int e =
          row_begin + static_cast<int>(int64_t{rows} * (chunk + 1) / chunks);
      ScoreRows(b, e, col_begin, col_end, score, partial_[chunk]);
    });
  };

  if (const_path && r <= kernels::kMaxConstRadius) {
    // Stage the in-image part of the target window, byte by byte as the
    // device's 2D copy does.
    const kernels::WindowCopy c =
        kernels::target_window_copy(x, y, w, h, stride, r);
    const int total = c.row_bytes * c.rows;
    for (int i = 0; i < total; ++i)
      kernels::copy_2d_byte(window_.data() + c.dst_offset, c.dst_pitch,
                            image + c.src_offset, total, c.src_pitch,
                            c.row_bytes, i);
    const uint8_t* window = window_.data();
    const int cmv = params_.candidate_mask_value;
    run([=](int32_t i) {
      return kernels::const_window_distance(image, mask, window, x, y, w, h,
                                            stride, r, cmv, i);
    });
  } else if (const_path) {
    // Windows too large for the staging buffer: the general distance with
    // tolerance 0 scores exactly the same candidates.
    run([=](int32_t i) {
      return kernels::general_distance(image, mask, x, y, w, h, stride, r,
                                       0.0f, 0, i);
    });
  } else {
    const float tolerance = params_.missing_tolerance;
    const int limit = kernels::float_to_int_rz(params_.search_limit);
    run([=](int32_t i) {
      return kernels::general_distance(image, mask, x, y, w, h, stride, r,
                                       tolerance, limit, i);
    });
  }

  for (int c = 1; c < chunks; ++c) partial_[0].MergeLater(partial_[c]);
  float best = kNoCandidate;
  const int32_t index = partial_[0].Select(kNoCandidate, &best);
  if (index < 0) return;
  if (kernels::fill_target(image_.data(), mask_.data(), x, y, w, stride, best,
                           index, nullptr))
    last_source_ = index;
}

}  // namespace pw
