#include "schedule/fill_list.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pw {

int32_t UnknownNeighbourCount(const uint8_t* mask, int32_t x, int32_t y,
                              int32_t width, int32_t height, int32_t radius) {
  int32_t count = 0;
  for (int32_t ny = y - radius; ny <= y + radius; ++ny) {
    for (int32_t nx = x - radius; nx <= x + radius; ++nx) {
      if (nx == x && ny == y) continue;
      if (nx < 0 || ny < 0 || nx >= width || ny >= height ||
          mask[ny * width + nx] == 1)
        ++count;
    }
  }
  return count;
}

namespace {

// The smallest box (columns x0..x1 - 1, rows y0..y1 - 1) holding every
// pixel whose mask byte is 1; empty (x0 >= x1) when there is none.
struct NoiseBox {
  int32_t x0, y0, x1, y1;
};

NoiseBox FindNoiseBox(const uint8_t* mask, int32_t width, int32_t height) {
  NoiseBox box{width, height, 0, 0};
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = mask + static_cast<size_t>(y) * width;
    const uint8_t* first = std::find(row, row + width, uint8_t{1});
    if (first == row + width) continue;
    const int32_t last = static_cast<int32_t>(
        width - 1 - (std::find(std::make_reverse_iterator(row + width),
                               std::make_reverse_iterator(row), uint8_t{1}) -
                     std::make_reverse_iterator(row + width)));
    box.x0 = std::min(box.x0, static_cast<int32_t>(first - row));
    box.x1 = std::max(box.x1, last + 1);
    box.y0 = std::min(box.y0, y);
    box.y1 = y + 1;
  }
  return box;
}

// Calls f(x, y, score) for every noise pixel of `box`, row by row, left to
// right, in O(1) each. The score equals UnknownNeighbourCount: positions
// outside the image plus noise positions inside it, less the centre
// (itself a noise pixel). Noise lies in the box only: running sums down
// its columns count the noise of each column within the window's rows, and
// a prefix sum across them answers each window. The work follows the
// damage's box, the memory one row of it.
template <class F>
void ForEachScore(const uint8_t* mask, int32_t width, int32_t height, int32_t radius,
                  const NoiseBox& box, const F& f) {
  const int32_t cols = box.x1 - box.x0;
  std::vector<int32_t> column(static_cast<size_t>(cols), 0);
  std::vector<int32_t> prefix(static_cast<size_t>(cols) + 1, 0);
  auto add_row = [&](int32_t y, int32_t sign) {
    if (y < box.y0 || y >= box.y1) return;
    const uint8_t* m = mask + static_cast<size_t>(y) * width + box.x0;
    for (int32_t x = 0; x < cols; ++x) column[x] += sign * (m[x] == 1);
  };
  const int64_t side = 2 * static_cast<int64_t>(radius) + 1;
  for (int32_t y = box.y0 - radius; y < box.y0 + radius; ++y) add_row(y, 1);
  for (int32_t y = box.y0; y < box.y1; ++y) {
    add_row(y + radius, 1);
    add_row(y - radius - 1, -1);
    const uint8_t* row = mask + static_cast<size_t>(y) * width;
    if (std::find(row + box.x0, row + box.x1, uint8_t{1}) == row + box.x1) continue;
    for (int32_t x = 0; x < cols; ++x) prefix[x + 1] = prefix[x] + column[x];
    const int32_t y0 = std::max(y - radius, 0), y1 = std::min(y + radius, height - 1);
    for (int32_t x = box.x0; x < box.x1; ++x) {
      if (row[x] != 1) continue;
      const int32_t x0 = std::max(x - radius, 0), x1 = std::min(x + radius, width - 1);
      const int64_t inside = int64_t{x1 - x0 + 1} * (y1 - y0 + 1);
      const int64_t noise = int64_t{prefix[std::min(x1 + 1, box.x1) - box.x0]} -
                            prefix[std::max(x0, box.x0) - box.x0];
      f(x, y, static_cast<int32_t>(side * side - inside + noise - 1));
    }
  }
}

