#include "image/jpeg_codec.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "image/image_limits.h"

namespace Common {
namespace {

// The library's standard error manager ends the process on a fatal error
// and prints its messages. This one jumps back to the routine that called
// into the library instead, keeps every message off the console, and keeps
// the error's text and the first warning's (the one libjpeg would print).
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char reason[JMSG_LENGTH_MAX];   // why the library gave up; empty if unsaid
  char warning[JMSG_LENGTH_MAX];  // the first warning; empty if none
};

ErrorManager& ErrorsOf(j_common_ptr cinfo) {
  return *reinterpret_cast<ErrorManager*>(cinfo->err);
}

[[noreturn]] void GiveUp(j_common_ptr cinfo) { longjmp(ErrorsOf(cinfo).jump, 1); }

[[noreturn]] void OnJpegError(j_common_ptr cinfo) {
  cinfo->err->format_message(cinfo, ErrorsOf(cinfo).reason);
  GiveUp(cinfo);
}

// Warnings are corrupt data that the library recovers from, as every
// viewer does (junk before a marker, a wrong restart marker, bad codes
// decoded as gray), except the end of the data before the end marker: a
// file cut short is refused, wherever the cut falls.
void OnJpegMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;  // trace messages
  if (cinfo->err->msg_code == JWRN_JPEG_EOF) OnJpegError(cinfo);
  ErrorManager& err = ErrorsOf(cinfo);
  if (err.warning[0] == '\0') cinfo->err->format_message(cinfo, err.warning);
  ++cinfo->err->num_warnings;
}

void OnJpegOutput(j_common_ptr) {}

void InstallErrorManager(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = OnJpegError;
  err.pub.emit_message = OnJpegMessage;
  err.pub.output_message = OnJpegOutput;
  err.reason[0] = err.warning[0] = '\0';
}

// Called by the library about once per row of blocks in every pass.
struct ProgressMonitor {
  jpeg_progress_mgr pub;
  LoadControl* control;
};

void MonitorDecoding(j_common_ptr cinfo) {
  auto* monitor = reinterpret_cast<ProgressMonitor*>(cinfo->progress);
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxJpegScans) {
    std::snprintf(ErrorsOf(cinfo).reason, JMSG_LENGTH_MAX,
                  "progressive JPEG of more than %d scans", kMaxJpegScans);
    GiveUp(cinfo);
  }
  if (monitor->control->Stopped()) GiveUp(cinfo);
}

// What the library may allocate for a picture: the coefficients of every
// component when the file has several scans (a progressive file is decoded
// whole before the first row comes out), and buffers of a few dozen rows.
int64_t WorkingSetBound(const jpeg_decompress_struct& cinfo) {
  int64_t bytes = int64_t{16} << 20;
  bytes += int64_t{1024} * (cinfo.image_width + 64);
  if (jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&cinfo))) {
    for (int c = 0; c < cinfo.num_components; ++c) {
      const jpeg_component_info& comp = cinfo.comp_info[c];
      const int64_t blocks =
          (int64_t{comp.width_in_blocks} + comp.h_samp_factor) *
          (int64_t{comp.height_in_blocks} + comp.v_samp_factor);
      bytes += blocks * static_cast<int64_t>(sizeof(JBLOCK));
    }
  }
  return bytes;
}

// CMYK to RGB as the inks combine: each colour is what its ink and the
// black ink let through. Adobe's files store the inks inverted.
void CmykRowToRgb(const uint8_t* cmyk, uint8_t* rgb, int32_t width,
                  bool inverted) {
  for (int32_t x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
    const int k = inverted ? cmyk[3] : 255 - cmyk[3];  // light left by K
    for (int c = 0; c < 3; ++c) {
      const int ink = inverted ? 255 - cmyk[c] : cmyk[c];
      const int t = ink * k + 128;
      rgb[c] = static_cast<uint8_t>(k - (((t >> 8) + t) >> 8));
    }
  }
}

