#include "fill/cpu/cpu_exhaustive.h"

#include <algorithm>
#include <new>
#include <string>

#include "fill/cpu/run_copy.h"

#include "fill/kernels/exhaustive.h"

namespace pw {

using kernels::kNoCandidate;

namespace {
// Float sums of integers are exact below 2^24.
constexpr int32_t kExactFloatLimit = 1 << 24;
}  // namespace

CpuExhaustiveEngine::CpuExhaustiveEngine(const EngineParams& params,
                                         int threads)
    : CpuRunBuffers(params), threads_(std::max(1, threads)),
      window_sad_(SelectWindowSad(ActiveSimdLevel())),
      row_scan_(SelectRowScan(ActiveSimdLevel())),
      row_lower_bounds_(SelectRowLowerBounds(ActiveSimdLevel())) {}

CpuExhaustiveEngine::~CpuExhaustiveEngine() { Release(); }

void CpuExhaustiveEngine::Start(const uint8_t* image, const uint8_t* mask) {
  const size_t image_bytes = this->image_bytes();
  const size_t pixels = this->pixels();
  try {
    CopyIn(image, mask);
    window_.assign(kernels::kConstWindowBytes, 0);
    unknown_counts_.assign(pixels, 0);
    unknown_table_.assign(static_cast<size_t>(params_.width + 1) * (params_.height + 1), 0);
    domain_ = kernels::SearchDomain{params_.search_radius, nullptr};
    if (params_.source_mask != nullptr) {
      allowed_.assign(params_.source_mask, params_.source_mask + pixels);
      centre_blocked_.resize(pixels);
      for (size_t i = 0; i < pixels; ++i)
        centre_blocked_[i] = static_cast<uint8_t>(mask_[i] != 0 || allowed_[i] == 0);
      domain_.allowed = allowed_.data();
    }
    const int chunks = std::max(1, std::min(params_.height, threads_ * 8));
    partial_.resize(static_cast<size_t>(chunks));
    facing_unknown_.assign(static_cast<size_t>(chunks),
                           std::vector<int32_t>(static_cast<size_t>(params_.width)));
    lower_bounds_.assign(static_cast<size_t>(chunks),
                         std::vector<int32_t>(static_cast<size_t>(params_.width)));
    pool_ = std::make_unique<ThreadPool>(threads_);
  } catch (const std::bad_alloc&) {
    Release();
    throw CpuMemoryError(image_bytes + 11 * pixels + kernels::kConstWindowBytes +
                         (params_.record_sources ? 4 * pixels : 0));
  }
  InitUnknownCounts();
  if (BoxSums::Affordable(params_.width, params_.height) &&
      params_.radius <= kernels::kMaxConstRadius) {
    try {
      box_sums_.Init(image_.data(), params_.width, params_.height,
                     params_.stride, params_.radius);
    } catch (const std::bad_alloc&) {
      box_sums_.Release();  // an optional speed-up: go on without it
    }
  }
}

void CpuExhaustiveEngine::Release() noexcept {
  pool_.reset();
  ReleaseCopies();
  std::vector<uint8_t>().swap(window_);
  std::vector<SlotMinimum>().swap(partial_);
  std::vector<int32_t>().swap(unknown_counts_);
  std::vector<int32_t>().swap(unknown_table_);
  std::vector<uint8_t>().swap(allowed_);
  std::vector<uint8_t>().swap(centre_blocked_);
  std::vector<std::vector<int32_t>>().swap(facing_unknown_);
  std::vector<std::vector<int32_t>>().swap(lower_bounds_);
  box_sums_.Release();
}

// Counts, for every pixel, the pixels equal to 1 in its (clipped) window,
// with running sums along rows and then along columns.
void CpuExhaustiveEngine::InitUnknownCounts() {
  const int w = params_.width, h = params_.height, r = params_.radius;
  std::vector<int32_t> rows(static_cast<size_t>(w) * h, 0);
  for (int y = 0; y < h; ++y) {
    const uint8_t* m = mask_.data() + static_cast<size_t>(y) * w;
    int32_t run = 0;
    for (int x = 0; x < std::min(r, w); ++x) run += m[x] == 1;
    for (int x = 0; x < w; ++x) {
      if (x + r < w) run += m[x + r] == 1;
      if (x - r - 1 >= 0) run -= m[x - r - 1] == 1;
      rows[static_cast<size_t>(y) * w + x] = run;
    }
  }
  for (int x = 0; x < w; ++x) {
    int32_t run = 0;
    for (int y = 0; y < std::min(r, h); ++y) run += rows[static_cast<size_t>(y) * w + x];
    for (int y = 0; y < h; ++y) {
      if (y + r < h) run += rows[static_cast<size_t>(y + r) * w + x];
      if (y - r - 1 >= 0) run -= rows[static_cast<size_t>(y - r - 1) * w + x];
      unknown_counts_[static_cast<size_t>(y) * w + x] = run;
    }
  }
}

void CpuExhaustiveEngine::BuildUnknownTable(const kernels::CandidateBox& box) {
  const int w = params_.width, r = params_.radius;
  table_x0_ = box.x0 - r;
  table_y0_ = box.y0 - r;
  const int cols = box.x1 - box.x0 + 2 * r, rows = box.y1 - box.y0 + 2 * r;
  table_stride_ = static_cast<size_t>(cols) + 1;
  std::fill(unknown_table_.begin(), unknown_table_.begin() + table_stride_, 0);
  for (int k = 0; k < rows; ++k) {
    const uint8_t* m = mask_.data() + static_cast<size_t>(table_y0_ + k) * w + table_x0_;
    const int32_t* above = &unknown_table_[k * table_stride_];
    int32_t* row = &unknown_table_[(k + 1) * table_stride_];
    row[0] = 0;
    int32_t run = 0;
    for (int j = 0; j < cols; ++j) {
      run += m[j] == 1;
      row[j + 1] = above[j + 1] + run;
    }
  }
}

// Pixels equal to 1 in the rectangle of columns x0..x1 and rows y0..y1,
// which lies in the table's area.
int32_t CpuExhaustiveEngine::UnknownIn(int x0, int y0, int x1, int y1) const {
  const size_t stride = table_stride_;
  x0 -= table_x0_;
  x1 -= table_x0_;
  y0 -= table_y0_;
  y1 -= table_y0_;
  return unknown_table_[(y1 + 1) * stride + x1 + 1] -
         unknown_table_[y0 * stride + x1 + 1] -
         unknown_table_[(y1 + 1) * stride + x0] + unknown_table_[y0 * stride + x0];
}

// A pixel turned from 1 to 0: every window that holds it has one unknown
// pixel less.
void CpuExhaustiveEngine::UpdateUnknownCounts(int32_t x, int32_t y) {
  const int w = params_.width, h = params_.height, r = params_.radius;
  for (int cy = std::max(y - r, 0); cy <= std::min(y + r, h - 1); ++cy)
    for (int cx = std::max(x - r, 0); cx <= std::min(x + r, w - 1); ++cx)
      --unknown_counts_[static_cast<size_t>(cy) * w + cx];
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

int32_t CpuExhaustiveEngine::ScoreInterior(int32_t i, int32_t bound) const {
  const int w = params_.width, r = params_.radius, stride = params_.stride;
  // Large windows are compared in float: past 2^24 two different sums may
  // round to the same distance and tie, so only a bound below 2^24 proves
  // that a larger sum loses.
  if (r > kernels::kMaxConstRadius && bound >= kExactFloatLimit) bound = INT32_MAX;
  const int cx = i % w, cy = i / w;
  const uint8_t* top_left = image_.data() + (cy - r) * stride + (cx - r) * 3;
  return window_sad_(target_, top_left, stride, bound);
}

int32_t CpuExhaustiveEngine::SearchPruned(int32_t x, int32_t y, float* best) {
  const int w = params_.width, h = params_.height, r = params_.radius;
  // Only centres whose window fits, within the search radius, can qualify.
  const kernels::CandidateBox box =
      kernels::candidate_box(x, y, w, h, r, params_.search_radius, true);
  if (box.empty()) return -1;
  const uint8_t* mask = mask_.data();
  const uint8_t* blocked = CentreBlocked();
  target_.Capture(image_.data(), mask, x, y, w, h, params_.stride, r);
  PrepareRowRunBound(target_, box_sums_, x, y, r, &runs_);

  // A candidate qualifies when no pixel of its window that faces an
  // in-image target position is unknown. For a target whose window lies
  // inside the image that is the whole window: the kept counts answer.
  // Near the border only the facing part counts: a table answers.
  const int j0 = std::max(0, r - x), j1 = std::min(2 * r, w - 1 - x + r);
  const int k0 = std::max(0, r - y), k1 = std::min(2 * r, h - 1 - y + r);
  const bool interior = j0 == 0 && k0 == 0 && j1 == 2 * r && k1 == 2 * r;
  if (!interior) BuildUnknownTable(box);
  auto facing_unknown = [&](int cx, int cy) {
    return UnknownIn(cx - r + j0, cy - r + k0, cx - r + j1, cy - r + k1);
  };
  const int32_t* counts = unknown_counts_.data();

  // A first bound from where the previous target found its source, shifted
  // by the step between the targets: neighbouring targets tend to match
  // neighbouring sources. The complete sum of any candidate of this target
  // is a valid bound.
  bound_.store(INT32_MAX, std::memory_order_relaxed);
  if (last_source_ >= 0) {
    const int gx = last_source_ % w + (x - last_x_);
    const int gy = last_source_ / w + (y - last_y_);
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const int cx = gx + dx, cy = gy + dy;
        if (cx < box.x0 || cx >= box.x1 || cy < box.y0 || cy >= box.y1) continue;
        const int32_t i = cy * w + cx;
        const int32_t unknown = interior ? counts[i] : facing_unknown(cx, cy);
        if ((blocked[i] | unknown) != 0) continue;
        LowerBound(bound_, ScoreInterior(i, bound_.load(std::memory_order_relaxed)));
      }
  }

  const int rows = box.y1 - box.y0, cols = box.x1 - box.x0;
  // Small searches run on the calling thread: waking the pool would cost
  // more than the work.
  const int64_t work = int64_t{rows} * cols *
                       static_cast<int64_t>(target_.rows().size()) * (2 * r + 1);
  const int chunks =
      work < 200000 ? 1 : std::min(static_cast<int>(partial_.size()), rows);
  const bool float_sums = r > kernels::kMaxConstRadius;
  pool_->ParallelFor(chunks, [&](int chunk, int) {
    const int b = box.y0 + static_cast<int>(int64_t{rows} * chunk / chunks);
    const int e = box.y0 + static_cast<int>(int64_t{rows} * (chunk + 1) / chunks);
    SlotMinimum& slots = partial_[chunk];
    slots.Clear();
    int32_t* scratch = facing_unknown_[chunk].data();
    for (int cy = b; cy < e; ++cy) {
      const int32_t first = cy * w + box.x0;
      const int32_t* unknown = counts + first;
      if (!interior) {
        for (int c = 0; c < cols; ++c)
          scratch[c] = blocked[first + c] != 0 ? 1 : facing_unknown(box.x0 + c, cy);
        unknown = scratch;
      }
      if (!float_sums) {
        CandidateRow row{
            image_.data() + (cy - r) * params_.stride + (box.x0 - r) * 3,
            blocked + first, unknown, first, cols, params_.stride, nullptr};
        if (runs_.runs > 0) {
          row_lower_bounds_(runs_, box_sums_, cy, r, box.x0, cols,
                            lower_bounds_[chunk].data());
          row.lower = lower_bounds_[chunk].data();
        }
        row_scan_(target_, row, bound_, slots);
        continue;
      }
      for (int c = 0; c < cols; ++c) {
        const int32_t i = first + c;
        if ((blocked[i] | unknown[c]) != 0) continue;
        const int32_t sum = ScoreInterior(i, bound_.load(std::memory_order_relaxed));
        if (sum == kSadDropped) continue;
        LowerBound(bound_, sum);
        float d = static_cast<float>(sum);
        if (sum >= kExactFloatLimit)
          // Large windows are summed in float, which rounds past 2^24.
          d = kernels::general_distance(image_.data(), mask, x, y, w, h,
                                        params_.stride, r, 0.0f, 0, i);
        slots.Offer(i, d);
      }
    }
  });
  for (int c = 1; c < chunks; ++c) partial_[0].MergeLater(partial_[c]);
  return partial_[0].Select(kNoCandidate, best);
}

int32_t CpuExhaustiveEngine::SearchGeneric(int32_t x, int32_t y, float* best) {
  const int w = params_.width;
  const int h = params_.height;
  const int r = params_.radius;
  const int stride = params_.stride;
  const uint8_t* image = image_.data();
  const uint8_t* mask = mask_.data();
  const bool const_path = params_.missing_tolerance == 0.0f;

  // Candidate rows and columns that can qualify at all: with complete windows
  // only, those whose window fits inside the image; all within the search
  // radius.
  const kernels::CandidateBox box =
      kernels::candidate_box(x, y, w, h, r, params_.search_radius, const_path);
  if (box.empty()) return -1;
  const int row_begin = box.y0, row_end = box.y1;
  const int col_begin = box.x0, col_end = box.x1;
  const kernels::SearchDomain domain = domain_;

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
      if (!domain.admits(i % w, i / w, x, y, w)) return kNoCandidate;
      return kernels::const_window_distance(image, mask, window, x, y, w, h,
                                            stride, r, cmv, i);
    });
  } else if (const_path) {
    // Windows too large for the staging buffer: the general distance with
    // tolerance 0 scores exactly the same candidates.
    run([=](int32_t i) {
      if (!domain.admits(i % w, i / w, x, y, w)) return kNoCandidate;
      return kernels::general_distance(image, mask, x, y, w, h, stride, r,
                                       0.0f, 0, i);
    });
  } else {
    const float tolerance = params_.missing_tolerance;
    const int limit = kernels::float_to_int_rz(params_.search_limit);
    run([=](int32_t i) {
      if (!domain.admits(i % w, i / w, x, y, w)) return kNoCandidate;
      return kernels::general_distance(image, mask, x, y, w, h, stride, r,
                                       tolerance, limit, i);
    });
  }
  for (int c = 1; c < chunks; ++c) partial_[0].MergeLater(partial_[c]);
  return partial_[0].Select(kNoCandidate, best);
}

