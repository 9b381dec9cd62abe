#include "fill/cpu/cpu_exhaustive.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <string>

#include "fill/cpu/run_copy.h"
#include "fill/kernels/exhaustive.h"
#include "schedule/regions.h"

namespace pw {

using kernels::kNoCandidate;

namespace {
// Float sums of integers are exact below 2^24.
constexpr int32_t kExactFloatLimit = 1 << 24;
}  // namespace

CpuExhaustiveEngine::Search::Search(int chunks)
    : window(kernels::kConstWindowBytes, 0), partial(static_cast<size_t>(chunks)),
      facing_unknown(static_cast<size_t>(chunks)),
      lower_bounds(static_cast<size_t>(chunks)), picks(static_cast<size_t>(chunks)),
      tallies(static_cast<size_t>(chunks)) {}

CpuExhaustiveEngine::CpuExhaustiveEngine(const EngineParams& params,
                                         int threads)
    : CpuRunBuffers(params), threads_(std::max(1, threads)), crop_(params),
      window_sad_(SelectWindowSad(ActiveSimdLevel())),
      row_scan_(SelectRowScan(ActiveSimdLevel())),
      pick_candidates_(SelectPickCandidates(ActiveSimdLevel())) {}

CpuExhaustiveEngine::~CpuExhaustiveEngine() { Release(); }

void CpuExhaustiveEngine::Start(const uint8_t* image, const uint8_t* mask) {
  const size_t image_bytes = this->image_bytes();
  const size_t pixels = this->pixels();
  try {
    CopyIn(image, mask);
    unknown_counts_.assign(pixels, 0);
    domain_ = kernels::SearchDomain{params_.search_radius, nullptr};
    if (params_.source_mask != nullptr) {
      allowed_.assign(params_.source_mask, params_.source_mask + pixels);
      centre_blocked_.resize(pixels);
      for (size_t i = 0; i < pixels; ++i)
        centre_blocked_[i] = static_cast<uint8_t>(mask_[i] != 0 || allowed_[i] == 0);
      domain_.allowed = allowed_.data();
    }
    pool_ = params_.cpu_pool ? params_.cpu_pool : std::make_shared<ThreadPool>(threads_);
    threads_ = pool_->active();
    searches_.clear();
    searches_.push_back(std::make_unique<Search>(
        std::max(kJoinChunks, std::min(params_.height, threads_ * 8))));
  } catch (const std::bad_alloc&) {
    Release();
    throw CpuMemoryError(image_bytes + 6 * pixels + kernels::kConstWindowBytes +
                         (params_.record_sources ? 4 * pixels : 0));
  }
  InitUnknownCounts();
  if (params_.radius <= kernels::kMaxConstRadius)
    bound_.Init(image_.data(), params_.width, params_.height, params_.stride,
                params_.radius, pool_.get());
}

void CpuExhaustiveEngine::Release() noexcept {
  pool_.reset();
  ReleaseCopies();
  searches_.clear();
  std::vector<int32_t>().swap(unknown_counts_);
  std::vector<uint8_t>().swap(allowed_);
  std::vector<uint8_t>().swap(centre_blocked_);
  bound_.Release();
}

namespace {

// Pixels equal to 1 in each (clipped) run of 2r + 1 of a mask row.
void AddRowCounts(const uint8_t* m, int w, int r, int sign, int32_t* sums) {
  int32_t run = 0;
  for (int x = 0; x < std::min(r, w); ++x) run += m[x] == 1;
  for (int x = 0; x < w; ++x) {
    if (x + r < w) run += m[x + r] == 1;
    if (x - r - 1 >= 0) run -= m[x - r - 1] == 1;
    sums[x] += sign * run;
  }
}

}  // namespace

// Counts, for every pixel, the pixels equal to 1 in its (clipped) window:
// down each band of rows, a running sum of the row counts, to which the
// row entering the window adds and from which the one leaving subtracts.
// The bands run on the pool's threads.
void CpuExhaustiveEngine::InitUnknownCounts() {
  const int w = params_.width, h = params_.height, r = params_.radius;
  const uint8_t* mask = mask_.data();
  const int chunks = std::max(1, std::min(h / 64, pool_->active()));
  std::vector<std::vector<int32_t>> columns(static_cast<size_t>(chunks),
                                            std::vector<int32_t>(static_cast<size_t>(w)));
  auto band = [&](int chunk, int) {
    const int b = static_cast<int>(int64_t{h} * chunk / chunks);
    const int e = static_cast<int>(int64_t{h} * (chunk + 1) / chunks);
    int32_t* sums = columns[static_cast<size_t>(chunk)].data();
    for (int y = std::max(0, b - r); y < std::min(h, b + r); ++y)
      AddRowCounts(mask + static_cast<size_t>(y) * w, w, r, 1, sums);
    for (int y = b; y < e; ++y) {
      if (y + r < h) AddRowCounts(mask + static_cast<size_t>(y + r) * w, w, r, 1, sums);
      if (y > b && y - r - 1 >= 0)
        AddRowCounts(mask + static_cast<size_t>(y - r - 1) * w, w, r, -1, sums);
      std::copy(sums, sums + w, unknown_counts_.begin() + static_cast<ptrdiff_t>(y) * w);
    }
  };
  if (chunks == 1)
    band(0, 0);
  else
    pool_->ParallelFor(chunks, band);
}

void CpuExhaustiveEngine::BuildUnknownTable(Search& s,
                                            const kernels::CandidateBox& box) const {
  const int w = params_.width, r = params_.radius;
  s.table_x0 = box.x0 - r;
  s.table_y0 = box.y0 - r;
  const int cols = box.x1 - box.x0 + 2 * r, rows = box.y1 - box.y0 + 2 * r;
  s.table_stride = static_cast<size_t>(cols) + 1;
  const size_t size = s.table_stride * (static_cast<size_t>(rows) + 1);
  if (s.unknown_table.size() < size) s.unknown_table.resize(size);
  std::fill(s.unknown_table.begin(), s.unknown_table.begin() + s.table_stride, 0);
  for (int k = 0; k < rows; ++k) {
    const uint8_t* m = mask_.data() + static_cast<size_t>(s.table_y0 + k) * w + s.table_x0;
    const int32_t* above = &s.unknown_table[k * s.table_stride];
    int32_t* row = &s.unknown_table[(k + 1) * s.table_stride];
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
int32_t CpuExhaustiveEngine::UnknownIn(const Search& s, int x0, int y0, int x1,
                                       int y1) {
  const size_t stride = s.table_stride;
  x0 -= s.table_x0;
  x1 -= s.table_x0;
  y0 -= s.table_y0;
  y1 -= s.table_y0;
  const std::vector<int32_t>& t = s.unknown_table;
  return t[(y1 + 1) * stride + x1 + 1] - t[y0 * stride + x1 + 1] -
         t[(y1 + 1) * stride + x0] + t[y0 * stride + x0];
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
      if (d < kNoCandidate) slots.Offer(crop_.ToPicture(i), d);
    }
  }
}

int32_t CpuExhaustiveEngine::ScoreInterior(const Search& s, int32_t i,
                                           int32_t bound) const {
  const int w = params_.width, r = params_.radius, stride = params_.stride;
  // Large windows are compared in float: past 2^24 two different sums may
  // round to the same distance and tie, so only a bound below 2^24 proves
  // that a larger sum loses.
  if (r > kernels::kMaxConstRadius && bound >= kExactFloatLimit) bound = INT32_MAX;
  const int cx = i % w, cy = i / w;
  const uint8_t* top_left = image_.data() + (cy - r) * stride + (cx - r) * 3;
  return window_sad_(s.target, top_left, stride, bound);
}

int32_t CpuExhaustiveEngine::SearchPruned(Search& s, int32_t x, int32_t y,
                                          bool spread, float* best) {
  const int w = params_.width, h = params_.height, r = params_.radius;
  // Only centres whose window fits, within the search radius, can qualify.
  const kernels::CandidateBox box =
      kernels::candidate_box(x, y, w, h, r, params_.search_radius, true);
  if (box.empty()) return -1;
  const uint8_t* mask = mask_.data();
  const uint8_t* blocked = CentreBlocked();
  s.target.Capture(image_.data(), mask, x, y, w, h, params_.stride, r);
  bound_.Prepare(s.target, &s.runs);

  // A candidate qualifies when no pixel of its window that faces an
  // in-image target position is unknown. For a target whose window lies
  // inside the image that is the whole window: the kept counts answer.
  // Near the border only the facing part counts: a table answers.
  const int j0 = std::max(0, r - x), j1 = std::min(2 * r, w - 1 - x + r);
  const int k0 = std::max(0, r - y), k1 = std::min(2 * r, h - 1 - y + r);
  const bool interior = j0 == 0 && k0 == 0 && j1 == 2 * r && k1 == 2 * r;
  if (!interior) BuildUnknownTable(s, box);
  auto facing_unknown = [&](int cx, int cy) {
    return UnknownIn(s, cx - r + j0, cy - r + k0, cx - r + j1, cy - r + k1);
  };
  const int32_t* counts = unknown_counts_.data();

  // A first bound from where the previous target found its source, shifted
  // by the step between the targets: neighbouring targets tend to match
  // neighbouring sources. The complete sum of any candidate of this target
  // is a valid bound.
  s.bound.store(INT32_MAX, std::memory_order_relaxed);
  if (s.last_source >= 0) {
    const int gx = s.last_source % w + (x - s.last_x);
    const int gy = s.last_source / w + (y - s.last_y);
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const int cx = gx + dx, cy = gy + dy;
        if (cx < box.x0 || cx >= box.x1 || cy < box.y0 || cy >= box.y1) continue;
        const int32_t i = cy * w + cx;
        const int32_t unknown = interior ? counts[i] : facing_unknown(cx, cy);
        if ((blocked[i] | unknown) != 0) continue;
        LowerBound(s.bound, ScoreInterior(s, i, s.bound.load(std::memory_order_relaxed)));
      }
  }