// The headers of the file up to its first scan, read ahead of the library
// so that metadata blocks that declare a wrong length can be dropped. The
// library skips the blocks it does not need (EXIF and XMP in APP1, the
// other APPn but JFIF's APP0 and Adobe's APP14, comments) by their length
// alone. One that declares too few bytes leaves the rest of the block to be
// read as markers (an EXIF thumbnail is a whole JPEG, whose frame would be
// decoded in place of the picture); one that declares too many swallows the
// tables and the frame behind it. Such a block goes, up to the next segment
// that the file can go on with.
class JpegHeaders {
 public:
  explicit JpegHeaders(FILE* stream) : stream_(stream) {}

  // Walks the segments from the start of the file to its first scan and
  // drops the metadata blocks whose length leads nowhere. Anything else
  // that is wrong is left for the library to find.
  void DropBrokenMetadata();

  // The bytes read, less the dropped blocks; the stream goes on behind them.
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  static constexpr size_t kMaxBytes = size_t{16} << 20;
  static constexpr size_t kMaxFillBytes = 16;
  static constexpr int kCheckedSegments = 4;
  static constexpr size_t kNone = ~size_t{0};

  // Markers that may come before the first scan and carry a length: SOFn
  // (but JPG), DHT, DAC, DQT, DRI, APPn and COM.
  static bool HeaderMarker(uint8_t code) {
    return (code >= 0xC0 && code <= 0xCF && code != 0xC8) || code == 0xDB ||
           code == 0xDD || (code >= 0xE0 && code <= 0xEF) || code == 0xFE;
  }
  static bool MetadataMarker(uint8_t code) {
    return (code >= 0xE1 && code <= 0xEF && code != 0xEE) || code == 0xFE;
  }

  // True when the bytes up to `end` have been read.
  bool Has(size_t end);
  // The marker at `at` (after a few fill bytes): its code and where the
  // code byte lies.
  bool MarkerAt(size_t at, uint8_t& code, size_t& codeAt);
  // Where the segment whose code byte lies at `codeAt` ends, or kNone.
  size_t SegmentEnd(size_t codeAt);
  // True when a segment starts at `at` that the file can go on with: the
  // first scan, or a segment behind which a few more follow, each at the
  // end of the one before, up to the scan or to a metadata block (whose
  // own length is judged when the walk comes to it).
  bool Sound(size_t at);
  // The first sound segment from `from` on, skipping embedded pictures.
  size_t NextSound(size_t from);

  FILE* stream_;
  std::vector<uint8_t> bytes_;
  bool ended_ = false;
};

bool JpegHeaders::Has(size_t end) {
  while (bytes_.size() < end && !ended_ && end <= kMaxBytes) {
    const size_t have = bytes_.size();
    const size_t want = std::min(kMaxBytes, std::max(end, have + 65536));
    bytes_.resize(want);
    const size_t got =
        std::fread(bytes_.data() + have, 1, want - have, stream_);
    bytes_.resize(have + got);
    ended_ = got < want - have;
  }
  return bytes_.size() >= end;
}

bool JpegHeaders::MarkerAt(size_t at, uint8_t& code, size_t& codeAt) {
  if (!Has(at + 2) || bytes_[at] != 0xFF) return false;
  codeAt = at + 1;
  while (bytes_[codeAt] == 0xFF) {
    if (codeAt - at > kMaxFillBytes || !Has(codeAt + 2)) return false;
    ++codeAt;
  }
  code = bytes_[codeAt];
  return true;
}

size_t JpegHeaders::SegmentEnd(size_t codeAt) {
  if (!Has(codeAt + 3)) return kNone;
  const size_t length = size_t{bytes_[codeAt + 1]} << 8 | bytes_[codeAt + 2];
  return length < 2 ? kNone : codeAt + 1 + length;
}

bool JpegHeaders::Sound(size_t at) {
  for (int segment = 0; segment <= kCheckedSegments; ++segment) {
    uint8_t code;
    size_t codeAt;
    if (!MarkerAt(at, code, codeAt)) return false;
    if (code == 0xDA || (segment > 0 && MetadataMarker(code))) return true;
    if (!HeaderMarker(code) || (at = SegmentEnd(codeAt)) == kNone) return false;
  }
  return true;
}

