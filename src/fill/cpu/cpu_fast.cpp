#include "fill/cpu/cpu_fast.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "fill/cpu/run_copy.h"
#include "schedule/regions.h"

namespace pw {

using kernels::kBucketWidth;
using kernels::kMaxFastPasses;
using kernels::kNotScored;

// The most window positions a target may leave uncompared for the keys'
// bound.
constexpr int kMaxUncompared = 12;

// Where a first limit is looked for: the last target's source shifted by
// the step between the targets, then its eight neighbours.
constexpr int kGuesses = 9;
constexpr int kGuessDx[kGuesses] = {0, -1, 1, 0, 0, -1, 1, -1, 1};
constexpr int kGuessDy[kGuesses] = {0, 0, 0, -1, 1, -1, -1, 1, 1};

CpuFastEngine::CpuFastEngine(const EngineParams& params, int threads)
    : CpuRunBuffers(params), threads_(std::max(1, threads)), crop_(params) {
  set_simd_level(ActiveSimdLevel());
}

CpuFastEngine::~CpuFastEngine() { Release(); }

void CpuFastEngine::set_simd_level(SimdLevel level) {
  key_row_ = SelectKeyRow(level);
  patch_sum_ = SelectPatchSum(level);
  // Without vector instructions a sum of absolute differences costs as
  // much as the distance itself: no screen.
  window_sad_ = level == SimdLevel::Scalar ? nullptr : SelectWindowSad(level);
  window_sad_pair_ = SelectWindowSadPair(level);
}

void CpuFastEngine::Start(const uint8_t* image, const uint8_t* mask) {
  const size_t image_bytes = this->image_bytes();
  const size_t pixels = this->pixels();
  const int w = params_.width, h = params_.height;
  // The largest candidate box: the search radius's square, or the image.
  const int64_t side = params_.search_radius >= 0 ? 2 * int64_t{params_.search_radius} + 1
                                                  : int64_t{std::max(w, h)};
  const size_t box_width = static_cast<size_t>(std::min<int64_t>(w, side));
  const size_t box_pixels = box_width * static_cast<size_t>(std::min<int64_t>(h, side));
  int searches = 1;
  try {
    pool_ = params_.cpu_pool != nullptr ? params_.cpu_pool
                                        : std::make_shared<ThreadPool>(threads_);
    if (params_.search_radius >= 0) searches = pool_->active();
    CopyIn(image, mask);
    plane_size_ = pixels + PlanarTarget::kPlaneSlack;
    planes_.assign(3 * plane_size_, 0);
    SplitPlanes(image, params_.width, params_.height, params_.stride,
                plane_size_, planes_.data());
    sums_.assign(3 * pixels, 0.0f);
    counts_.assign(pixels, 0);
    means_.assign(3 * pixels, 0.0f);
    if (params_.source_mask != nullptr)
      allowed_.assign(params_.source_mask, params_.source_mask + pixels);
    // Each search gets its buffers now: filling allocates (almost) nothing.
    // Without a search radius targets are never filled side by side, and
    // one search does.
    const int bands = std::max(1, std::min(h, pool_->active() * 8));
    searches_.clear();
    for (int t = 0; t < searches; ++t) {
      searches_.push_back(std::make_unique<Search>());
      Search& s = *searches_.back();
      s.bands.resize(static_cast<size_t>(bands));
      for (Band& band : s.bands) band.columns.resize(box_width + 1);
      s.buckets.assign(box_pixels, kNoBucket);
      s.uncompared.reserve(kMaxUncompared);
    }
  } catch (const std::bad_alloc&) {
    Release();
    throw CpuMemoryError(image_bytes + 33 * pixels +
                         static_cast<uint64_t>(searches) * box_pixels +
                         (params_.record_sources ? 4 * pixels : 0));
  }
  total_passes_ = 0;
  ComputeSums();
}

// A shared pool stays with the run: only this engine's hold on it ends.
void CpuFastEngine::Release() noexcept {
  pool_.reset();
  ReleaseCopies();
  std::vector<float>().swap(sums_);
  std::vector<int32_t>().swap(counts_);
  std::vector<float>().swap(means_);
  std::vector<uint8_t>().swap(allowed_);
  std::vector<uint8_t>().swap(planes_);
  searches_.clear();
}

int CpuFastEngine::BoxBandBegin(const Search& s, int band) {
  const int bands = static_cast<int>(s.bands.size());
  return s.box.y0 + static_cast<int>(int64_t{s.box.y1 - s.box.y0} * band / bands);
}

// The window sums of every pixel, as kernels::window_sums gives them, in
// O(1) per pixel: running integer sums along each row, then along each
// column, band by band. The totals are whole numbers below 2^24, which a
// float holds exactly whatever the order of addition.
void CpuFastEngine::ComputeSums() {
  const int w = params_.width, h = params_.height, r = params_.radius;
  const int stride = params_.stride;
  // Sums of channel bytes 0, 1, 2 and the count of the known pixels of the
  // 2r + 1 pixels of row y centred on each column.
  auto row_sums = [&](int y, int32_t* out) {
    const uint8_t* px = image_.data() + static_cast<size_t>(y) * stride;
    const uint8_t* m = mask_.data() + static_cast<size_t>(y) * w;
    int32_t run[4] = {0, 0, 0, 0};
    auto take = [&](int x, int32_t sign) {
      if (m[x] != 0) return;
      for (int c = 0; c < 3; ++c) run[c] += sign * px[3 * x + c];
      run[3] += sign;
    };
    for (int x = 0; x < std::min(r, w); ++x) take(x, 1);
    for (int x = 0; x < w; ++x) {
      if (x + r < w) take(x + r, 1);
      if (x - r - 1 >= 0) take(x - r - 1, -1);
      std::copy(run, run + 4, out + 4 * x);
    }
  };
  const int bands = std::max(1, std::min(h, pool_->active() * 8));
  pool_->ParallelFor(bands, [&](int band, int) {
    const int y0 = static_cast<int>(int64_t{h} * band / bands);
    const int y1 = static_cast<int>(int64_t{h} * (band + 1) / bands);
    if (y0 >= y1) return;
    std::vector<int32_t> column(4 * static_cast<size_t>(w), 0), row(4 * static_cast<size_t>(w));
    auto add_row = [&](int y, int32_t sign) {
      row_sums(y, row.data());
      for (size_t k = 0; k < column.size(); ++k) column[k] += sign * row[k];
    };
    // Rows y0 - r - 1 .. y0 + r - 1: the first step below adds y0 + r and
    // takes y0 - r - 1 away again.
    for (int y = std::max(y0 - r - 1, 0); y < std::min(y0 + r, h); ++y) add_row(y, 1);
    for (int y = y0; y < y1; ++y) {
      if (y + r < h) add_row(y + r, 1);
      if (y - r - 1 >= 0) add_row(y - r - 1, -1);
      for (int x = 0; x < w; ++x) {
        const size_t i = static_cast<size_t>(y) * w + x;
        for (int c = 0; c < 3; ++c)
          sums_[3 * i + c] = static_cast<float>(column[4 * x + c]);
        counts_[i] = column[4 * x + 3];
        UpdateMeans(static_cast<int32_t>(i));
      }
    }
  });
}

void CpuFastEngine::UpdateMeans(int32_t i) {
  const int side = kernels::window_side(params_.radius);
  if (counts_[i] != side * side) return;
  const float n = static_cast<float>(counts_[i]);
  for (int k = 0; k < 3; ++k)
    means_[k * pixels() + i] = kernels::fdiv_rn(sums_[3 * i + k], n);
}

bool CpuFastEngine::PrepareTarget(Search& s, int32_t x, int32_t y) {
  const int w = params_.width, h = params_.height, r = params_.radius;
  for (Band& band : s.bands) band.buckets = 0;
  // Only centres whose window fits can be candidates (their count must
  // reach side^2), and only within the search radius.
  s.box = kernels::candidate_box(x, y, w, h, r, params_.search_radius, true);
  s.box_width = s.box.x1 - s.box.x0;
  const int32_t t = y * w + x;
  if (counts_[t] == 0 || s.box.empty()) return false;
  const float nt = static_cast<float>(counts_[t]);
  for (int k = 0; k < 3; ++k) {
    s.target_means[k] = kernels::fdiv_rn(sums_[3 * t + k], nt);
    s.target_sums[k] = static_cast<int32_t>(sums_[3 * t + k]);
  }
  // The keys' bound reads a candidate's bytes at every position the target
  // does not compare; it pays while they are few.
  const int side = kernels::window_side(r);
  s.bounded_keys = side * side - counts_[t] <= kMaxUncompared;
  s.uncompared.clear();
  for (int dy = -r; s.bounded_keys && dy <= r; ++dy)
    for (int dx = -r; dx <= r; ++dx) {
      const int tx = x + dx, ty = y + dy;
      if (tx < 0 || tx >= w || ty < 0 || ty >= h || mask_[ty * w + tx] != 0)
        s.uncompared.push_back(dy * w + dx);
    }
  s.window.Capture(image_.data(), mask_.data(), x, y, w, h, params_.stride, r,
                   plane_size_);
  s.target.Capture(image_.data(), mask_.data(), x, y, w, h, params_.stride, r,
                   true);
  return true;
}

void CpuFastEngine::ComputeKeys(Search& s, int band, int32_t threshold) {
  const int w = params_.width;
  const int side = kernels::window_side(params_.radius);
  uint32_t bits = 0;
  for (int cy = BoxBandBegin(s, band); cy < BoxBandBegin(s, band + 1); ++cy) {
    const size_t first = static_cast<size_t>(cy) * w + s.box.x0;
    KeyRow row;
    for (int k = 0; k < 3; ++k) row.means[k] = means_.data() + k * pixels() + first;
    row.counts = counts_.data() + first;
    row.allowed = allowed_.empty() ? nullptr : allowed_.data() + first;
    row.count = s.box_width;
    row.whole = side * side;
    for (int k = 0; k < 3; ++k) row.target[k] = s.target_means[k];
    if (s.bounded_keys && threshold != INT32_MAX) {
      row.threshold = threshold;
      row.centres = planes_.data() + first;
      row.plane_size = plane_size_;
      row.uncompared = s.uncompared.data();
      row.uncompared_count = static_cast<int>(s.uncompared.size());
      for (int k = 0; k < 3; ++k) row.target_sums[k] = s.target_sums[k];
    }
    bits |= key_row_(row, &s.bucket(s.box.x0, cy));
  }
  s.bands[band].buckets = bits;
}

uint8_t CpuFastEngine::BucketOf(const Search& s, int32_t i) const {
  KeyRow row;
  for (int k = 0; k < 3; ++k) row.means[k] = means_.data() + k * pixels() + i;
  row.counts = counts_.data() + i;
  row.allowed = allowed_.empty() ? nullptr : allowed_.data() + i;
  row.count = 1;
  row.whole = kernels::window_side(params_.radius) * kernels::window_side(params_.radius);
  for (int k = 0; k < 3; ++k) row.target[k] = s.target_means[k];
  uint8_t bucket = kNoBucket;
  KeyRowScalar(row, &bucket);
  return bucket;
}

int32_t CpuFastEngine::SumLimit(const Search& s, float bound) const {
  if (!(bound < kNotScored)) return INT32_MAX;
  const int64_t m = s.window.known();
  const float fm = static_cast<float>(m);
  // The largest integer sum f whose distance f / m does not exceed bound.
  int64_t f = static_cast<int64_t>(static_cast<double>(bound) * static_cast<double>(m));
  while (kernels::fdiv_rn(static_cast<float>(f + 1), fm) <= bound) ++f;
  while (f >= 0 && kernels::fdiv_rn(static_cast<float>(f), fm) > bound) --f;
  return f < 0 ? -1 : static_cast<int32_t>(std::min<int64_t>(f, INT32_MAX - 1));
}

// kernels::patch_distance's integer sum for a real candidate, whose window
// lies whole inside the image: the same terms over the same target pixels
// (the order of the terms does not matter to an int). Once a partial sum is
// above `limit` the candidate's distance can only be larger still.
int32_t CpuFastEngine::DistanceSum(const Search& s, int32_t i, int32_t limit) const {
  const int w = params_.width, r = params_.radius;
  const int32_t cy = i / w;
  const int32_t cx = i - cy * w;
  const uint8_t* top_left =
      planes_.data() + static_cast<size_t>(cy - r) * w + (cx - r);
  return patch_sum_(s.window, top_left, limit);
}

// A candidate above the best of earlier passes, or above a distance this
// pass already found, can neither win this pass nor tie with its winner,
// so it may be left out of the search.
bool CpuFastEngine::ScoreBucket(Search& s, int pass, bool spread, float* best,
                                int32_t* index) {
  const bool keys = pass == 0;
  const uint32_t bit = 1u << pass;
  if (!keys) {
    bool any = false;
    for (const Band& band : s.bands) any = any || (band.buckets & bit) != 0;
    if (!any) return false;
  }
  const int w = params_.width, r = params_.radius, stride = params_.stride;
  const float m = static_cast<float>(s.window.known());

  // Every distance of a target is an integer sum over the same m pixels
  // divided by m, so a bound on distances is a limit on sums: a candidate
  // whose sum is above the limit can neither win this pass nor tie with its
  // winner. The bands share the smallest limit found in this pass. A first
  // one comes from around where the last target found its source (the
  // candidates there that belong to this bucket).
  std::atomic<int32_t> shared{SumLimit(s, s.dis_min)};
  if (s.last_source >= 0) {
    const int sx = s.last_source % w + (s.fill_x - s.last_x);
    const int sy = s.last_source / w + (s.fill_y - s.last_y);
    for (int k = 0; k < kGuesses; ++k) {
      const int gx = sx + kGuessDx[k], gy = sy + kGuessDy[k];
      if (gx < s.box.x0 || gx >= s.box.x1 || gy < s.box.y0 || gy >= s.box.y1) continue;
      const int32_t g = gy * w + gx;
      if ((keys ? BucketOf(s, g) : s.bucket(gx, gy)) != pass) continue;
      const int32_t sum = DistanceSum(s, g, shared.load());
      if (sum != kSumDropped)
        shared.store(SumLimit(s, kernels::fdiv_rn(static_cast<float>(sum), m)));
    }
  }

  // Limits only fall during a target's passes: candidates that cannot beat
  // this pass's first limit never win a later pass either.
  const int32_t key_threshold = ScreenThreshold(s, shared.load());
  const int bands = static_cast<int>(s.bands.size());
  auto score_band = [&](int b) {
    Band& band = s.bands[b];
    band.best.Clear();
    if (keys) ComputeKeys(s, b, key_threshold);
    if ((band.buckets & bit) == 0) return;
    int32_t limit = shared.load(std::memory_order_relaxed);
    std::vector<int32_t>& columns = band.columns;
    int32_t screen[2] = {0, 0};
    bool screened = false;  // the current pair was screened
    for (int cy = BoxBandBegin(s, b); cy < BoxBandBegin(s, b + 1); ++cy) {
      const uint8_t* row_buckets = &s.bucket(s.box.x0, cy);
      const uint8_t* row_image = image_.data() + (cy - r) * stride - r * 3;
      // The row's candidates of this bucket, gathered without a branch.
      int found = 0;
      for (int j = 0; j < s.box_width; ++j) {
        columns[found] = s.box.x0 + j;
        found += row_buckets[j] == pass ? 1 : 0;
      }
      // Candidates are screened two at a time (the pair shares the loads of
      // the target), with the limit from before the first one's distance.
      for (int k = 0; k < found; ++k) {
        const int cx = columns[k];
        limit = std::min(limit, shared.load(std::memory_order_relaxed));
        if (window_sad_ != nullptr) {
          if (k % 2 == 0) {
            screened = limit != INT32_MAX;
            const int32_t threshold = ScreenThreshold(s, limit);
            if (screened && k + 1 < found)
              window_sad_pair_(s.target, row_image + cx * 3, row_image + columns[k + 1] * 3,
                               stride, threshold, screen);
            else if (screened)
              screen[0] = window_sad_(s.target, row_image + cx * 3, stride, threshold);
          }
          if (screened && screen[k % 2] == kSadDropped) continue;
        }
        const int32_t i = cy * w + cx;
        const int32_t sum = DistanceSum(s, i, limit);
        if (sum == kSumDropped) continue;
        const float d = kernels::fdiv_rn(static_cast<float>(sum), m);
        // Ties go by the picture index, the same in a crop as in the whole.
        band.best.Offer(crop_.ToPicture(i), d);
        if (sum < limit) {
          // The largest sum that still ties with this candidate.
          limit = SumLimit(s, d);
          int32_t current = shared.load(std::memory_order_relaxed);
          while (limit < current && !shared.compare_exchange_weak(
                                        current, limit, std::memory_order_relaxed)) {
          }
        }
      }
    }
  };
  if (spread)
    pool_->ParallelFor(bands, [&](int b, int) { score_band(b); });
  else
    for (int b = 0; b < bands; ++b) score_band(b);
  PassBest& all = s.bands[0].best;
  for (int b = 1; b < bands; ++b) all.Merge(s.bands[b].best);
  *best = all.distance;
  *index = all.index >= 0 ? crop_.ToCrop(all.index) : all.index;
  return all.index >= 0;
}

void CpuFastEngine::UpdateSums(int32_t x, int32_t y) {
  const int w = params_.width, h = params_.height, r = params_.radius;
  const int side = kernels::window_side(r);
  for (int i = 0; i < side * side; ++i)
    kernels::update_window_sums(image_.data(), mask_.data(), w, h,
                                params_.stride, r, x, y, sums_.data(),
                                counts_.data(), i);
  if (mask_[y * w + x] != 0) return;  // not filled: nothing changed
  for (int cy = std::max(y - r, 0); cy <= std::min(y + r, h - 1); ++cy)
    for (int cx = std::max(x - r, 0); cx <= std::min(x + r, w - 1); ++cx)
      UpdateMeans(cy * w + cx);
}

// The device searches the whole distance buffer after every pass and lets
// its minimum replace the best only when strictly smaller. The best so far
// is the minimum of the entries of earlier passes, so a replacement happens
// exactly when this pass added a smaller distance, and then every entry
// holding the new minimum is one of this pass: searching the new entries
// alone picks the same index.
void CpuFastEngine::FillTarget(Search& s, int32_t x, int32_t y, bool spread) {
  s.fill_x = x;
  s.fill_y = y;
  s.dis_min = kNotScored;
  const bool any = PrepareTarget(s, x, y);
  int pass = 0;
  for (;;) {
    float pass_min = kNotScored;
    int32_t pass_index = 0;
    if (any && ScoreBucket(s, pass, spread, &pass_min, &pass_index))
      kernels::carry_best(pass_min, pass_index, &s.dis_min, &s.idx_min);
    ++pass;
    if (kernels::stop_after_pass(pass - 1, s.dis_min) || pass == kMaxFastPasses)
      break;
  }
  s.last_passes = pass;
  total_passes_.fetch_add(static_cast<uint64_t>(pass), std::memory_order_relaxed);
  s.last_source = -1;
  if (kernels::fill_from_best(image_.data(), mask_.data(), x, y, params_.width,
                              params_.stride, s.dis_min, s.idx_min, s.fill_pos,
                              sources())) {
    s.last_source = s.idx_min;
    s.last_x = x;
    s.last_y = y;
    const size_t at = static_cast<size_t>(y) * params_.width + x;
    const uint8_t* filled = image_.data() + y * params_.stride + 3 * x;
    for (int c = 0; c < 3; ++c) planes_[c * plane_size_ + at] = filled[c];
  }
  UpdateSums(x, y);
}

void CpuFastEngine::FillPixel(int32_t x, int32_t y) {
  FillTarget(*searches_[0], x, y, true);
}

// Targets ReadyTargets hands out at the same time lie more than `reach`
// apart: neither reads what the other writes (the pixel, its window sums
// and means within the window radius), so each thread may search and fill
// its own from start to end. The pool is busy with this loop: a thread
// scores its target's bands itself.
void CpuFastEngine::FillReady(const std::vector<int32_t>& order, int32_t begin,
                              int32_t end, int32_t width, int32_t reach) {
  if (pool_->active() < 2 || params_.search_radius < 0) {
    FillRun(order, begin, end, width);
    return;
  }
  ReadyTargets ready(order.data(), begin, end, width, reach);
  std::exception_ptr failure;
  std::mutex failure_mutex;
  pool_->ParallelFor(pool_->active(), [&](int, int worker) {
    // A thread that runs a second chunk after its first finds nothing left.
    Search& s = *searches_[static_cast<size_t>(worker)];
    try {
      for (int32_t k = ready.Take(); k >= 0; k = ready.Take()) {
        FillTarget(s, order[k] % width, order[k] / width, false);
        ready.Done(k);
      }
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(failure_mutex);
        if (!failure) failure = std::current_exception();
      }
      ready.Stop();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace pw
