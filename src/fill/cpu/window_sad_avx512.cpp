// AVX-512BW sums of absolute differences: a window row of up to 21 pixels
// is one 64-byte piece. The candidate's bytes are loaded under the piece's
// keep bits (unknown positions read as 0, as the target holds them, and are
// never touched in memory), and vpsadbw sums |t - c|. Exact integer sums,
// equal to the scalar path's.
//
// Windows of up to 21 known rows get a kernel per row count, fully
// unrolled: the target's rows stay in registers over a row of candidates,
// rows of up to 32 bytes (10 pixels) use 32-byte vectors (half the load
// and vpsadbw work, and fewer loads that cross a cache line), and two
// accumulators keep the adds independent. Larger windows take the generic
// loop over the pieces.
#include <algorithm>
#include <array>
#include <utility>

#include "fill/cpu/target_window.h"

#if defined(__x86_64__) || defined(__i386__)
#include "fill/cpu/avx512.h"

namespace pw {

namespace {

PW_AVX512 inline int32_t HorizontalSum(__m256i v) {
  const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  return static_cast<int32_t>(_mm_cvtsi128_si64(s) +
                              _mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
}

PW_AVX512 inline int32_t HorizontalSum(__m512i v) {
  const __m512i high = _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(3, 2, 3, 2));
  return HorizontalSum(_mm512_castsi512_si256(_mm512_add_epi64(v, high)));
}

// How a kernel holds and sums one window row: in a 64-byte vector or in a
// 32-byte one. (Rows of 33 to 48 bytes split into 32 and 16 bytes, which
// cross a cache line less often, measured slower than one 64-byte vector.)
struct Wide {
  using Piece = __m512i;
  using Acc = __m512i;
  using Mask = __mmask64;
  static PW_AVX512 Acc Zero() { return _mm512_setzero_si512(); }
  static PW_AVX512 Piece Load(const uint8_t* p) { return _mm512_load_si512(p); }
  static PW_AVX512 void Add(Acc& a, const Piece& t, Mask keep, const uint8_t* c) {
    a = _mm512_add_epi64(a, _mm512_sad_epu8(t, _mm512_maskz_loadu_epi8(keep, c)));
  }
  static PW_AVX512 Acc Join(const Acc& a, const Acc& b) { return _mm512_add_epi64(a, b); }
  // Four partial sums in 64-bit lanes.
  static PW_AVX512 __m256i Fold(const Acc& a) {
    return _mm256_add_epi64(_mm512_castsi512_si256(a), _mm512_extracti64x4_epi64(a, 1));
  }
};

struct Narrow {
  using Piece = __m256i;
  using Acc = __m256i;
  using Mask = __mmask32;
  static PW_AVX512 Acc Zero() { return _mm256_setzero_si256(); }
  static PW_AVX512 Piece Load(const uint8_t* p) {
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(p));
  }
  static PW_AVX512 void Add(Acc& a, const Piece& t, Mask keep, const uint8_t* c) {
    a = _mm256_add_epi64(a, _mm256_sad_epu8(t, _mm256_maskz_loadu_epi8(keep, c)));
  }
  static PW_AVX512 Acc Join(const Acc& a, const Acc& b) { return _mm256_add_epi64(a, b); }
  static PW_AVX512 __m256i Fold(const Acc& a) { return a; }
};

// The target's first kRows pieces (rows), ready for a kernel, each in a
// variable of its own: compilers keep such variables in registers, where an
// array of vectors would go through the stack.
#define PW_EACH_ROW(X) \
  X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11) X(12) X(13) X(14) \
  X(15) X(16) X(17) X(18) X(19) X(20)
#define PW_ROW_FIELDS(i)  \
  typename L::Piece t##i; \
  typename L::Mask k##i;  \
  int32_t at##i;
#define PW_ROW_CAPTURE(i)                                                           \
  t##i = i < kRows ? L::Load(target.pieces64() + 64 * i) : typename L::Piece{};      \
  k##i = i < kRows ? static_cast<typename L::Mask>(target.keep64()[i]) : 0;         \
  at##i = i < kRows ? target.offsets64()[i] : 0;
