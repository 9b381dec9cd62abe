#include "fill/cpu/box_sum_bound.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace pw {

void BoxSumBound::Init(const uint8_t* image, int width, int height, int stride,
                       int radius, ThreadPool* pool) {
  Release();
  width_ = width;
  height_ = height;
  radius_ = radius;
  if (!BoxSums::Affordable(width, height)) return;
  try {
    sums_.Init(image, width, height, stride, radius, pool);
  } catch (const std::bad_alloc&) {
    sums_.Release();
  }
}

// The group ranges are made on the first row long enough to use them:
// searches of short rows never pay for them. Rows of one search may ask
// side by side.
const BoxGroupRanges* BoxSumBound::Groups() const {
  if (!groups_made_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(groups_lock_);
    if (!groups_made_.load(std::memory_order_relaxed)) {
      try {
        groups_.Init(sums_, height_);
      } catch (const std::bad_alloc&) {
        groups_.Release();  // an optional speed-up, as the sums
      }
      groups_made_.store(true, std::memory_order_release);
    }
  }
  return groups_.ready() ? &groups_ : nullptr;
}

void BoxSumBound::Release() {
  sums_.Release();
  groups_.Release();
  groups_made_.store(false, std::memory_order_relaxed);
  stale_.reset();
  stale_tiles_.reset();
  tile_count_ = 0;
  deferred_.clear();
  deferring_ = false;
}

void BoxSumBound::Row(const RowRunBound& runs, int cy, int x0, int count,
                      int32_t* out) const {
  row_bounds_(runs, sums_, cy, radius_, x0, count, out);
  if (!deferring_) return;
  // Centres whose windows hold a pixel filled since the sums were brought
  // up to date get no bound. One bit per centre keeps the map in a core's
  // own cache; the tiles tell where it needs reading.
  const std::atomic<uint8_t>* tiles =
      stale_tiles_.get() + static_cast<size_t>(cy / kTile) * tiles_x_;
  uint8_t any = 0;
  for (int t = x0 / kTile; t <= (x0 + count - 1) / kTile; ++t)
    any |= tiles[t].load(std::memory_order_relaxed);
  if (any == 0) return;
  const size_t first = static_cast<size_t>(cy) * width_ + x0;
  const size_t end = first + static_cast<size_t>(count);
  for (size_t word = first / 64; word * 64 < end; ++word) {
    uint64_t bits = stale_[word].load(std::memory_order_relaxed);
    if (bits == 0) continue;
    const size_t base = word * 64;
    if (base < first) bits &= ~uint64_t{0} << (first - base);
    if (end - base < 64) bits &= (uint64_t{1} << (end - base)) - 1;
    for (; bits != 0; bits &= bits - 1)
      out[base + static_cast<size_t>(__builtin_ctzll(bits)) - first] = 0;
  }
}

int BoxSumBound::Pick(const RowRunBound& runs, int cy, int x0, int count,
                      const uint8_t* blocked, const int32_t* unknown, int32_t limit,
                      int32_t* picks, int32_t* lower) const {
  // Stale centres need their bound of 0 before the picks. Rows shorter
  // than kGroupRowMin lie in a core's cache and are too short for groups
  // to pay: the two passes are faster there, as measured.
  if (deferring_ || count < kGroupRowMin) {
    Row(runs, cy, x0, count, lower);
    const int picked = pick_candidates_(blocked, unknown, lower, limit, count, picks);
    PrefetchRow(runs, cy + 1, x0, count, blocked, unknown);
    return picked;
  }
  const BoundPickRow row{&runs, &sums_, Groups(),
                         cy, radius_, x0, count, blocked, unknown, limit};
  return bound_picks_(row, picks, lower);
}

namespace {
// Hints the lines of `bytes` bytes from `at` on into the cache. A hint
// never faults, so `at` is kept as a number: it may lie outside any array.
inline void PrefetchLines(uintptr_t at, size_t bytes) {
  for (uintptr_t line = at & ~uintptr_t{63}; line < at + bytes; line += 64)
    __builtin_prefetch(reinterpret_cast<const void*>(line));
}
}  // namespace

// A row's bound reads a dozen rows of the sums, each a picture row apart
// from the next, that the window sums of the row before have pushed out of
// the first-level cache, at addresses no hardware prefetcher follows: the
// next row's reads start now, while the caller sums this row's picks.
void BoxSumBound::PrefetchRow(const RowRunBound& runs, int cy, int x0, int count,
                              const uint8_t* blocked, const int32_t* unknown) const {
  if (cy >= height_) return;
  const size_t width = static_cast<size_t>(width_);
  // The caller's maps are a picture row wide where they are its own (a row
  // it made for the target alone gets a useless hint).
  PrefetchLines(reinterpret_cast<uintptr_t>(unknown) + width * sizeof(int32_t),
                static_cast<size_t>(count) * sizeof(int32_t));
  PrefetchLines(reinterpret_cast<uintptr_t>(blocked) + width, static_cast<size_t>(count));
  for (int j = 0; j < runs.runs; ++j) {
    const int hi = cy - radius_ + runs.last_row[j];
    const int lo = cy - radius_ + runs.first_row[j] - 1;
    if (hi >= height_ || lo < -1) continue;  // no window of a centre there
    for (int c = 0; c < 3; ++c) {
      // The block parts change once in kBlockRows rows: they stay cached.
      const size_t base = static_cast<size_t>(c) * width + x0;
      PrefetchLines(reinterpret_cast<uintptr_t>(sums_.q(hi) + base),
                    static_cast<size_t>(count) * sizeof(uint16_t));
      PrefetchLines(reinterpret_cast<uintptr_t>(sums_.q(lo) + base),
                    static_cast<size_t>(count) * sizeof(uint16_t));
    }
  }
}

