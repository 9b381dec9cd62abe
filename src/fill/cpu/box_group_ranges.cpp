#include "fill/cpu/box_group_ranges.h"

#include <algorithm>

namespace pw {

void BoxGroupRanges::Init(const BoxSums& sums, int height) {
  width_ = sums.width();
  height_ = height;
  groups_ = (width_ + kGroup - 1) / kGroup;
  stride_ = (groups_ + 31) / 32 * 32;
  row_ = static_cast<size_t>(stride_) * 6;
  q_.assign(static_cast<size_t>(height + 1) * row_, 0);
  p_.assign(static_cast<size_t>(height / BoxSums::kBlockRows + 1) * row_, 0);
  std::vector<uint16_t> ranges(row_, 0), block_total(row_, 0);
  for (int y = 0; y < height; ++y) {
    RowRanges(sums, y, 0, groups_ - 1, ranges.data());
    const bool first_of_block = y % BoxSums::kBlockRows == 0;
    if (first_of_block && y > 0) {
      uint16_t* pb = p_.data() + static_cast<size_t>(y / BoxSums::kBlockRows) * row_;
      for (size_t i = 0; i < row_; ++i)
        pb[i] = static_cast<uint16_t>(pb[i - row_] + block_total[i]);
      std::fill(block_total.begin(), block_total.end(), 0);
    }
    const uint16_t* above = first_of_block ? q(-1) : q(y - 1);
    uint16_t* qy = q_.data() + static_cast<size_t>(y + 1) * row_;
    for (size_t i = 0; i < row_; ++i) {
      qy[i] = static_cast<uint16_t>(above[i] + ranges[i]);
      block_total[i] = static_cast<uint16_t>(block_total[i] + ranges[i]);
    }
  }
}

void BoxGroupRanges::Release() {
  std::vector<uint16_t>().swap(q_);
  std::vector<uint16_t>().swap(p_);
  groups_ = stride_ = 0;
}

void BoxGroupRanges::RowRanges(const BoxSums& sums, int y, int g0, int g1,
                               uint16_t* out) const {
  const uint16_t *qa = sums.q(y), *pa = sums.p(y);
  const uint16_t *qb = sums.q(y - 1), *pb = sums.p(y - 1);
  for (int c = 0; c < 3; ++c)
    for (int g = g0; g <= g1; ++g) {
      uint16_t lo = UINT16_MAX, hi = 0;
      const int end = std::min(width_, (g + 1) * kGroup);
      for (int x = g * kGroup; x < end; ++x) {
        const size_t i = static_cast<size_t>(c) * width_ + x;
        // The row's own box sum, below 2^16: exact modulo 2^16.
        const uint16_t h = static_cast<uint16_t>((pa[i] + qa[i]) - (pb[i] + qb[i]));
        lo = std::min(lo, h);
        hi = std::max(hi, h);
      }
      out[static_cast<size_t>(c) * stride_ + g] = lo;
      out[static_cast<size_t>(3 + c) * stride_ + g] = hi;
    }
}

void BoxGroupRanges::Update(const BoxSums& sums, int x, int y, int radius) {
  const int g0 = std::max(0, x - radius) / kGroup;
  const int g1 = std::min(width_ - 1, x + radius) / kGroup;
  fresh_.resize(row_);
  RowRanges(sums, y, g0, g1, fresh_.data());
  // Row y's own values before, as the prefix within the block keeps them.
  const bool first_of_block = y % BoxSums::kBlockRows == 0;
  const uint16_t* mine = q(y);
  const uint16_t* above = first_of_block ? q(-1) : q(y - 1);
  const int block_end = std::min(height_, (y / BoxSums::kBlockRows + 1) * BoxSums::kBlockRows);
  const size_t blocks = p_.size() / row_;
  for (int part = 0; part < 6; ++part)
    for (int g = g0; g <= g1; ++g) {
      const size_t i = static_cast<size_t>(part) * stride_ + g;
      const uint16_t delta = static_cast<uint16_t>(fresh_[i] - (mine[i] - above[i]));
      if (delta == 0) continue;
      for (int yy = y; yy < block_end; ++yy) {
        uint16_t& v = q_[static_cast<size_t>(yy + 1) * row_ + i];
        v = static_cast<uint16_t>(v + delta);
      }
      for (size_t b = static_cast<size_t>(y / BoxSums::kBlockRows) + 1; b < blocks; ++b) {
        uint16_t& v = p_[b * row_ + i];
        v = static_cast<uint16_t>(v + delta);
      }
    }
}

}  // namespace pw
