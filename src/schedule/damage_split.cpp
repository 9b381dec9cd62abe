#include "schedule/damage_split.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace pw {
namespace {

constexpr int kDiscRadius = 3;
// The disc grown by the 3 x 3 square reaches one row further.
constexpr int kGrownRadius = kDiscRadius + 1;

// Half widths of the disc's rows, |dy| = 0..3: the largest h with
// h^2 + dy^2 <= 9.
std::array<int, kDiscRadius + 1> DiscRows() {
  std::array<int, kDiscRadius + 1> half{};
  for (int dy = 0; dy <= kDiscRadius; ++dy) {
    int h = 0;
    while ((h + 1) * (h + 1) + dy * dy <= kDiscRadius * kDiscRadius) ++h;
    half[dy] = h;
  }
  return half;
}

// Half widths of the rows of the disc grown by the 3 x 3 square: row dy
// takes the widest of the disc's rows dy - 1..dy + 1, one pixel wider.
std::array<int, kGrownRadius + 1> GrownRows(const std::array<int, kDiscRadius + 1>& disc) {
  std::array<int, kGrownRadius + 1> half{};
  for (int dy = 0; dy <= kGrownRadius; ++dy) {
    int widest = -1;
    for (int k = dy - 1; k <= dy + 1; ++k)
      if (std::abs(k) <= kDiscRadius) widest = std::max(widest, disc[std::abs(k)]);
    half[dy] = widest + 1;
  }
  return half;
}

// A run of pixels of a row, columns begin..end - 1.
struct Run {
  int32_t begin, end;
};

// Runs of every row, in one array: row y's are runs[start[y]..start[y + 1]).
struct RowRuns {
  std::vector<Run> runs;
  std::vector<size_t> start;
  const Run* begin(int32_t y) const { return runs.data() + start[y]; }
  const Run* end(int32_t y) const { return runs.data() + start[y + 1]; }
};

// The damage runs of one row. Damage is sparse: eight bytes that hold no 1
// are passed at once.
void FindRuns(const uint8_t* row, int32_t width, std::vector<Run>* out) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  int32_t x = 0;
  while (x < width) {
    if (x + 8 <= width) {
      uint64_t word;
      std::memcpy(&word, row + x, sizeof word);
      const uint64_t v = word ^ kOnes;  // a zero byte where the mask holds 1
      if (((v - kOnes) & ~v & kHighs) == 0) {
        x += 8;
        continue;
      }
    }
    if (row[x] != 1) {
      ++x;
      continue;
    }
    const int32_t begin = x;
    while (x < width && row[x] == 1) ++x;
    out->push_back({begin, x});
  }
}

RowRuns DamageRuns(const uint8_t* mask, int32_t width, int32_t height) {
  RowRuns r;
  r.start.reserve(static_cast<size_t>(height) + 1);
  for (int32_t y = 0; y < height; ++y) {
    r.start.push_back(r.runs.size());
    FindRuns(mask + static_cast<size_t>(y) * width, width, &r.runs);
  }
  r.start.push_back(r.runs.size());
  return r;
}

// Where a run list, each run shrunk by `h` at both ends, meets `acc`
// (sorted, disjoint): the result replaces acc.
void IntersectShrunk(const Run* b, const Run* e, int h, std::vector<Run>* acc,
                     std::vector<Run>* scratch) {
  scratch->clear();
  auto a = acc->begin();
  for (; b != e && a != acc->end();) {
    const int32_t lo = std::max(a->begin, b->begin + h);
    const int32_t hi = std::min(a->end, b->end - h);
    if (lo < hi) scratch->push_back({lo, hi});
    if (a->end < b->end - h) ++a;
    else ++b;
  }
  acc->swap(*scratch);
}

// Erosion by the disc: the centres whose disc lies within the damage. Row
// dy of the disc, of half width h, lies within a run when the centre is at
// least h inside both of its ends. Rows outside the picture hold no damage.
RowRuns Erode(const RowRuns& damage, int32_t width, int32_t height,
              const std::array<int, kDiscRadius + 1>& disc) {
  RowRuns eroded;
  eroded.start.assign(static_cast<size_t>(height) + 1, 0);
  std::vector<Run> acc, scratch;
  for (int32_t y = 0; y < height; ++y) {
    eroded.start[y] = eroded.runs.size();
    if (y < kDiscRadius || y + kDiscRadius >= height) continue;
    acc.assign(1, Run{0, width});
    for (int dy = -kDiscRadius; dy <= kDiscRadius && !acc.empty(); ++dy)
      IntersectShrunk(damage.begin(y + dy), damage.end(y + dy), disc[std::abs(dy)], &acc, &scratch);
    eroded.runs.insert(eroded.runs.end(), acc.begin(), acc.end());
  }
  eroded.start[height] = eroded.runs.size();
  return eroded;
}

}  // namespace

std::vector<uint8_t> HolePart(const uint8_t* mask, int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return {};
  const auto disc = DiscRows();
  const auto grown = GrownRows(disc);
  const RowRuns damage = DamageRuns(mask, width, height);
  const RowRuns centres = Erode(damage, width, height, disc);

  // Opening then the 3 x 3 dilation is the erosion dilated by the disc
  // grown by the square: row y gets every centre of row y + dy widened by
  // the grown disc's half width at dy, kept within the damage.
  std::vector<uint8_t> hole(static_cast<size_t>(width) * height, 0);
  std::vector<Run> reach;
  for (int32_t y = 0; y < height; ++y) {
    reach.clear();
    for (int dy = -kGrownRadius; dy <= kGrownRadius; ++dy) {
      if (y + dy < 0 || y + dy >= height) continue;
      const int g = grown[std::abs(dy)];
      for (const Run* c = centres.begin(y + dy); c != centres.end(y + dy); ++c)
        reach.push_back({std::max(0, c->begin - g), std::min(width, c->end + g)});
    }
    if (reach.empty()) continue;
    std::sort(reach.begin(), reach.end(), [](const Run& a, const Run& b) { return a.begin < b.begin; });
    // Merged into disjoint runs, then met with the row's damage.
    size_t merged = 0;
    for (size_t k = 1; k < reach.size(); ++k) {
      if (reach[k].begin <= reach[merged].end) reach[merged].end = std::max(reach[merged].end, reach[k].end);
      else reach[++merged] = reach[k];
    }
    reach.resize(merged + 1);
    uint8_t* out = hole.data() + static_cast<size_t>(y) * width;
    const Run* d = damage.begin(y);
    for (auto r = reach.begin(); r != reach.end() && d != damage.end(y);) {
      const int32_t lo = std::max(r->begin, d->begin), hi = std::min(r->end, d->end);
      if (lo < hi) std::memset(out + lo, 1, static_cast<size_t>(hi - lo));
      if (r->end < d->end) ++r;
      else ++d;
    }
  }
  return hole;
}

}  // namespace pw