void BoxSumBound::BeginSideBySide(int workers) {
  if (!ready()) return;
  if (!stale_) {
    const size_t words = (static_cast<size_t>(width_) * height_ + 63) / 64;
    stale_.reset(new std::atomic<uint64_t>[words]);
    for (size_t k = 0; k < words; ++k) stale_[k] = 0;
    tiles_x_ = (width_ + kTile - 1) / kTile;
    tile_count_ = static_cast<size_t>(tiles_x_) * ((height_ + kTile - 1) / kTile);
    stale_tiles_.reset(new std::atomic<uint8_t>[tile_count_]);
    for (size_t k = 0; k < tile_count_; ++k) stale_tiles_[k] = 0;
  }
  if (static_cast<int>(deferred_.size()) < workers)
    deferred_.resize(static_cast<size_t>(workers));
  deferring_ = true;
}

// The changes that waited add up in any order; then no centre is stale.
// Each thread applies every change to its own range of blocks.
void BoxSumBound::EndSideBySide(ThreadPool* pool) {
  if (!deferring_) return;
  deferring_ = false;
  const int blocks = sums_.blocks();
  const int chunks = pool == nullptr ? 1 : std::max(1, std::min(blocks, pool->active()));
  auto apply = [&](int chunk, int) {
    const int b0 = blocks * chunk / chunks, b1 = blocks * (chunk + 1) / chunks;
    for (const std::vector<Change>& changes : deferred_)
      for (const Change& c : changes) {
        sums_.Update(c.x, c.y, c.before, c.after, b0, b1);
        MarkStale(c.x, c.y, false, b0 * BoxSums::kBlockRows, b1 * BoxSums::kBlockRows);
      }
  };
  if (chunks == 1)
    apply(0, 0);
  else
    pool->ParallelFor(chunks, apply);
  // The group ranges read the sums of a changed row: they follow once
  // every block is up to date.
  if (groups_made_.load(std::memory_order_relaxed) && groups_.ready())
    for (const std::vector<Change>& changes : deferred_)
      for (const Change& c : changes) groups_.Update(sums_, c.x, c.y, radius_);
  for (std::vector<Change>& changes : deferred_) changes.clear();
  for (size_t k = 0; k < tile_count_; ++k) stale_tiles_[k].store(0, std::memory_order_relaxed);
}

void BoxSumBound::Changed(int worker, int x, int y, const uint8_t* before,
                          const uint8_t* after) {
  if (!ready()) return;
  if (!deferring_) {
    Apply(x, y, before, after);
    return;
  }
  deferred_[static_cast<size_t>(worker)].push_back(
      {x, y, {before[0], before[1], before[2]}, {after[0], after[1], after[2]}});
  MarkStale(x, y, true);
  MarkStaleTiles(x, y);
}

void BoxSumBound::MarkStaleTiles(int x, int y) {
  const int r = radius_;
  const int tx0 = std::max(0, x - r) / kTile, tx1 = std::min(width_ - 1, x + r) / kTile;
  const int ty0 = std::max(0, y - r) / kTile, ty1 = std::min(height_ - 1, y + r) / kTile;
  for (int ty = ty0; ty <= ty1; ++ty)
    for (int tx = tx0; tx <= tx1; ++tx)
      stale_tiles_[static_cast<size_t>(ty) * tiles_x_ + tx].store(1, std::memory_order_relaxed);
}

void BoxSumBound::Apply(int x, int y, const uint8_t* before, const uint8_t* after) {
  sums_.Update(x, y, before, after);
  if (groups_made_.load(std::memory_order_relaxed) && groups_.ready())
    groups_.Update(sums_, x, y, radius_);
}

// Marks (or clears) the centres whose windows hold (x, y). Two fills side
// by side may share a word of the map, hence the atomic updates.
void BoxSumBound::MarkStale(int x, int y, bool stale, int row_begin, int row_end) {
  const int r = radius_;
  const int x0 = std::max(0, x - r), x1 = std::min(width_ - 1, x + r);
  const int y0 = std::max({0, y - r, row_begin});
  const int y1 = std::min({height_ - 1, y + r, row_end - 1});
  for (int yy = y0; yy <= y1; ++yy) {
    const size_t first = static_cast<size_t>(yy) * width_ + x0;
    const size_t last = static_cast<size_t>(yy) * width_ + x1;
    for (size_t word = first / 64; word <= last / 64; ++word) {
      const size_t lo = std::max(first, word * 64) - word * 64;
      const size_t hi = std::min(last, word * 64 + 63) - word * 64;
      const uint64_t bits = (hi == 63 ? ~uint64_t{0} : (uint64_t{1} << (hi + 1)) - 1) &
                            (~uint64_t{0} << lo);
      if (stale)
        stale_[word].fetch_or(bits, std::memory_order_relaxed);
      else
        stale_[word].fetch_and(~bits, std::memory_order_relaxed);
    }
  }
}

}  // namespace pw