size_t JpegHeaders::NextSound(size_t from) {
  for (size_t at = from; Has(at + 2); ++at) {
    if (bytes_[at] != 0xFF || bytes_[at + 1] == 0xFF) continue;
    if (bytes_[at + 1] == 0xD8) {  // a thumbnail: on behind its end marker
      for (at += 2; Has(at + 2); ++at)
        if (bytes_[at] == 0xFF && bytes_[at + 1] == 0xD9) break;
      ++at;
    } else if (Sound(at)) {
      return at;
    }
  }
  return kNone;
}

void JpegHeaders::DropBrokenMetadata() {
  if (!Has(2) || bytes_[0] != 0xFF || bytes_[1] != 0xD8) return;
  std::vector<std::pair<size_t, size_t>> dropped;
  size_t at = 2;
  for (;;) {
    uint8_t code;
    size_t codeAt;
    if (!MarkerAt(at, code, codeAt) || !HeaderMarker(code)) break;
    if (MetadataMarker(code) && !Sound(at)) {
      const size_t next = NextSound(codeAt + 3);
      if (next == kNone) break;
      dropped.emplace_back(at, next);
      at = next;
      continue;
    }
    if ((at = SegmentEnd(codeAt)) == kNone) break;
  }
  // Close the gaps, front to back.
  size_t kept = dropped.empty() ? bytes_.size() : dropped[0].first;
  for (size_t i = 0; i < dropped.size(); ++i) {
    const size_t end =
        i + 1 < dropped.size() ? dropped[i + 1].first : bytes_.size();
    std::copy(bytes_.begin() + dropped[i].second, bytes_.begin() + end,
              bytes_.begin() + kept);
    kept += end - dropped[i].second;
  }
  bytes_.resize(kept);
}

// A data source that hands the library the headers read ahead, then the
// rest of the stream. At the end of the data it behaves as the library's
// stdio source does: an error for an empty file, else a warning and an
// end marker.
struct HeadThenStreamSource {
  jpeg_source_mgr pub;
  const std::vector<uint8_t>* head;
  bool headGiven;
  bool anyData;
  FILE* stream;
  JOCTET buffer[4096];
};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<HeadThenStreamSource*>(cinfo->src);
  if (!src->headGiven) {
    src->headGiven = true;
    if (!src->head->empty()) {
      src->anyData = true;
      src->pub.next_input_byte = src->head->data();
      src->pub.bytes_in_buffer = src->head->size();
      return TRUE;
    }
  }
  size_t got = std::fread(src->buffer, 1, sizeof src->buffer, src->stream);
  if (got == 0) {
    if (!src->anyData) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    got = 2;
  }
  src->anyData = true;
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = got;
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr* src = cinfo->src;
  if (count <= 0) return;
  while (count > static_cast<long>(src->bytes_in_buffer)) {
    count -= static_cast<long>(src->bytes_in_buffer);
    FillInput(cinfo);
  }
  src->next_input_byte += count;
  src->bytes_in_buffer -= static_cast<size_t>(count);
}

void InstallSource(HeadThenStreamSource& src, const std::vector<uint8_t>& head,
                   FILE* stream) {
  src.pub.init_source = InitSource;
  src.pub.fill_input_buffer = FillInput;
  src.pub.skip_input_data = SkipInput;
  src.pub.resync_to_restart = jpeg_resync_to_restart;
  src.pub.term_source = TermSource;
  src.pub.next_input_byte = nullptr;
  src.pub.bytes_in_buffer = 0;
  src.head = &head;
  src.headGiven = false;
  src.anyData = false;
  src.stream = stream;
}

constexpr char kExifHead[] = "Exif\0";  // and the terminating NUL
constexpr size_t kExifHeadSize = 6;
constexpr char kXmpHead[] = "http://ns.adobe.com/xap/1.0/";  // and NUL
constexpr size_t kXmpHeadSize = sizeof kXmpHead;
constexpr char kIccHead[] = "ICC_PROFILE";  // and NUL, sequence, count
constexpr size_t kIccHeadSize = sizeof kIccHead + 2;
constexpr size_t kMaxMarkerData = 65533;

bool StartsWith(const jpeg_saved_marker_ptr m, const char* head, size_t n) {
  return m->data_length >= n && std::memcmp(m->data, head, n) == 0;
}