#define PW_ROW_SAD(i)                \
  if (i >= kBegin && i < kEnd) \
    L::Add(i % 2 == 0 ? a0 : a1, t##i, i < kShared ? whole : k##i, c + at##i);

// The last kOwn rows keep masks of their own; the rows before them are
// whole (every pixel known) and share the first row's mask. There are
// only seven mask registers: with more masks than that, the compiler
// reloads some from the stack for every candidate, a load each.
template <int kRows, class L, int kOwn = kRows>
struct Rows {
  static_assert(kRows >= 1 && kRows <= 21, "one variable per row");
  static_assert(kOwn >= 0 && kOwn <= kRows, "rows with masks of their own");
  static constexpr int kShared = kRows - kOwn;
  typename L::Mask whole;
  PW_EACH_ROW(PW_ROW_FIELDS)

  PW_AVX512 explicit Rows(const TargetWindow& target)
      : whole(static_cast<typename L::Mask>(target.keep64()[0])) {
    PW_EACH_ROW(PW_ROW_CAPTURE)
  }

  // The sum over rows kBegin .. kEnd - 1 of the candidate whose window
  // starts at c, as a vector of partial sums.
  template <int kBegin, int kEnd>
  PW_AVX512 typename L::Acc Part(const uint8_t* c) const {
    typename L::Acc a0 = L::Zero(), a1 = L::Zero();
    PW_EACH_ROW(PW_ROW_SAD)
    return L::Join(a0, a1);
  }

  // The whole sum of the candidate whose window starts at c.
  PW_AVX512 int32_t Sum(const uint8_t* c) const {
    return HorizontalSum(Part<0, kRows>(c));
  }
};

#undef PW_ROW_SAD
#undef PW_ROW_CAPTURE
#undef PW_ROW_FIELDS
#undef PW_EACH_ROW

// Every candidate that gets this far is summed whole: with the box-sum
// bound before it, a partial sum rarely passes the bound early enough to
// pay for the test.
template <int kRows, class L, int kOwn>
PW_AVX512 void ScanFixed(const TargetWindow& target, const CandidateRow& row,
                         std::atomic<int32_t>& bound, SlotMinimum& slots) {
  const Rows<kRows, L, kOwn> rows(target);
  for (int n = 0; n < row.picked; ++n) {
    const int c = row.picks[n];
    const int32_t limit = bound.load(std::memory_order_relaxed);
    if (row.lower != nullptr && row.lower[c] > limit) continue;
    const int32_t sum = rows.Sum(row.top_left + 3 * c);
    if (sum > limit) continue;
    LowerBound(bound, sum);
    slots.Offer(row.first_index + c, static_cast<float>(sum));
  }
}

// Eight candidates' partial sums (four 64-bit lanes each, below 2^32) as
// eight 32-bit sums, in order: two candidates to a 64-bit lane, then the
// lanes added across.
PW_AVX512 inline __m256i PairSums(__m256i low, __m256i high) {
  return _mm256_or_si256(low, _mm256_slli_epi64(high, 32));
}

PW_AVX512 inline __m256i EightSums(const __m256i* a) {
  const __m256i b01 = PairSums(a[0], a[1]), b23 = PairSums(a[2], a[3]);
  const __m256i b45 = PairSums(a[4], a[5]), b67 = PairSums(a[6], a[7]);
  const __m256i x =
      _mm256_add_epi64(_mm256_unpacklo_epi64(b01, b23), _mm256_unpackhi_epi64(b01, b23));
  const __m256i y =
      _mm256_add_epi64(_mm256_unpacklo_epi64(b45, b67), _mm256_unpackhi_epi64(b45, b67));
  return _mm256_add_epi64(_mm256_permute2x128_si256(x, y, 0x20),
                          _mm256_permute2x128_si256(x, y, 0x31));
}

// Most candidates lose by far: the sum of their fullest kFirst rows alone
// is already above the bound. So these rows are summed first for eight
// picked candidates at once and compared in one vector; the candidates
// still not above the bound are packed into a list, and only those get the
// other rows, in a second pass. No branch depends on a single candidate's
// first rows (such branches would be mispredicted often). A sum only
// grows, so each candidate left out could not have won or tied.
template <int kRows, int kFirst, class L, int kOwn>
PW_AVX512 void ScanStaged(const TargetWindow& target, const CandidateRow& row,
                          std::atomic<int32_t>& bound, SlotMinimum& slots) {
  constexpr int kSegment = 256;  // picks per pass, lists on the stack
  const Rows<kRows, L, kOwn> rows(target);
  alignas(32) int32_t cols[8];
  alignas(32) int32_t kept_cols[kSegment + 8];
  alignas(32) int32_t kept_firsts[kSegment + 8];
  int32_t tested = 0, passed = 0;
  for (int begin = 0; begin < row.picked; begin += kSegment) {
    const int end = std::min(row.picked, begin + kSegment);
    const __m256i limits = _mm256_set1_epi32(bound.load(std::memory_order_relaxed));
    int kept = 0;
    for (int n = begin; n < end; n += 8) {
      const __mmask8 valid = static_cast<__mmask8>(0xFF >> std::max(0, n + 8 - end));
      // Lanes past the last pick take column 0, a candidate of the row.
      const __m256i picks = _mm256_maskz_loadu_epi32(valid, row.picks + n);
      _mm256_store_si256(reinterpret_cast<__m256i*>(cols), picks);
      __m256i parts[8];
      for (int j = 0; j < 8; ++j)
        parts[j] = L::Fold(rows.template Part<0, kFirst>(row.top_left + 3 * cols[j]));
      const __m256i sums = EightSums(parts);
      const __mmask8 pass = _mm256_mask_cmple_epi32_mask(valid, sums, limits);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(kept_cols + kept),
                          _mm256_maskz_compress_epi32(pass, picks));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(kept_firsts + kept),
                          _mm256_maskz_compress_epi32(pass, sums));
      kept += __builtin_popcount(pass);
    }
    tested += end - begin;
    passed += kept;
    for (int m = 0; m < kept; ++m) {
      const int c = kept_cols[m];
      const int32_t limit = bound.load(std::memory_order_relaxed);
      if (row.lower != nullptr && row.lower[c] > limit) continue;
      const int32_t sum = kept_firsts[m] +
                          HorizontalSum(rows.template Part<kFirst, kRows>(row.top_left + 3 * c));
      if (sum > limit) continue;
      LowerBound(bound, sum);
      slots.Offer(row.first_index + c, static_cast<float>(sum));
    }
  }
  if (row.tally != nullptr) {
    row.tally->tested += tested;
    row.tally->passed += passed;
  }
}