  const int rows = box.y1 - box.y0, cols = box.x1 - box.x0;
  // Small searches run on the calling thread alone: waking the pool, or
  // letting another thread join, would cost more than the work. A search
  // that is not spread over the pool runs beside others, in chunks that a
  // thread with nothing ready may join.
  const int64_t work = int64_t{rows} * cols *
                       static_cast<int64_t>(s.target.rows().size()) * (2 * r + 1);
  const int chunks =
      work < 200000 || threads_ < 2
          ? 1
          : std::min(spread ? static_cast<int>(s.partial.size()) : kJoinChunks, rows);
  for (int c = 0; c < chunks; ++c) {
    if (s.facing_unknown[c].size() < static_cast<size_t>(cols))
      s.facing_unknown[c].resize(static_cast<size_t>(cols));
    if (s.lower_bounds[c].size() < static_cast<size_t>(cols))
      s.lower_bounds[c].resize(static_cast<size_t>(cols));
    if (s.picks[c].size() < static_cast<size_t>(cols) + 8)
      s.picks[c].resize(static_cast<size_t>(cols) + 8);
  }
  const bool float_sums = r > kernels::kMaxConstRadius;
  auto scan = [&](int chunk, int) {
    const int b = box.y0 + static_cast<int>(int64_t{rows} * chunk / chunks);
    const int e = box.y0 + static_cast<int>(int64_t{rows} * (chunk + 1) / chunks);
    SlotMinimum& slots = s.partial[chunk];
    slots.Clear();
    int32_t* scratch = s.facing_unknown[chunk].data();
    for (int cy = b; cy < e; ++cy) {
      const int32_t first = cy * w + box.x0;
      const int32_t* unknown = counts + first;
      if (!interior) {
        for (int c = 0; c < cols; ++c)
          scratch[c] = blocked[first + c] != 0 ? 1 : facing_unknown(box.x0 + c, cy);
        unknown = scratch;
      }
      if (!float_sums) {
        int32_t* lower = nullptr;
        int32_t* picks = s.picks[chunk].data();
        const int32_t limit = s.bound.load(std::memory_order_relaxed);
        int picked;
        if (s.runs.runs > 0) {
          // The bounds and the picks in one pass: lower holds the picks' bounds.
          lower = s.lower_bounds[chunk].data();
          picked = bound_.Pick(s.runs, cy, box.x0, cols, blocked + first, unknown, limit,
                               picks, lower);
        } else {
          picked = pick_candidates_(blocked + first, unknown, nullptr, limit, cols, picks);
        }
        // Slots go by picture indices, which run on along a row.
        const CandidateRow row{
            image_.data() + (cy - r) * params_.stride + (box.x0 - r) * 3,
            crop_.ToPicture(first), params_.stride, picks, picked, lower,
            &s.tallies[chunk]};
        row_scan_(s.target, row, s.bound, slots);
        continue;
      }
      for (int c = 0; c < cols; ++c) {
        const int32_t i = first + c;
        if ((blocked[i] | unknown[c]) != 0) continue;
        const int32_t sum = ScoreInterior(s, i, s.bound.load(std::memory_order_relaxed));
        if (sum == kSadDropped) continue;
        LowerBound(s.bound, sum);
        float d = static_cast<float>(sum);
        if (sum >= kExactFloatLimit)
          // Large windows are summed in float, which rounds past 2^24.
          d = kernels::general_distance(image_.data(), mask, x, y, w, h,
                                        params_.stride, r, 0.0f, 0, i);
        slots.Offer(crop_.ToPicture(i), d);
      }
    }
  };
  if (chunks == 1)
    scan(0, 0);
  else if (spread)
    pool_->ParallelFor(chunks, scan);
  else
    s.loop.Run(chunks, [&](int chunk) { scan(chunk, 0); });
  for (int c = 1; c < chunks; ++c) s.partial[0].MergeLater(s.partial[c]);
  const int32_t winner = s.partial[0].Select(kNoCandidate, best);
  return winner < 0 ? -1 : crop_.ToCrop(winner);
}

