#include "image/text_format.h"

#include <cstdint>
#include <cstring>

#include "image/image_limits.h"
#include "image/stream_io.h"

namespace Common {
namespace {

constexpr uint32_t kMaxTextDimension = 16384;
// The body may hold at most this many bytes per value announced by the
// header, plus some per row: far more than any number and its separators
// need, and a bound on what a file with a plausible header can make the
// reader scan.
constexpr int64_t kMaxBytesPerValue = 64;
constexpr int64_t kMaxExtraBytesPerRow = 1024;

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Characters that separate the values of a row.
bool IsValueSeparator(int c) {
  return c > 0 && c < 128 &&
         std::strchr(" \t\r\n,;.-!?({[)}]\"", c) != nullptr;
}

// The file as a stream of UTF-8 bytes, read in chunks: a UTF-8 byte-order
// mark is dropped; after a UTF-16 mark (either order) the rest is read as
// UTF-16 little-endian and converted, unpaired surrogates becoming U+FFFD
// and a trailing odd byte dropped.
class TextStream {
 public:
  explicit TextStream(FILE* stream) : stream_(stream) {
    const int b0 = Byte(), b1 = Byte();
    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF)) {
      utf16_ = true;
      return;
    }
    const int b2 = Byte();
    if (b0 == 0xEF && b1 == 0xBB && b2 == 0xBF) return;
    for (int b : {b0, b1, b2})
      if (b != EOF) pending_[pending_count_++] = static_cast<char>(b);
  }

  bool failed() const { return std::ferror(stream_) != 0; }

  // The fewest characters still to come, or -1 when the stream cannot
  // tell: an ASCII character takes one byte, or two in UTF-16.
  int64_t MinCharactersLeft() const {
    const int64_t unread = RemainingBytes(stream_);
    if (unread < 0) return -1;
    const int64_t raw = unread + static_cast<int64_t>(len_ - pos_) +
                        (lookahead_ >= 0 ? 2 : 0);
    return (pending_count_ - pending_pos_) + (utf16_ ? raw / 2 : raw);
  }
  // UTF-8 bytes handed out so far.
  int64_t consumed() const { return consumed_; }

  // Past `bytes` more bytes the stream ends early and over_limit() says so.
  void LimitTo(int64_t bytes) { limit_ = consumed_ + bytes; }
  bool over_limit() const { return over_limit_; }

  int Next() {
    if (consumed_ >= limit_) {
      over_limit_ = true;
      return EOF;
    }
    if (pending_pos_ == pending_count_) {
      pending_pos_ = pending_count_ = 0;
      if (!utf16_) {
        const int b = Byte();
        if (b == EOF) return EOF;
        ++consumed_;
        return b;
      }
      if (!DecodeUnit()) return EOF;
    }
    ++consumed_;
    return static_cast<uint8_t>(pending_[pending_pos_++]);
  }

 private:
  int Byte() {
    if (pos_ == len_) {
      len_ = std::fread(buffer_, 1, sizeof buffer_, stream_);
      pos_ = 0;
      if (len_ == 0) return EOF;
    }
    return buffer_[pos_++];
  }

  // The next UTF-16 code unit, or -1 at the end.
  int32_t Unit() {
    if (lookahead_ >= 0) {
      const int32_t u = lookahead_;
      lookahead_ = -1;
      return u;
    }
    const int lo = Byte();
    if (lo == EOF) return -1;
    const int hi = Byte();
    if (hi == EOF) return -1;
    return lo | hi << 8;
  }

  bool DecodeUnit() {
    const int32_t unit = Unit();
    if (unit < 0) return false;
    uint32_t code = static_cast<uint32_t>(unit);
    if (code >= 0xD800 && code < 0xDC00) {
      const int32_t low = Unit();
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
      } else {
        code = 0xFFFD;
        lookahead_ = low;
      }
    } else if (code >= 0xDC00 && code < 0xE000) {
      code = 0xFFFD;
    }
    Append(code);
    return true;
  }

  void Append(uint32_t code) {
    auto put = [this](uint32_t b) { pending_[pending_count_++] = static_cast<char>(b); };
    if (code < 0x80) {
      put(code);
    } else if (code < 0x800) {
      put(0xC0 | (code >> 6));
      put(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      put(0xE0 | (code >> 12));
      put(0x80 | ((code >> 6) & 0x3F));
      put(0x80 | (code & 0x3F));
    } else {
      put(0xF0 | (code >> 18));
      put(0x80 | ((code >> 12) & 0x3F));
      put(0x80 | ((code >> 6) & 0x3F));
      put(0x80 | (code & 0x3F));
    }
  }

  FILE* stream_;
  uint8_t buffer_[65536];
  size_t pos_ = 0, len_ = 0;
  bool utf16_ = false;
  int32_t lookahead_ = -1;
  char pending_[4];
  int pending_pos_ = 0, pending_count_ = 0;
  int64_t consumed_ = 0;
  int64_t limit_ = INT64_MAX;
  bool over_limit_ = false;
};