void CpuExhaustiveEngine::FillPixel(int32_t x, int32_t y) {
  const int w = params_.width;
  const bool fast = params_.missing_tolerance == 0.0f &&
                    params_.candidate_mask_value == 0;
  float best = kNoCandidate;
  const int32_t index = fast ? SearchPruned(x, y, &best) : SearchGeneric(x, y, &best);
  if (fast || index >= 0) {
    // Remember where this target found its source (the next first bound).
    last_x_ = x;
    last_y_ = y;
  }
  last_source_ = -1;
  if (index < 0) return;
  const size_t t = static_cast<size_t>(y) * w + x;
  const bool was_unknown = mask_[t] == 1;
  uint8_t* pixel = image_.data() + static_cast<size_t>(y) * params_.stride + 3 * x;
  const uint8_t before[3] = {pixel[0], pixel[1], pixel[2]};
  if (kernels::fill_target(image_.data(), mask_.data(), x, y, w,
                           params_.stride, best, index, nullptr, sources())) {
    last_source_ = index;
    if (was_unknown) UpdateUnknownCounts(x, y);
    if (!centre_blocked_.empty()) centre_blocked_[t] = allowed_[t] == 0;
    if (box_sums_.ready()) box_sums_.Update(x, y, before, pixel);
  }
}

}  // namespace pw