// Heap in array form, smallest score on top, comparing scores only. The
// exact hole-moving procedure decides the order of equal scores.
void HeapPush(std::vector<RankEntry>& heap, RankEntry entry) {
  heap.push_back(entry);
  size_t hole = heap.size() - 1;
  while (hole > 0) {
    const size_t parent = (hole - 1) / 2;
    if (heap[parent].score <= entry.score) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = entry;
}

void HeapPop(std::vector<RankEntry>& heap) {
  if (heap.size() == 1) {
    heap.pop_back();
    return;
  }
  const RankEntry last = heap.back();
  const size_t bottom = heap.size() - 1;
  const size_t limit = (bottom - 1) / 2;
  size_t hole = 0;
  while (hole < limit) {
    size_t child = 2 * hole + 2;
    if (heap[child].score > heap[child - 1].score) --child;
    heap[hole] = heap[child];
    hole = child;
  }
  if (hole == limit && bottom % 2 == 0) {
    heap[hole] = heap[bottom - 1];
    hole = bottom - 1;
  }
  while (hole > 0) {
    const size_t parent = (hole - 1) / 2;
    if (heap[parent].score <= last.score) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = last;
  heap.pop_back();
}

}  // namespace

void RankNoisePixels(FillList& list, const uint8_t* mask, int32_t width,
                     int32_t height, int32_t radius) {
  list.ranked.clear();
  list.order.clear();
  list.heap.clear();
  list.next = 0;
  list.width = width;
  list.height = height;
  if (width <= 0 || height <= 0) return;

  const NoiseBox box = FindNoiseBox(mask, width, height);
  if (box.x0 >= box.x1) return;
  ForEachScore(mask, width, height, radius, box, [&](int32_t x, int32_t y, int32_t score) {
    HeapPush(list.heap, RankEntry{score, y * width + x});
  });
  list.ranked.reserve(list.heap.size());
  while (!list.heap.empty()) {
    list.ranked.push_back(list.heap.front());
    HeapPop(list.heap);
  }
  std::vector<RankEntry>().swap(list.heap);
}

namespace {

// The stored scores of `ranked`, for the peel's search of a lowered
// entry's new place: right after the nearest place before it (and after the
// cursor) whose stored score is at most the lowered score. A walk back over
// long runs of higher scores (large holes, whose inner pixels share a
// score) made the peel quadratic. Here the scores sit in blocks of 32 with
// the minimum of each block one level up, and so on: a search climbs until
// a block holds a hit and descends to its last one, a few vector compares
// per level, O(log n) in all. Scores fit 16 bits (at most 255^2 - 1).
class ScoreMinTree {
 public:
  static constexpr int kBits = 5;
  static constexpr size_t kFan = size_t{1} << kBits;

  explicit ScoreMinTree(const std::vector<RankEntry>& ranked) {
    std::vector<uint16_t> level(ranked.size());
    for (size_t k = 0; k < ranked.size(); ++k) level[k] = static_cast<uint16_t>(ranked[k].score);
    for (;;) {
      const size_t n = level.size();
      levels_.push_back(level);
      levels_.back().resize((n + kFan - 1) / kFan * kFan, 0xFFFF);
      if (n <= 1) break;
      std::vector<uint16_t> up((n + kFan - 1) / kFan, 0xFFFF);
      for (size_t k = 0; k < n; ++k) up[k >> kBits] = std::min(up[k >> kBits], level[k]);
      level.swap(up);
    }
  }

  // The stored score at `place` (from the cursor on).
  int32_t Score(int32_t place) const { return levels_[0][static_cast<size_t>(place)]; }

  // Place `place` now holds `score`; the minima above follow, as far as
  // they change.
  void Set(int32_t place, int32_t score) {
    size_t k = static_cast<size_t>(place);
    uint16_t v = static_cast<uint16_t>(score);
    for (size_t L = 0; L < levels_.size(); ++L) {
      std::vector<uint16_t>& a = levels_[L];
      const uint16_t old = a[k];
      a[k] = v;
      if (L + 1 == levels_.size()) break;
      const uint16_t up = levels_[L + 1][k >> kBits];
      uint16_t m;
      if (v <= up) m = v;
      else if (old != up) break;   // the block's minimum is elsewhere
      else m = BlockMin(a.data() + (k & ~(kFan - 1)));
      if (m == up) break;
      v = m;
      k >>= kBits;
    }
  }

  // The last place in [lo, hi] whose score is at most s, or lo - 1. The
  // search looks before lo too: a hit there means none in [lo, hi].
  int32_t LastAtMost(int32_t lo, int32_t hi, int32_t s16) const {
    const uint16_t s = static_cast<uint16_t>(s16);
    size_t k = static_cast<size_t>(hi);
    size_t L = 0;
    // Up: the last hit at or before k within its block, level by level.
    for (;;) {
      const uint16_t* block = levels_[L].data() + (k & ~(kFan - 1));
      const int j = LastInBlock(block, static_cast<int>(k & (kFan - 1)), s);
      if (j >= 0) { k = (k & ~(kFan - 1)) + static_cast<size_t>(j); break; }
      if ((k >> kBits) == 0 || L + 1 == levels_.size()) return lo - 1;
      k = (k >> kBits) - 1;
      ++L;
    }
    // Down: the last hit inside each block.
    while (L > 0) {
      --L;
      const uint16_t* block = levels_[L].data() + (k << kBits);
      k = (k << kBits) + static_cast<size_t>(LastInBlock(block, kFan - 1, s));
    }
    const int32_t place = static_cast<int32_t>(k);
    return place < lo ? lo - 1 : place;
  }

 private:
  static uint16_t BlockMin(const uint16_t* a) {
#if defined(__SSE2__)
    __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    for (size_t j = 8; j < kFan; j += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j));
      m = _mm_sub_epi16(m, _mm_subs_epu16(m, v));  // unsigned min
    }
    alignas(16) uint16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), m);
    uint16_t r = lanes[0];
    for (int j = 1; j < 8; ++j) r = std::min(r, lanes[j]);
    return r;
