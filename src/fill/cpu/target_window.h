// The target window of one fill, laid out for fast sums of absolute
// differences: each window row holds the target's bytes (0 where not known)
// and a keep mask (0xFF under known pixels, 0 under pixels still to fill and
// in the padding up to a multiple of 32 bytes, and under window positions
// outside the image, which no candidate is compared at), also as one bit
// per byte for each 64-byte part of the row. A candidate's bytes masked by
// keep then give |t - c| at known positions and 0 elsewhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "fill/cpu/box_sums.h"
#include "fill/cpu/cpu_features.h"
#include "fill/cpu/slot_minimum.h"

namespace pw {

// A sum that went over the bound: the candidate cannot win.
constexpr int32_t kSadDropped = INT32_MAX;

class TargetWindow {
 public:
  static constexpr int kAlign = 32;

  // Captures the window of (x, y). Mask bytes equal to 1 mark unknown
  // pixels, or with nonzero_unknown every byte other than 0 does.
  void Capture(const uint8_t* image, const uint8_t* mask, int x, int y,
               int width, int height, int stride, int radius,
               bool nonzero_unknown = false);

  int side() const { return side_; }
  int padded() const { return padded_; }
  // Rows holding a known pixel, the fullest first.
  const std::vector<int>& rows() const { return rows_; }
  // How many of rows() have every pixel known (they lead the list).
  int whole_rows() const { return whole_rows_; }
  const uint8_t* bytes(int row) const { return bytes_.data() + row * padded_; }
  const uint8_t* keep(int row) const { return keep_.data() + row * padded_; }

  // The window as a flat list of 64-byte pieces in the order of rows():
  // piece i of a row holds the target's bytes at 64 * i of pieces64(), its
  // keep mask as bits in keep64(), and where its partner lies from the
  // candidate window's top-left byte (rows `stride` apart, the stride
  // Capture was given) in offsets64(). Pieces are aligned.
  size_t count64() const { return offsets64_.size(); }
  const uint8_t* pieces64() const { return aligned(pieces64_); }
  const uint64_t* keep64() const { return keep64_.data(); }
  const int32_t* offsets64() const { return offsets64_.data(); }
  int pieces64_per_row() const { return (padded_ + 63) / 64; }

  // The window for 32-byte vectors without the padding: each known row is
  // split into whole 32-byte pieces and a tail (the last 3 * side mod 32
  // bytes). Pieces over known pixels only are "plain" and need no mask;
  // the others are "masked" with their keep bytes. Tails of up to 16 bytes
  // go two rows to a piece, one in each half ("paired"; offset of each
  // half). Pieces without a known byte are left out.
  size_t plain_count() const { return plain_.offsets.size(); }
  const uint8_t* plain_bytes() const { return aligned(plain_.bytes); }
  const int32_t* plain_offsets() const { return plain_.offsets.data(); }
  size_t masked_count() const { return masked_.offsets.size(); }
  const uint8_t* masked_bytes() const { return aligned(masked_.bytes); }
  const uint8_t* masked_keep() const { return aligned(masked_.keep); }
  const int32_t* masked_offsets() const { return masked_.offsets.data(); }
  size_t paired_count() const { return paired_.offsets.size() / 2; }
  const uint8_t* paired_bytes() const { return aligned(paired_.bytes); }
  const uint8_t* paired_keep() const { return aligned(paired_.keep); }
  const int32_t* paired_offsets() const { return paired_.offsets.data(); }
  int known(int row) const { return known_[row]; }  // known pixels in a row

 private:
  template <class Byte>
  static Byte* aligned(std::vector<Byte>& v) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(v.data());
    return reinterpret_cast<Byte*>((p + 63) & ~uintptr_t{63});
  }
  static const uint8_t* aligned(const std::vector<uint8_t>& v) {
    return aligned(const_cast<std::vector<uint8_t>&>(v));
  }

  // Pieces of 32 bytes (aligned; 63 spare bytes) with their keep bytes.
  struct PieceList {
    std::vector<uint8_t> bytes, keep;
    std::vector<int32_t> offsets;
    size_t size = 0;  // pieces stored
    void Clear(size_t capacity);
    void Put(size_t piece, int at, const uint8_t* from, const uint8_t* keep_from,
             int count);
  };
  void BuildPieces(int stride);

  int side_ = 0;
  int padded_ = 0;
  int whole_rows_ = 0;
  PieceList plain_, masked_, paired_;
  // Piece buffers carry 63 spare bytes, for alignment.
  std::vector<uint8_t> pieces64_;
  std::vector<int32_t> offsets64_;
  std::vector<uint64_t> keep64_;
  std::vector<int> rows_;
  std::vector<int> known_;  // known pixels per row
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> keep_;
};