// The header, with the rules of scanf's %s and %d. `c` holds the character
// after the last one used.
class HeaderReader {
 public:
  explicit HeaderReader(TextStream& text) : text_(text), c_(text.Next()) {}

  bool Word(const char* expected) {
    SkipSpace();
    // A longer word cannot match: stop reading it there.
    for (const char* e = expected;; ++e) {
      if (c_ == EOF || IsSpace(c_)) return *e == '\0';
      if (*e == '\0' || c_ != static_cast<uint8_t>(*e)) return false;
      c_ = text_.Next();
    }
  }

  bool Integer(int64_t& value) {
    SkipSpace();
    bool negative = false;
    if (c_ == '+' || c_ == '-') {
      negative = c_ == '-';
      c_ = text_.Next();
    }
    if (!IsDigit(c_)) return false;
    value = 0;
    for (; IsDigit(c_); c_ = text_.Next()) {
      value = value * 10 + (c_ - '0');
      if (value > INT32_MAX) return false;  // does not fit %d
    }
    if (negative) value = -value;
    return true;
  }

  // The character right after the header.
  int current() const { return c_; }

 private:
  void SkipSpace() {
    while (IsSpace(c_)) c_ = text_.Next();
  }
  TextStream& text_;
  int c_;
};

// One row: CR and LF are skipped first; then the line up to the next CR,
// LF or the end holds exactly width values, each an optional '+' and
// digits fitting a 32-bit signed integer, the rest of the value ignored.
// `c` is the first character to look at and is left after the line.
bool ReadRow(TextStream& text, int& c, uint8_t* row, int32_t width) {
  while (c == '\r' || c == '\n') c = text.Next();
  if (c == EOF) return false;  // fewer lines than rows
  int32_t count = 0;
  while (c != EOF && c != '\r' && c != '\n') {
    if (IsValueSeparator(c)) {
      c = text.Next();
      continue;
    }
    if (count >= width) return false;
    if (c == '+') c = text.Next();
    if (!IsDigit(c)) return false;
    int64_t v = 0;
    for (; IsDigit(c); c = text.Next()) {
      v = v * 10 + (c - '0');
      if (v > INT32_MAX) return false;
    }
    while (c != EOF && !IsValueSeparator(c)) c = text.Next();
    row[count++] = static_cast<uint8_t>(v & 0xFF);
  }
  return count == width;
}

}  // namespace

bool ReadTextImage(CImage& image, FILE* stream, LoadControl& control) {
  // The header first: a file that does not start with one is refused
  // after a few bytes, whatever its size.
  TextStream text(stream);
  HeaderReader header(text);
  int64_t width = 0, height = 0;
  if (!header.Word("NHORZ") || !header.Integer(width) ||
      !header.Word("NVERT") || !header.Integer(height))
    return false;
  // Compared as unsigned numbers: negative sizes fail too.
  if (static_cast<uint32_t>(width) > kMaxTextDimension ||
      static_cast<uint32_t>(height) > kMaxTextDimension)
    return false;
  if (control.Admit(width, height, 1) < 0) return false;

  // Every row needs width values of one character with a separator between
  // them, and the rows a line break between them: refuse files too short
  // for that before allocating.
  const int64_t left = text.MinCharactersLeft();
  if (width > 0 && height > 0 && left >= 0 &&
      left + (header.current() == EOF ? 0 : 1) <
          height * (2 * width - 1) + (height - 1))
    return false;

  if (!image.Create(static_cast<int32_t>(width), static_cast<int32_t>(height),
                    1, true, false))
    return false;

  // The body is read as it comes, and refused as soon as it is longer than
  // the rows announced can be.
  text.LimitTo(height * (kMaxBytesPerValue * width + kMaxExtraBytesPerRow));
  int c = header.current();
  for (int32_t y = 0; y < image.height; ++y) {
    if (control.Stopped()) return false;
    if (!ReadRow(text, c, image.PixelAt(0, y), image.width)) return false;
  }
  return !text.failed() && !text.over_limit();
}

bool WriteTextImage(const CImage& image, FILE* stream) {
  std::fprintf(stream, "NHORZ %d\r\n", image.width);
  std::fprintf(stream, "NVERT %d\r\n", image.height);
  uint8_t rgba[4];
  for (int32_t c = 0; c < image.channels; ++c) {
    for (int32_t y = 0; y < image.height; ++y) {
      for (int32_t x = 0; x < image.width; ++x) {
        image.GetRgba(x, y, rgba);
        std::fprintf(stream, "%d\t", rgba[c]);
      }
      std::fprintf(stream, "\r\n");
    }
    std::fprintf(stream, "\r\n");
  }
  return std::ferror(stream) == 0;
}

}  // namespace Common