// The EXIF, XMP and ICC blocks of the saved APP1 and APP2 markers. The
// profile's chunks are put together by their sequence numbers; a profile
// with a chunk missing or given twice is dropped.
void TakeMetadata(const jpeg_decompress_struct& cinfo, ImageMetadata& meta) {
  std::map<int, std::string> icc;
  int iccCount = 0;
  bool iccBroken = false;
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
    const char* data = reinterpret_cast<const char*>(m->data);
    if (m->marker == JPEG_APP0 + 1 && meta.exif.empty() &&
        StartsWith(m, kExifHead, kExifHeadSize)) {
      meta.exif.assign(data + kExifHeadSize, m->data_length - kExifHeadSize);
    } else if (m->marker == JPEG_APP0 + 1 && meta.xmp.empty() &&
               StartsWith(m, kXmpHead, kXmpHeadSize)) {
      meta.xmp.assign(data + kXmpHeadSize, m->data_length - kXmpHeadSize);
    } else if (m->marker == JPEG_APP0 + 2 &&
               StartsWith(m, kIccHead, sizeof kIccHead)) {
      if (m->data_length < kIccHeadSize) { iccBroken = true; continue; }
      const int seq = m->data[sizeof kIccHead], count = m->data[sizeof kIccHead + 1];
      if (iccCount == 0) iccCount = count;
      if (seq < 1 || seq > count || count != iccCount || icc.count(seq) != 0)
        iccBroken = true;
      else
        icc[seq].assign(data + kIccHeadSize, m->data_length - kIccHeadSize);
    }
  }
  if (!iccBroken && iccCount > 0 && static_cast<int>(icc.size()) == iccCount)
    for (const auto& chunk : icc) meta.icc += chunk.second;
}

// The tables and sampling factors of the file, read after its headers.
void TakeQuantisation(const jpeg_decompress_struct& cinfo, JpegQuantisation& q) {
  if (cinfo.num_components < 1 || cinfo.num_components > 4) return;
  for (int t = 0; t < 4; ++t) {
    q.present[t] = cinfo.quant_tbl_ptrs[t] != nullptr;
    if (q.present[t])
      for (int k = 0; k < 64; ++k) q.tables[t][k] = cinfo.quant_tbl_ptrs[t]->quantval[k];
  }
  for (int c = 0; c < cinfo.num_components; ++c) {
    const jpeg_component_info& comp = cinfo.comp_info[c];
    if (comp.quant_tbl_no < 0 || comp.quant_tbl_no > 3 || !q.present[comp.quant_tbl_no])
      return;
    q.table[c] = comp.quant_tbl_no;
    q.h[c] = comp.h_samp_factor;
    q.v[c] = comp.v_samp_factor;
  }
  q.components = cinfo.num_components;
}

// The JFIF density: dots per inch or per centimetre, or (unit 0) the
// pixels' aspect ratio. Square pixels without a unit, what every encoder
// writes by default, state nothing.
void TakeResolution(const jpeg_decompress_struct& cinfo, Resolution& res) {
  if (!cinfo.saw_JFIF_marker || cinfo.X_density == 0 || cinfo.Y_density == 0 ||
      cinfo.density_unit > 2 ||
      (cinfo.density_unit == 0 && cinfo.X_density == cinfo.Y_density))
    return;
  res.x = cinfo.X_density;
  res.y = cinfo.Y_density;
  res.unit = cinfo.density_unit == 1   ? Resolution::Unit::Inch
             : cinfo.density_unit == 2 ? Resolution::Unit::Centimetre
                                       : Resolution::Unit::None;
}

struct JpegRead {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  ProgressMonitor progress;
  HeadThenStreamSource source;
  CImage* image = nullptr;
  LoadControl* control = nullptr;
};

// Gives up on the file with the reader's own reason.
bool Refuse(JpegRead& r, const char* why) {
  std::snprintf(r.err.reason, JMSG_LENGTH_MAX, "%s", why);
  return false;
}