#else
    uint16_t m = 0xFFFF;
    for (size_t j = 0; j < kFan; ++j) m = std::min(m, a[j]);
    return m;
#endif
  }
  // The last j <= last with a[j] <= s, or -1.
  static int LastInBlock(const uint16_t* a, int last, uint16_t s) {
#if defined(__SSE2__)
    const __m128i sv = _mm_set1_epi16(static_cast<short>(s));
    const __m128i zero = _mm_setzero_si128();
    uint64_t bits = 0;
    for (size_t j = 0; j < kFan; j += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + j));
      const __m128i le = _mm_cmpeq_epi16(_mm_subs_epu16(v, sv), zero);
      bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(le))) << (2 * j);
    }
    // Two mask bits per entry.
    bits &= last == 31 ? ~uint64_t{0} : ((uint64_t{4} << (2 * last)) - 1);
    return bits == 0 ? -1 : (63 - __builtin_clzll(bits)) / 2;
#else
    uint32_t bits = 0;
    for (size_t j = 0; j < kFan; ++j) bits |= static_cast<uint32_t>(a[j] <= s) << j;
    bits &= last == 31 ? 0xFFFFFFFFu : ((2u << last) - 1);
    return bits == 0 ? -1 : 31 - __builtin_clz(bits);
#endif
  }
  std::vector<std::vector<uint16_t>> levels_;
};