// Sum of absolute differences between the target window and the candidate
// window whose top-left byte is `candidate` (rows `stride` apart), over the
// target's known pixels. Stops with kSadDropped once a partial sum is
// strictly above `bound`. May read up to 31 bytes past a window row.
using WindowSadFn = int32_t (*)(const TargetWindow& target,
                                const uint8_t* candidate, int stride,
                                int32_t bound);

int32_t WindowSadScalar(const TargetWindow& target, const uint8_t* candidate,
                        int stride, int32_t bound);
int32_t WindowSadAvx2(const TargetWindow& target, const uint8_t* candidate,
                      int stride, int32_t bound);
int32_t WindowSadAvx512(const TargetWindow& target, const uint8_t* candidate,
                        int stride, int32_t bound);

// The sums of two candidates at once (as WindowSadFn gives each), which
// the vector paths compute sharing the loads of the target's pieces.
using WindowSadPairFn = void (*)(const TargetWindow& target, const uint8_t* first,
                                 const uint8_t* second, int stride, int32_t bound,
                                 int32_t* sums);

void WindowSadPairAvx2(const TargetWindow& target, const uint8_t* first,
                       const uint8_t* second, int stride, int32_t bound, int32_t* sums);

// What the row scans of one search have seen so far, for kernels that
// choose how to sum by how often the first rows of a window alone already
// lose (see window_sad_avx512.cpp).
struct ScanTally {
  int32_t rows = 0;    // rows scanned
  int32_t tested = 0;  // candidates whose first rows were summed apart
  int32_t passed = 0;  // of those, the ones still not above the bound
};

// Whether the next row is summed whole rather than first rows apart:
// summing them apart pays when most candidates lose there (about half or
// more, as measured on holes and on dust), and costs a third more when most
// do not. So a search sums whole while more than half pass, trying apart
// again every 32nd row, as the bound falls during a search. Counts the row.
inline bool SumsWhole(ScanTally* tally) {
  if (tally == nullptr ||
      (tally->rows++ % 32 != 0 && 2 * int64_t{tally->passed} > tally->tested))
    return true;
  if (tally->tested > (1 << 12)) {  // the recent rows count most
    tally->tested /= 2;
    tally->passed /= 2;
  }
  return false;
}

// The candidates of one image row worth a sum (see candidate_picks.h).
struct CandidateRow {
  const uint8_t* top_left;  // window top-left byte of the row's first centre
  int32_t first_index;      // pixel index of the row's first centre
  int stride;
  const int32_t* picks;  // their columns, from the first centre on
  int picked;
  // A lower bound of each picked column's sum (from box sums), or null.
  const int32_t* lower;
  // Kept from row to row of one search (null: each candidate summed whole).
  ScanTally* tally = nullptr;
};

// The box-sum bound of a captured target: its runs of whole known rows
// with their channel sums (runs = 0 without box sums).
void PrepareRowRunBound(const TargetWindow& target, const BoxSums& sums,
                        RowRunBound* bound);

// Scores the picked candidates of the row whose bound is not above the
// shared bound, offers their sums to `slots` and lowers the shared bound.
// Sums must stay below 2^24 (windows up to radius 64).
using RowScanFn = void (*)(const TargetWindow& target, const CandidateRow& row,
                           std::atomic<int32_t>& bound, SlotMinimum& slots);

void ScanRowScalar(const TargetWindow& target, const CandidateRow& row,
                   std::atomic<int32_t>& bound, SlotMinimum& slots);
void ScanRowAvx2(const TargetWindow& target, const CandidateRow& row,
                 std::atomic<int32_t>& bound, SlotMinimum& slots);
void ScanRowAvx512(const TargetWindow& target, const CandidateRow& row,
                   std::atomic<int32_t>& bound, SlotMinimum& slots);

// Lowers the shared bound to sum when it is smaller.
inline void LowerBound(std::atomic<int32_t>& bound, int32_t sum) {
  int32_t current = bound.load(std::memory_order_relaxed);
  while (sum < current &&
         !bound.compare_exchange_weak(current, sum, std::memory_order_relaxed)) {
  }
}

WindowSadFn SelectWindowSad(SimdLevel level);
// A pair function for `level`: where it has no pair path, two calls of
// WindowSadFn.
WindowSadPairFn SelectWindowSadPair(SimdLevel level);
RowScanFn SelectRowScan(SimdLevel level);

}  // namespace pw