// The library part of the read, with only trivially destructible locals:
// a long jump out of libjpeg lands in its setjmp.
bool DecodeJpeg(JpegRead& r) {
  if (setjmp(r.err.jump)) return false;
  jpeg_create_decompress(&r.cinfo);
  r.progress.pub.progress_monitor = MonitorDecoding;
  r.progress.control = r.control;
  r.cinfo.progress = &r.progress.pub;
  r.cinfo.src = &r.source.pub;
  jpeg_save_markers(&r.cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&r.cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&r.cinfo, TRUE);
  TakeMetadata(r.cinfo, r.image->metadata);
  TakeQuantisation(r.cinfo, r.image->metadata.jpeg);
  TakeResolution(r.cinfo, r.image->metadata.resolution);

  int32_t channels = 3;
  bool cmyk = false;
  switch (r.cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      r.image->metadata.gray = true;
      channels = r.control->prefer_rgb ? 3 : 1;
      r.cinfo.out_color_space = r.control->prefer_rgb ? JCS_RGB : JCS_GRAYSCALE;
      break;
    case JCS_RGB:
    case JCS_YCbCr:
      r.cinfo.out_color_space = JCS_RGB;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      cmyk = true;
      r.cinfo.out_color_space = JCS_CMYK;
      break;
    default:
      std::snprintf(r.err.reason, JMSG_LENGTH_MAX,
                    "unsupported JPEG colour space (%d components)", r.cinfo.num_components);
      return false;
  }
  // Refuse sizes over the limits before the library allocates for them,
  // and bound its working set by what a picture of this size needs.
  if (r.control->Admit(r.cinfo.image_width, r.cinfo.image_height, channels) < 0)
    return false;
  r.cinfo.mem->max_memory_to_use = static_cast<long>(WorkingSetBound(r.cinfo));

  jpeg_start_decompress(&r.cinfo);
  if (r.cinfo.output_width != r.cinfo.image_width ||
      r.cinfo.output_height != r.cinfo.image_height ||
      r.cinfo.output_components != (cmyk ? 4 : channels))
    return Refuse(r, "the decoder's output does not match the frame");
  if (!r.image->Create(static_cast<int32_t>(r.cinfo.output_width),
                       static_cast<int32_t>(r.cinfo.output_height), channels,
                       true, false))
    return Refuse(r, "no memory for the picture");
  JSAMPARRAY cmykRow =
      cmyk ? (*r.cinfo.mem->alloc_sarray)(
                 reinterpret_cast<j_common_ptr>(&r.cinfo), JPOOL_IMAGE,
                 r.cinfo.output_width * 4, 1)
           : nullptr;
  const bool inverted = cmyk && r.cinfo.saw_Adobe_marker;
  while (r.cinfo.output_scanline < r.cinfo.output_height) {
    const int32_t y = static_cast<int32_t>(r.cinfo.output_scanline);
    JSAMPROW row = cmyk ? cmykRow[0] : r.image->PixelAt(0, y);
    if (jpeg_read_scanlines(&r.cinfo, &row, 1) != 1)
      return Refuse(r, "the decoder gave no rows");
    if (cmyk) CmykRowToRgb(row, r.image->PixelAt(0, y), r.image->width, inverted);
  }
  jpeg_finish_decompress(&r.cinfo);
  return true;
}

struct JpegWrite {
  jpeg_compress_struct cinfo;
  ErrorManager err;
};

void WriteBlock(j_compress_ptr cinfo, int marker, const char* head, size_t headSize,
                const std::string& block) {
  if (block.empty() || headSize + block.size() > kMaxMarkerData) return;
  std::string data(head, headSize);
  data += block;
  jpeg_write_marker(cinfo, marker, reinterpret_cast<const JOCTET*>(data.data()),
                    static_cast<unsigned>(data.size()));
}