// Whole sums or first rows apart, as the search's tally says (SumsWhole).
template <int kRows, int kFirst, class L, int kOwn>
PW_AVX512 void ScanChoosing(const TargetWindow& target, const CandidateRow& row,
                            std::atomic<int32_t>& bound, SlotMinimum& slots) {
  if (SumsWhole(row.tally)) return ScanFixed<kRows, L, kOwn>(target, row, bound, slots);
  ScanStaged<kRows, kFirst, L, kOwn>(target, row, bound, slots);
}

// The row scan of a kernel with kRows rows: windows of a few rows are
// always summed whole.
constexpr int kFirstRows = 3;
template <int kRows, class L, int kOwn>
constexpr RowScanFn FixedScan() {
  if constexpr (kRows > kFirstRows + 1)
    return ScanChoosing<kRows, kFirstRows, L, kOwn>;
  else
    return ScanFixed<kRows, L, kOwn>;
}

// The scans of kRows rows by how many of them are not whole: at most 6
// (with the shared mask, all masks in registers), at most 8, or any.
constexpr int kOwnBins = 3;
using OwnScans = std::array<RowScanFn, kOwnBins>;
inline int OwnBin(const TargetWindow& target) {
  const int own = static_cast<int>(target.rows().size()) - target.whole_rows();
  return own <= 6 ? 0 : own <= 8 ? 1 : 2;
}

template <int kRows, class L>
constexpr OwnScans ScansByOwn() {
  return {FixedScan<kRows, L, std::min(kRows, 6)>(), FixedScan<kRows, L, std::min(kRows, 8)>(),
          FixedScan<kRows, L, kRows>()};
}

template <int kRows, class L>
PW_AVX512 int32_t SadFixed(const TargetWindow& target, const uint8_t* candidate,
                           int32_t bound) {
  const int32_t sum = Rows<kRows, L>(target).Sum(candidate);
  return sum > bound ? kSadDropped : sum;
}

PW_AVX512 inline __m512i PieceSad(const TargetWindow& target,
                                  const uint8_t* candidate, size_t i) {
  const __m512i t = _mm512_load_si512(target.pieces64() + 64 * i);
  const __m512i c =
      _mm512_maskz_loadu_epi8(target.keep64()[i], candidate + target.offsets64()[i]);
  return _mm512_sad_epu8(t, c);
}

