// Per-candidate logic of the exhaustive method: the target-window copy, the
// constant-window distance, the general distance and the fill of the target
// from the chosen candidate. Every function handles one work item (one byte,
// one candidate) exactly as one GPU thread does; the backends only decide
// how those items are spread over threads.
#pragma once

#include <cstdint>

#include "fill/kernels/hd.h"
#include "fill/kernels/numeric.h"

namespace pw::kernels {

// Largest finite float: the distance of a candidate that does not qualify.
constexpr float kNoCandidate = 3.4028235e38f;

// The target window is staged in a fixed buffer of 129 x 129 RGB pixels.
constexpr int kMaxConstRadius = 64;
constexpr int kConstWindowBytes = 3 * 129 * 129;  // 49923

PW_HD int window_side(int radius) { return 2 * radius + 1; }

// Where a target may take its source from: candidate centres within
// `radius` pixels of the target in both axes (negative: anywhere) and
// allowed by `allowed` (one byte per pixel, non-zero allows; null: every
// pixel). A candidate outside the domain does not qualify; nothing else
// about the search changes.
struct SearchDomain {
  int radius = -1;
  const uint8_t* allowed = nullptr;

  PW_HD bool admits(int cx, int cy, int x, int y, int width) const {
    if (radius >= 0) {
      const int dx = cx < x ? x - cx : cx - x;
      const int dy = cy < y ? y - cy : cy - y;
      if (dx > radius || dy > radius) return false;
    }
    return allowed == nullptr || allowed[cy * width + cx] != 0;
  }
};

// A half-open rectangle of candidate centres: columns [x0, x1), rows
// [y0, y1).
struct CandidateBox {
  int x0, y0, x1, y1;
  PW_HD bool empty() const { return x0 >= x1 || y0 >= y1; }
};

// The pixel index of item j of a launch over the centres of the box with
// columns x0..x1 - 1 and rows y0..y1 - 1, row by row; -1 past its end.
PW_HD int box_item_index(int x0, int y0, int x1, int y1, int width, int j) {
  const int columns = x1 - x0;
  if (j >= columns * (y1 - y0)) return -1;
  return (y0 + j / columns) * width + x0 + j % columns;
}

// The centres a target at (x, y) can take at all: within the domain's
// radius, and, when `whole_windows` holds, those whose window lies inside
// the image. Empty when none can. The search radius must not exceed the
// image's size (larger ones admit the same centres).
PW_HD CandidateBox candidate_box(int x, int y, int width, int height,
                                 int radius, int search_radius,
                                 bool whole_windows) {
  const int m = whole_windows ? radius : 0;
  CandidateBox b{m, m, width - m, height - m};
  if (search_radius >= 0) {
    if (x - search_radius > b.x0) b.x0 = x - search_radius;
    if (y - search_radius > b.y0) b.y0 = y - search_radius;
    if (x + search_radius + 1 < b.x1) b.x1 = x + search_radius + 1;
    if (y + search_radius + 1 < b.y1) b.y1 = y + search_radius + 1;
  }
  return b;
}

// One byte of a pitched 2D copy (the work of one thread of the 2D copy kernel).
PW_HD void copy_2d_byte(uint8_t* dst, int dst_pitch, const uint8_t* src,
                        int total, int src_pitch, int row_bytes, int i) {
  if (i >= total) return;
  const int row = i / row_bytes;
  const int col = i - row * row_bytes;
  dst[row * dst_pitch + col] = src[row * src_pitch + col];
}

// Where the in-image part of the target window lies in the image and in the
// window buffer (pixel (j, k) of the window at byte (k * D + j) * 3).
struct WindowCopy {
  int src_offset;  // bytes from the start of the image
  int src_pitch;   // image stride
  int dst_offset;  // bytes from the start of the window buffer
  int dst_pitch;   // D * 3
  int row_bytes;   // in-image pixels of a window row, times 3
  int rows;        // in-image window rows
};

PW_HD WindowCopy target_window_copy(int x, int y, int width, int height,
                                    int stride, int radius) {
  const int side = window_side(radius);
  const int x0 = x - radius > 0 ? x - radius : 0;
  const int x1 = x + radius < width - 1 ? x + radius : width - 1;
  const int y0 = y - radius > 0 ? y - radius : 0;
  const int y1 = y + radius < height - 1 ? y + radius : height - 1;
  WindowCopy c;
  c.src_offset = y0 * stride + x0 * 3;
  c.src_pitch = stride;
  c.dst_offset = ((y0 - (y - radius)) * side + (x0 - (x - radius))) * 3;
  c.dst_pitch = side * 3;
  c.row_bytes = (x1 - x0 + 1) * 3;
  c.rows = y1 - y0 + 1;
  return c;
}

PW_HD int abs_diff3(const uint8_t* a, const uint8_t* b) {
  const int d0 = static_cast<int>(a[0]) - static_cast<int>(b[0]);
  const int d1 = static_cast<int>(a[1]) - static_cast<int>(b[1]);
  const int d2 = static_cast<int>(a[2]) - static_cast<int>(b[2]);
  return (d0 < 0 ? -d0 : d0) + (d1 < 0 ? -d1 : d1) + (d2 < 0 ? -d2 : d2);
}

// Distance of candidate i against the target window held in `window`
// (anything indexable by byte offset: a host pointer, or a reader of the
// device's constant buffer). Only candidates whose centre has the mask value
// `candidate_mask_value` and whose whole window lies inside the image
// qualify; a candidate whose window holds a pixel still to fill, facing an
// in-image target position, is rejected. The sum is exact in an int.
template <class Window>
PW_HD float const_window_distance(const uint8_t* image, const uint8_t* mask,
                                  const Window& window, int x, int y,
                                  int width, int height, int stride,
                                  int radius, int candidate_mask_value,
                                  int i) {
  const int cx = i % width;
  const int cy = i / width;
  if (mask[i] != candidate_mask_value) return kNoCandidate;
  if (!(radius <= cx && cx < width - radius && radius <= cy &&
        cy < height - radius))
    return kNoCandidate;
  const int side = window_side(radius);
  int sum = 0;
  for (int k = 0; k < side; ++k) {
    const int ty = y - radius + k;
    if (ty < 0 || ty >= height) continue;
    const int ccy = cy - radius + k;
    const uint8_t* crow = image + ccy * stride;
    const uint8_t* cmask = mask + ccy * width;
    const uint8_t* tmask = mask + ty * width;
    for (int j = 0; j < side; ++j) {
      const int tx = x - radius + j;
      if (tx < 0 || tx >= width) continue;
      const int ccx = cx - radius + j;
      if (cmask[ccx] == 1) return kNoCandidate;
      if (tmask[tx] == 1) continue;
      const int w = (k * side + j) * 3;
      const uint8_t t[3] = {window[w], window[w + 1], window[w + 2]};
      sum += abs_diff3(t, crow + ccx * 3);
    }
  }
  return static_cast<float>(sum);
}

// Distance of candidate i with both windows read from the image. With
// tolerance 0 only complete, known candidate windows qualify and the raw
// sum is returned; otherwise up to round(valid * tolerance) window positions
// may be lacking and the mean difference per compared pixel is returned.
// A non-zero limit keeps candidates within that many pixels of the target.
// A candidate that compares no pixel at all (a target window without a known
// in-image pixel) has no meaningful mean and does not qualify.
PW_HD float general_distance(const uint8_t* image, const uint8_t* mask, int x,
                             int y, int width, int height, int stride,
                             int radius, float tolerance, int limit, int i) {
  const int cx = i % width;
  const int cy = i / width;
  if (mask[i] != 0) return kNoCandidate;
  const bool complete_only = (tolerance == 0.0f);
  if (complete_only && !(radius <= cx && cx < width - radius &&
                         radius <= cy && cy < height - radius))
    return kNoCandidate;
  if (limit != 0) {
    const int ady = cy - y < 0 ? y - cy : cy - y;
    const int adx = cx - x < 0 ? x - cx : cx - x;
    if (ady > limit || adx > limit) return kNoCandidate;
  }
  const int side = window_side(radius);
  int missing = 0;
  int used = 0;
  float sum = 0.0f;
  for (int dy = -radius; dy <= radius; ++dy) {
    const int ty = y + dy;
    const int ccy = cy + dy;
    if (ccy < 0 || ccy >= height) {
      if (complete_only) return kNoCandidate;
      continue;
    }
    if (ty < 0 || ty >= height) {
      missing += side;
      continue;
    }
    for (int dx = -radius; dx <= radius; ++dx) {
      const int tx = x + dx;
      const int ccx = cx + dx;
      if (ccx < 0 || ccx >= width) {
        if (complete_only) return kNoCandidate;
        continue;
      }
      if (tx < 0 || tx >= width) {
        ++missing;
        continue;
      }
      if (mask[ccy * width + ccx] != 0) {
        if (complete_only) return kNoCandidate;
        continue;
      }
      if (mask[ty * width + tx] != 0) {
        ++missing;
        continue;
      }
      sum += static_cast<float>(
          abs_diff3(image + ty * stride + tx * 3, image + ccy * stride + ccx * 3));
      ++used;
    }
  }
  if (complete_only) return sum;
  const int valid = side * side - missing;
  const int lacking = valid - used;
  const int allowed = float_round_to_int(static_cast<float>(valid) * tolerance);
  if (lacking > allowed) return kNoCandidate;
  if (used == 0) return kNoCandidate;
  return sum / static_cast<float>(used);
}

// Copies the chosen candidate's centre pixel into the target, marks the
// target known and, when `sources` is set (one word per pixel), records
// the candidate's index at the target. Returns false (and writes nothing)
// when no candidate qualified: best is the marker or not a number.
PW_HD bool fill_target(uint8_t* image, uint8_t* mask, int x, int y, int width,
                       int stride, float best, int index, int* position,
                       int32_t* sources = nullptr) {
  if (!(best < kNoCandidate)) return false;
  const int cx = index % width;
  const int cy = index / width;
  const uint8_t* src = image + cy * stride + cx * 3;
  uint8_t* dst = image + y * stride + x * 3;
  dst[0] = src[0];
  dst[1] = src[1];
  dst[2] = src[2];
  mask[y * width + x] = 0;
  if (sources != nullptr) sources[y * width + x] = index;
  if (position != nullptr) {
    position[0] = cx;
    position[1] = cy;
  }
  return true;
}

}  // namespace pw::kernels