void WriteMetadata(j_compress_ptr cinfo, const ImageMetadata& meta) {
  WriteBlock(cinfo, JPEG_APP0 + 1, kExifHead, kExifHeadSize, meta.exif);
  WriteBlock(cinfo, JPEG_APP0 + 1, kXmpHead, kXmpHeadSize, meta.xmp);
  const size_t chunk = kMaxMarkerData - kIccHeadSize;
  const size_t count = (meta.icc.size() + chunk - 1) / chunk;
  if (count > 255) return;
  for (size_t i = 0; i < count; ++i) {
    char head[kIccHeadSize];
    std::memcpy(head, kIccHead, sizeof kIccHead);
    head[sizeof kIccHead] = static_cast<char>(i + 1);
    head[sizeof kIccHead + 1] = static_cast<char>(count);
    WriteBlock(cinfo, JPEG_APP0 + 2, head, kIccHeadSize, meta.icc.substr(i * chunk, chunk));
  }
}

// The input's tables and sampling factors, where its components map onto
// the output's one to one. Entries are brought to 1..255: a zero would be
// a division by zero in the encoder, and an entry above 255 would make the
// file extended-sequential instead of baseline.
bool UseQuantisation(j_compress_ptr cinfo, const JpegQuantisation& q) {
  if (q.components != cinfo->num_components) return false;
  for (int t = 0; t < 4; ++t) {
    if (!q.present[t]) continue;
    if (cinfo->quant_tbl_ptrs[t] == nullptr)
      cinfo->quant_tbl_ptrs[t] = jpeg_alloc_quant_table(reinterpret_cast<j_common_ptr>(cinfo));
    for (int k = 0; k < 64; ++k)
      cinfo->quant_tbl_ptrs[t]->quantval[k] =
          std::clamp<UINT16>(q.tables[t][k], 1, 255);
    cinfo->quant_tbl_ptrs[t]->sent_table = FALSE;
  }
  for (int c = 0; c < q.components; ++c) {
    cinfo->comp_info[c].quant_tbl_no = q.table[c];
    cinfo->comp_info[c].h_samp_factor = q.h[c];
    cinfo->comp_info[c].v_samp_factor = q.v[c];
  }
  return true;
}

// A density as JFIF stores it: a whole number from 1 to 65535.
UINT16 DensityField(double value) {
  return static_cast<UINT16>(std::clamp(std::llround(value), 1LL, 65535LL));
}

// How far the stored field is from the density, relative to it.
double DensityError(double value) {
  return std::abs(DensityField(value) - value) / value;
}

double DensityError(double x, double y) {
  return std::max(DensityError(x), DensityError(y));
}

// The JFIF density of a stated resolution. Dots per inch or per centimetre
// in the unit that stores it closer (a PNG's 11811 pixels per metre are
// 300 dpi, not 118 per centimetre); an aspect ratio without a unit as the
// smallest whole numbers that hold it.
void SetDensity(j_compress_ptr cinfo, const Resolution& res) {
  if (!res.Given()) return;
  double x = res.x, y = res.y;
  UINT8 unit = 0;
  if (res.unit == Resolution::Unit::None) {
    const double small = std::min(x, y);
    x /= small;
    y /= small;
    double k = 1;
    while (k < 1000 && DensityError(k * x, k * y) > 1e-3) ++k;
    if (DensityError(k * x, k * y) > 1e-3) k = 65535 / std::max(x, y);
    x *= k;
    y *= k;
  } else {
    const bool inch = res.unit == Resolution::Unit::Inch;
    const double ix = res.XPerInch(), iy = res.YPerInch();
    const double cx = ix / 2.54, cy = iy / 2.54;
    const double inchError = DensityError(ix, iy), cmError = DensityError(cx, cy);
    const bool useInch = inch ? inchError <= cmError : inchError < cmError;
    x = useInch ? ix : cx;
    y = useInch ? iy : cy;
    unit = useInch ? 1 : 2;
  }
  cinfo->write_JFIF_header = TRUE;
  cinfo->density_unit = unit;
  cinfo->X_density = DensityField(x);
  cinfo->Y_density = DensityField(y);
}

// Pixels to encode: `step` bytes apart in rows `stride` bytes apart, of
// which the first `components` samples (1: gray, 3: RGB) are written.
struct JpegPixels {
  const uint8_t* pixels;
  int32_t width, height, stride, step, components;
};

