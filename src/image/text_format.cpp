#include "image/text_format.h"

#include <cstdint>
#include <cstring>

#include "image/image_limits.h"

namespace Common {
namespace {

constexpr uint32_t kMaxTextDimension = 16384;
// Text files are read whole; larger ones cannot hold a valid image anyway
// (a 16384 x 16384 image needs at most about 1.1 GB of text).
constexpr size_t kMaxTextBytes = size_t{3} << 29;

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// UTF-16 little-endian code units to UTF-8; unpaired surrogates become
// U+FFFD and a trailing odd byte is dropped.
std::string Utf16LeToUtf8(const std::string& bytes, size_t start) {
  std::string out;
  out.reserve(bytes.size() - start);
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
  };
  for (size_t i = start; i + 1 < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < bytes.size()) {
      const uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        code = 0xFFFD;
      }
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    AppendUtf8(out, code);
  }
  return out;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Characters that separate the values of a row.
bool IsValueSeparator(char c) {
  return std::strchr(" \t\r\n,;.-!?({[)}]\"", c) != nullptr && c != '\0';
}

// Header reading with the rules of scanf's %s and %d.
class HeaderScanner {
 public:
  explicit HeaderScanner(const std::string& text) : text_(text) {}

  bool Word(const char* expected) {
    SkipSpace();
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
    return text_.compare(start, pos_ - start, expected) == 0;
  }

  bool Integer(int64_t& value) {
    SkipSpace();
    bool negative = false;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-'))
      negative = text_[pos_++] == '-';
    if (pos_ >= text_.size() || !IsDigit(text_[pos_])) return false;
    value = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_])) {
      value = value * 10 + (text_[pos_++] - '0');
      if (value > INT32_MAX) return false;  // does not fit %d
    }
    if (negative) value = -value;
    return true;
  }

  size_t position() const { return pos_; }

 private:
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }
  const std::string& text_;
  size_t pos_ = 0;
};

// One value of a row: an optional '+', then digits; what follows the digits
// is ignored. False when it does not start with a number or does not fit a
// 32-bit signed integer.
bool ParseValue(const char* begin, const char* end, int32_t& value) {
  const char* p = begin;
  if (p < end && *p == '+') ++p;
  if (p == end || !IsDigit(*p)) return false;
  int64_t v = 0;
  for (; p < end && IsDigit(*p); ++p) {
    v = v * 10 + (*p - '0');
    if (v > INT32_MAX) return false;
  }
  value = static_cast<int32_t>(v);
  return true;
}

}  // namespace

bool ReadTextFile(FILE* stream, std::string& text) {
  text.clear();
  char chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) {
    if (text.size() + got > kMaxTextBytes) return false;
    text.append(chunk, got);
  }
  if (std::ferror(stream)) return false;
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  if (text.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB &&
      byte(2) == 0xBF) {
    text.erase(0, 3);
  } else if (text.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) ||
                                  (byte(0) == 0xFE && byte(1) == 0xFF))) {
    text = Utf16LeToUtf8(text, 2);
  }
  return true;
}

bool ReadTextImage(CImage& image, FILE* stream) {
  std::string text;
  if (!ReadTextFile(stream, text)) return false;

  HeaderScanner header(text);
  int64_t width = 0, height = 0;
  if (!header.Word("NHORZ") || !header.Integer(width) ||
      !header.Word("NVERT") || !header.Integer(height))
    return false;
  // Compared as unsigned numbers: negative sizes fail too.
  if (static_cast<uint32_t>(width) > kMaxTextDimension ||
      static_cast<uint32_t>(height) > kMaxTextDimension)
    return false;

  size_t pos = header.position();
  // Every row needs width values of one character with a separator between
  // them, and the rows a line break between them: refuse texts too short for
  // that before allocating.
  if (width > 0 && height > 0 &&
      static_cast<int64_t>(text.size() - pos) <
          height * (2 * width - 1) + (height - 1))
    return false;

  if (!image.Create(static_cast<int32_t>(width), static_cast<int32_t>(height),
                    1, true, false))
    return false;

  const char* const data = text.data();
  const size_t size = text.size();
  for (int32_t y = 0; y < image.height; ++y) {
    while (pos < size && (data[pos] == '\r' || data[pos] == '\n')) ++pos;
    if (pos >= size) return false;  // fewer lines than rows
    size_t line_end = pos;
    while (line_end < size && data[line_end] != '\r' && data[line_end] != '\n')
      ++line_end;

    uint8_t* row = image.pixels + static_cast<size_t>(image.stride) * y;
    int32_t count = 0;
    size_t p = pos;
    while (p < line_end) {
      if (IsValueSeparator(data[p])) {
        ++p;
        continue;
      }
      size_t token_end = p;
      while (token_end < line_end && !IsValueSeparator(data[token_end]))
        ++token_end;
      int32_t value = 0;
      if (count >= image.width || !ParseValue(data + p, data + token_end, value))
        return false;
      row[count++] = static_cast<uint8_t>(value & 0xFF);
      p = token_end;
    }
    if (count != image.width) return false;
    pos = line_end;
  }
  return true;
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