int32_t CpuExhaustiveEngine::SearchGeneric(Search& s, int32_t x, int32_t y,
                                           bool spread, float* best) {
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
  const int chunks = spread ? std::min(static_cast<int>(s.partial.size()), rows) : 1;
  auto run = [&](const auto& score) {
    auto rows_of = [&](int chunk, int) {
      const int b = row_begin + static_cast<int>(int64_t{rows} * chunk / chunks);
      const int e =
          row_begin + static_cast<int>(int64_t{rows} * (chunk + 1) / chunks);
      ScoreRows(b, e, col_begin, col_end, score, s.partial[chunk]);
    };
    if (chunks == 1)
      rows_of(0, 0);
    else
      pool_->ParallelFor(chunks, rows_of);
  };

  if (const_path && r <= kernels::kMaxConstRadius) {
    // Stage the in-image part of the target window, byte by byte as the
    // device's 2D copy does.
    const kernels::WindowCopy c =
        kernels::target_window_copy(x, y, w, h, stride, r);
    const int total = c.row_bytes * c.rows;
    for (int i = 0; i < total; ++i)
      kernels::copy_2d_byte(s.window.data() + c.dst_offset, c.dst_pitch,
                            image + c.src_offset, total, c.src_pitch,
                            c.row_bytes, i);
    const uint8_t* window = s.window.data();
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
  for (int c = 1; c < chunks; ++c) s.partial[0].MergeLater(s.partial[c]);
  const int32_t winner = s.partial[0].Select(kNoCandidate, best);
  return winner < 0 ? -1 : crop_.ToCrop(winner);
}

void CpuExhaustiveEngine::FillPixel(int32_t x, int32_t y) {
  Fill(*searches_[0], x, y, true);
}

void CpuExhaustiveEngine::Fill(Search& s, int32_t x, int32_t y, bool spread) {
  const int w = params_.width;
  const bool fast = params_.missing_tolerance == 0.0f &&
                    params_.candidate_mask_value == 0;
  float best = kNoCandidate;
  const int32_t index =
      fast ? SearchPruned(s, x, y, spread, &best) : SearchGeneric(s, x, y, spread, &best);
  if (fast || index >= 0) {
    // Remember where this target found its source (the next first bound).
    s.last_x = x;
    s.last_y = y;
  }
  s.last_source = -1;
  if (index < 0) return;
  const size_t t = static_cast<size_t>(y) * w + x;
  const bool was_unknown = mask_[t] == 1;
  uint8_t* pixel = image_.data() + static_cast<size_t>(y) * params_.stride + 3 * x;
  const uint8_t before[3] = {pixel[0], pixel[1], pixel[2]};
  if (kernels::fill_target(image_.data(), mask_.data(), x, y, w,
                           params_.stride, best, index, nullptr, sources())) {
    s.last_source = index;
    if (was_unknown) UpdateUnknownCounts(x, y);
    if (!centre_blocked_.empty()) centre_blocked_[t] = allowed_[t] == 0;
    bound_.Changed(s.worker, x, y, before, pixel);
  }
}

void CpuExhaustiveEngine::FillReady(const std::vector<int32_t>& order,
                                    int32_t begin, int32_t end, int32_t width,
                                    int32_t reach) {
  const int threads = pool_->active();
  if (threads < 2 || params_.search_radius < 0 || end - begin < 2) {
    FillRun(order, begin, end, width);
    return;
  }
  bound_.BeginSideBySide(threads);
  while (static_cast<int>(searches_.size()) < threads) {
    searches_.push_back(std::make_unique<Search>(kJoinChunks));
    searches_.back()->worker = static_cast<int>(searches_.size()) - 1;
  }
  ReadyTargets ready(order.data(), begin, end, width, reach);
  std::exception_ptr fault;
  std::mutex fault_lock;
  // A thread with no target ready joins the searches running beside it.
  auto help = [&](int worker) {
    bool helped = false;
    for (int other = 0; other < threads; ++other)
      if (other != worker) helped |= searches_[other]->loop.Help();
    return helped;
  };
  const bool spin = pool_->spins();
  pool_->ParallelFor(threads, [&](int, int worker) {
    Search& s = *searches_[worker];
    const std::function<bool()> idle = [&] { return help(worker); };
    for (int32_t k; (k = ready.Take(idle, spin)) >= 0;) {
      try {
        Fill(s, order[k] % width, order[k] / width, false);
      } catch (...) {
        std::lock_guard<std::mutex> guard(fault_lock);
        if (!fault) fault = std::current_exception();
        ready.Stop();
      }
      ready.Done(k);
    }
  });
  bound_.EndSideBySide(pool_.get());
  if (fault) std::rethrow_exception(fault);
}

}  // namespace pw