// The slots of the noise pixels of a box, and which of them are not yet
// taken, all small enough to stay in cache (slots for every pixel of a
// large box would be read from memory at every position of every window).
// A pixel's slot is found by counting the noise pixels before it: one bit
// per pixel, rows of whole words with a spare word at the end (a run of
// columns is read across two words), and the count before each word.
class NoiseSlots {
 public:
  NoiseSlots(const NoiseBox& box, int32_t width, const std::vector<RankEntry>& ranked)
      : box_(box), width_(width),
        words_((static_cast<size_t>(box.x1 - box.x0) + 63) / 64 + 1),
        noise_(words_ * static_cast<size_t>(box.y1 - box.y0), 0),
        before_(noise_.size(), 0), slots_(ranked.size()) {
    for (const RankEntry& e : ranked) {
      const size_t bit = Bit(e.index % width, e.index / width);
      noise_[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    uint32_t count = 0;
    for (size_t k = 0; k < noise_.size(); ++k) {
      before_[k] = count;
      count += static_cast<uint32_t>(__builtin_popcountll(noise_[k]));
    }
    live_ = noise_;
    for (size_t k = 0; k < ranked.size(); ++k)
      Slot(ranked[k].index) = PixelSlot{ranked[k].score, static_cast<int32_t>(k)};
  }

  // The slot of noise pixel q (y * width + x).
  PixelSlot& Slot(int32_t q) { return slots_[Id(q % width_, q / width_)]; }

  // Noise pixel q is taken.
  void Take(int32_t q) {
    const size_t bit = Bit(q % width_, q / width_);
    live_[bit / 64] &= ~(uint64_t{1} << (bit % 64));
    slots_[Id(q % width_, q / width_)].position = -1;
  }

  // Calls f(x, slot) for the noise pixels not taken of row y in columns
  // x0..x1, in increasing x.
  template <class F>
  void ForEachLive(int32_t y, int32_t x0, int32_t x1, const F& f) {
    for (; x0 <= x1; x0 += 64) {
      const size_t first = Bit(x0, y);
      const size_t word = first / 64;
      const unsigned shift = first % 64;
      uint64_t run = live_[word] >> shift;
      if (shift != 0) run |= live_[word + 1] << (64 - shift);
      const int32_t count = x1 - x0 + 1;
      if (count < 64) run &= (uint64_t{1} << count) - 1;
      for (; run != 0; run &= run - 1) {
        const int32_t x = x0 + __builtin_ctzll(run);
        f(x, slots_[Id(x, y)]);
      }
    }
  }

 private:
  size_t Bit(int32_t x, int32_t y) const {
    return static_cast<size_t>(y - box_.y0) * words_ * 64 + static_cast<size_t>(x - box_.x0);
  }
  size_t Id(int32_t x, int32_t y) const {
    const size_t bit = Bit(x, y);
    const uint64_t below = noise_[bit / 64] & ((uint64_t{1} << (bit % 64)) - 1);
    return before_[bit / 64] + static_cast<size_t>(__builtin_popcountll(below));
  }

  NoiseBox box_;
  int32_t width_;
  size_t words_;  // per row
  std::vector<uint64_t> noise_, live_;
  std::vector<uint32_t> before_;  // noise pixels before each word
  std::vector<PixelSlot> slots_;  // in the order of the pixels
};

}  // namespace

int32_t BuildFillList(FillList& list, const uint8_t* mask, int32_t width,
                      int32_t height, int32_t radius, const StopCheck& stop) {
  RankNoisePixels(list, mask, width, height, radius);
  if (list.ranked.empty()) return 0;

  const int32_t n = static_cast<int32_t>(list.ranked.size());
  // Slots only for the noise pixels of their box: nothing else moves.
  const NoiseBox box = FindNoiseBox(mask, width, height);
  NoiseSlots slots(box, width, list.ranked);

  std::vector<RankEntry>& ranked = list.ranked;
  ScoreMinTree tree(ranked);
  list.order.reserve(n);
  for (int32_t i = 0; i < n; ++i) {
    if (stop && (i & 4095) == 0 && stop()) throw FillListStopped();
    const int32_t p = ranked[i].index;
    list.order.push_back(p);
    slots.Take(p);
    const int32_t y = p / width;
    const int32_t x = p % width;
    const int32_t ny0 = std::max(y - radius, box.y0);
    const int32_t ny1 = std::min(y + radius, box.y1 - 1);
    const int32_t nx0 = std::max(x - radius, box.x0);
    const int32_t nx1 = std::min(x + radius, box.x1 - 1);
    // Left to right in each row, as a walk over every position would go.
    for (int32_t ny = ny0; ny <= ny1; ++ny) {
      slots.ForEachLive(ny, nx0, nx1, [&](int32_t nx, PixelSlot& slot) {
        const int32_t pos = slot.position;
        if (pos <= 0) return;
        const int32_t q = ny * width + nx;
        const int32_t s = --slot.score;
        // The new place is right after the nearest stored score <= s
        // between the cursor and pos (a run of larger ones moves back).
        if (pos - 1 < i + 1 || tree.Score(pos - 1) <= s) return;
        const int32_t t = tree.LastAtMost(i + 1, pos - 1, s) + 1;
        slot.position = t;
        slots.Slot(ranked[t].index).position = pos;
        ranked[pos] = ranked[t];
        ranked[t] = RankEntry{s, q};
        tree.Set(pos, ranked[pos].score);
        tree.Set(t, s);
      });
    }
  }
  return static_cast<int32_t>(list.order.size());
}

void ReleaseFillList(FillList& list) {
  std::vector<RankEntry>().swap(list.heap);
  std::vector<RankEntry>().swap(list.ranked);
  std::vector<int32_t>().swap(list.order);
  list.next = 0;
  list.width = 0;
  list.height = 0;
}

void EmptyFillList(FillList& list) {
  list.order.clear();
  list.ranked.clear();
  list.next = 0;
  list.width = 0;
  list.height = 0;
}

}  // namespace pw