// The window's 64-byte pieces, two at a time into two sums. The bound is
// tested after every eight rows and at the end: a horizontal sum costs more
// than a row, and most candidates that reach this point run to the last
// rows anyway.
PW_AVX512 int32_t SadGeneric(const TargetWindow& target, const uint8_t* candidate,
                             int32_t bound) {
  const size_t n = target.count64();
  const size_t per_check = 8 * static_cast<size_t>(target.pieces64_per_row());
  __m512i a0 = _mm512_setzero_si512(), a1 = _mm512_setzero_si512();
  size_t i = 0;
  while (i + per_check <= n) {
    for (const size_t end = i + per_check; i < end; i += 2) {
      a0 = _mm512_add_epi64(a0, PieceSad(target, candidate, i));
      a1 = _mm512_add_epi64(a1, PieceSad(target, candidate, i + 1));
    }
    if (HorizontalSum(_mm512_add_epi64(a0, a1)) > bound) return kSadDropped;
  }
  for (; i < n; ++i) a0 = _mm512_add_epi64(a0, PieceSad(target, candidate, i));
  const int32_t sum = HorizontalSum(_mm512_add_epi64(a0, a1));
  return sum > bound ? kSadDropped : sum;
}

PW_AVX512 void ScanGeneric(const TargetWindow& target, const CandidateRow& row,
                           std::atomic<int32_t>& bound, SlotMinimum& slots) {
  for (int n = 0; n < row.picked; ++n) {
    const int c = row.picks[n];
    const int32_t limit = bound.load(std::memory_order_relaxed);
    if (row.lower != nullptr && row.lower[c] > limit) continue;
    const int32_t sum = SadGeneric(target, row.top_left + 3 * c, limit);
    if (sum == kSadDropped) continue;
    LowerBound(bound, sum);
    slots.Offer(row.first_index + c, static_cast<float>(sum));
  }
}

// Kernels by row count: rows of up to 32 bytes hold at most 10 pixels,
// rows of up to 64 bytes at most 21.
constexpr int kNarrowRows = 10;
constexpr int kWideRows = 21;

constexpr OwnScans kGenericScans = {ScanGeneric, ScanGeneric, ScanGeneric};
template <int... kRows>
constexpr std::array<OwnScans, sizeof...(kRows) + 1> NarrowScans(
    std::integer_sequence<int, kRows...>) {
  return {kGenericScans, ScansByOwn<kRows + 1, Narrow>()...};
}
template <int... kRows>
constexpr std::array<OwnScans, sizeof...(kRows) + 1> WideScans(
    std::integer_sequence<int, kRows...>) {
  return {kGenericScans, ScansByOwn<kRows + 1, Wide>()...};
}

using SadFn = int32_t (*)(const TargetWindow&, const uint8_t*, int32_t);
template <int... kRows>
constexpr std::array<SadFn, sizeof...(kRows) + 1> NarrowSads(
    std::integer_sequence<int, kRows...>) {
  return {SadGeneric, SadFixed<kRows + 1, Narrow>...};
}
template <int... kRows>
constexpr std::array<SadFn, sizeof...(kRows) + 1> WideSads(
    std::integer_sequence<int, kRows...>) {
  return {SadGeneric, SadFixed<kRows + 1, Wide>...};
}

constexpr auto kNarrowScans = NarrowScans(std::make_integer_sequence<int, kNarrowRows>());
constexpr auto kWideScans = WideScans(std::make_integer_sequence<int, kWideRows>());
constexpr auto kNarrowSads = NarrowSads(std::make_integer_sequence<int, kNarrowRows>());
constexpr auto kWideSads = WideSads(std::make_integer_sequence<int, kWideRows>());

// The kernels' index for a target: its known rows where each is one piece
// (0, the generic loop, otherwise).
inline size_t FixedRows(const TargetWindow& target) {
  return target.pieces64_per_row() == 1 ? target.count64() : 0;
}

}  // namespace

PW_AVX512 int32_t WindowSadAvx512(const TargetWindow& target,
                                  const uint8_t* candidate, int stride,
                                  int32_t bound) {
  (void)stride;  // the pieces hold the offsets of the captured stride
  const size_t rows = FixedRows(target);
  if (target.padded() <= 32) return kNarrowSads[rows](target, candidate, bound);
  return kWideSads[rows](target, candidate, bound);
}

void ScanRowAvx512(const TargetWindow& target, const CandidateRow& row,
                   std::atomic<int32_t>& bound, SlotMinimum& slots) {
  const size_t rows = FixedRows(target);
  const int bin = OwnBin(target);
  if (target.padded() <= 32)
    kNarrowScans[rows][bin](target, row, bound, slots);
  else
    kWideScans[rows][bin](target, row, bound, slots);
}

}  // namespace pw
#endif