bool EncodeJpeg(const JpegPixels& in, int quality, FILE* stream, JpegWrite& w,
                const ImageMetadata* meta) {
  if (setjmp(w.err.jump)) return false;
  jpeg_create_compress(&w.cinfo);
  jpeg_stdio_dest(&w.cinfo, stream);
  w.cinfo.image_width = static_cast<JDIMENSION>(in.width);
  w.cinfo.image_height = static_cast<JDIMENSION>(in.height);
  w.cinfo.input_components = in.components;
  w.cinfo.in_color_space = in.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&w.cinfo);
  if (quality != kKeepJpegQuality || meta == nullptr || !UseQuantisation(&w.cinfo, meta->jpeg))
    jpeg_set_quality(&w.cinfo, quality == kKeepJpegQuality ? kDefaultJpegQuality : quality, TRUE);
  if (meta != nullptr) SetDensity(&w.cinfo, meta->resolution);
  jpeg_start_compress(&w.cinfo, TRUE);
  if (meta != nullptr) WriteMetadata(&w.cinfo, *meta);
  // Rows of other pixels than the output's are packed into a row of its own.
  JSAMPARRAY packed =
      in.step != in.components
          ? (*w.cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&w.cinfo),
                                         JPOOL_IMAGE,
                                         static_cast<JDIMENSION>(in.width * in.components), 1)
          : nullptr;
  for (int32_t y = 0; y < in.height; ++y) {
    JSAMPROW row = const_cast<JSAMPROW>(in.pixels + static_cast<size_t>(in.stride) * y);
    if (packed != nullptr) {
      for (int32_t x = 0; x < in.width; ++x)
        std::memcpy(packed[0] + static_cast<size_t>(x) * in.components,
                    row + static_cast<size_t>(x) * in.step, static_cast<size_t>(in.components));
      row = packed[0];
    }
    jpeg_write_scanlines(&w.cinfo, &row, 1);
  }
  jpeg_finish_compress(&w.cinfo);
  return true;
}

bool WritePixels(const JpegPixels& in, FILE* stream, int quality,
                 const ImageMetadata* meta) {
  if ((quality < 1 || quality > 100) && quality != kKeepJpegQuality) return false;
  JpegWrite w{};
  InstallErrorManager(w.err);
  w.cinfo.err = &w.err.pub;
  const bool ok = EncodeJpeg(in, quality, stream, w, meta);
  if (w.cinfo.mem != nullptr) jpeg_destroy_compress(&w.cinfo);
  return ok;
}

}  // namespace

bool ReadJpegFile(FILE* stream, CImage& image, LoadControl& control) {
  // Zeroed, so that a failure inside jpeg_create_decompress leaves no
  // memory manager for jpeg_destroy to free.
  JpegRead r{};
  InstallErrorManager(r.err);
  r.cinfo.err = &r.err.pub;
  r.image = &image;
  r.control = &control;
  JpegHeaders headers(stream);
  headers.DropBrokenMetadata();
  InstallSource(r.source, headers.bytes(), stream);
  const bool ok = DecodeJpeg(r);
  if (r.cinfo.mem != nullptr) jpeg_destroy_decompress(&r.cinfo);
  if (!ok && control.failure() == LoadFailure::None)
    control.Refuse(r.err.reason[0] != '\0' ? r.err.reason : "not a readable JPEG");
  if (ok && r.err.warning[0] != '\0') control.Warn(r.err.warning);
  return ok;
}

bool WriteJpegFile(const uint8_t* pixels, int32_t width, int32_t height,
                   int32_t stride, int32_t channels, FILE* stream,
                   int quality, const ImageMetadata* meta) {
  if (channels != 1 && channels != 3) return false;
  const bool gray = channels == 1 || (meta != nullptr && meta->gray);
  return WritePixels({pixels, width, height, stride, channels, gray ? 1 : 3},
                     stream, quality, meta);
}

bool WriteJpeg(const CImage& image, FILE* stream, int quality) {
  if (image.depth != 8 || image.channels < 1 || image.channels > 4 ||
      image.channels == 2)
    return false;
  const bool gray = image.channels == 1 || image.metadata.gray;
  return WritePixels({image.pixels, image.width, image.height, image.stride,
                      image.channels, gray ? 1 : 3},
                     stream, quality, &image.metadata);
}

}  // namespace Common
