#include "inpaint/fill_list.h"

#include <algorithm>

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

// Scores of all noise pixels in O(1) each, from a summed-area table of the
// noise pixels. Equal to UnknownNeighbourCount: positions outside the image
// plus noise positions inside it, less the centre (itself a noise pixel).
class ScoreTable {
 public:
  ScoreTable(const uint8_t* mask, int32_t width, int32_t height, int32_t radius)
      : width_(width), height_(height), radius_(radius),
        sat_(static_cast<size_t>(width + 1) * (height + 1), 0) {
    for (int32_t y = 0; y < height; ++y) {
      int32_t row = 0;
      for (int32_t x = 0; x < width; ++x) {
        row += mask[static_cast<size_t>(y) * width + x] == 1 ? 1 : 0;
        at(x + 1, y + 1) = at(x + 1, y) + row;
      }
    }
  }

  int32_t Score(int32_t x, int32_t y) const {
    const int64_t side = 2 * static_cast<int64_t>(radius_) + 1;
    const int32_t x0 = std::max(x - radius_, 0);
    const int32_t x1 = std::min(x + radius_, width_ - 1);
    const int32_t y0 = std::max(y - radius_, 0);
    const int32_t y1 = std::min(y + radius_, height_ - 1);
    const int64_t inside = int64_t{x1 - x0 + 1} * (y1 - y0 + 1);
    const int64_t noise = int64_t{at(x1 + 1, y1 + 1)} - at(x0, y1 + 1) -
                          at(x1 + 1, y0) + at(x0, y0);
    return static_cast<int32_t>(side * side - inside + noise - 1);
  }

 private:
  int32_t& at(int32_t x, int32_t y) {
    return sat_[static_cast<size_t>(y) * (width_ + 1) + x];
  }
  int32_t at(int32_t x, int32_t y) const {
    return sat_[static_cast<size_t>(y) * (width_ + 1) + x];
  }

  int32_t width_, height_, radius_;
  std::vector<int32_t> sat_;  // counts fit: an image has < 2^31 pixels
};

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

  {
    const ScoreTable scores(mask, width, height, radius);
    for (int32_t y = 0; y < height; ++y)
      for (int32_t x = 0; x < width; ++x)
        if (mask[static_cast<size_t>(y) * width + x] == 1)
          HeapPush(list.heap, RankEntry{scores.Score(x, y), y * width + x});
  }
  list.ranked.reserve(list.heap.size());
  while (!list.heap.empty()) {
    list.ranked.push_back(list.heap.front());
    HeapPop(list.heap);
  }
  std::vector<RankEntry>().swap(list.heap);
}

int32_t BuildFillList(FillList& list, const uint8_t* mask, int32_t width,
                      int32_t height, int32_t radius) {
  RankNoisePixels(list, mask, width, height, radius);
  if (list.ranked.empty()) return 0;

  const int32_t n = static_cast<int32_t>(list.ranked.size());
  std::vector<PixelSlot> slots(static_cast<size_t>(width) * height,
                               PixelSlot{0, -1});
  for (int32_t k = 0; k < n; ++k)
    slots[list.ranked[k].index] = PixelSlot{list.ranked[k].score, k};

  list.order.reserve(n);
  std::vector<RankEntry>& ranked = list.ranked;
  for (int32_t i = 0; i < n; ++i) {
    const int32_t p = ranked[i].index;
    list.order.push_back(p);
    slots[p].position = -1;
    const int32_t y = p / width;
    const int32_t x = p % width;
    const int32_t ny0 = std::max(y - radius, 0);
    const int32_t ny1 = std::min(y + radius, height - 1);
    const int32_t nx0 = std::max(x - radius, 0);
    const int32_t nx1 = std::min(x + radius, width - 1);
    for (int32_t ny = ny0; ny <= ny1; ++ny) {
      for (int32_t nx = nx0; nx <= nx1; ++nx) {
        const int32_t q = ny * width + nx;
        const int32_t pos = slots[q].position;
        if (pos <= 0) continue;
        const int32_t s = --slots[q].score;
        int32_t t = pos;
        if (pos - 1 >= i + 1) {
          int32_t k = pos - 1;
          while (k >= i + 1 && ranked[k].score > s) --k;
          t = k + 1;
        }
        if (t < pos) {
          slots[q].position = t;
          slots[ranked[t].index].position = pos;
          ranked[pos] = ranked[t];
          ranked[t] = RankEntry{s, q};
        }
      }
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
