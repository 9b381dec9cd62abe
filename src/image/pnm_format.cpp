#include "image/pnm_format.h"

#include <cstring>
#include <vector>

#include "image/image_limits.h"
#include "image/stream_io.h"

namespace Common {
namespace {

bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// scanf's %d on a line: optional sign, then at least one digit. Numbers
// that do not fit 32 bits are not values.
bool ScanInteger(const char*& p, int32_t& value) {
  const char* q = p;
  while (IsSpace(static_cast<unsigned char>(*q))) ++q;
  bool negative = false;
  if (*q == '+' || *q == '-') negative = *q++ == '-';
  if (!IsDigit(static_cast<unsigned char>(*q))) return false;
  int64_t v = 0;
  for (; IsDigit(static_cast<unsigned char>(*q)); ++q) {
    v = v * 10 + (*q - '0');
    if (v > INT32_MAX) return false;
  }
  value = static_cast<int32_t>(negative ? -v : v);
  p = q;
  return true;
}

// One P3 number: white space, an optional sign, digits. Larger numbers
// than 32 bits keep their low bits, as the 8-bit samples always have.
bool ReadAsciiNumber(FILE* stream, uint32_t& value, bool& negative) {
  int c;
  do c = std::getc(stream);
  while (c != EOF && IsSpace(c));
  negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = std::getc(stream);
  }
  if (!IsDigit(c)) return false;
  uint32_t v = 0;
  for (; IsDigit(c); c = std::getc(stream)) v = v * 10u + static_cast<uint32_t>(c - '0');
  if (c != EOF) std::ungetc(c, stream);
  value = v;
  return true;
}

// A sample of a file whose maximum value is above 255 (two bytes per
// sample in P6) brought to 16 bits. Samples above the maximum count as the
// maximum.
uint16_t WideValue(uint32_t v, uint32_t maximum) {
  if (v > maximum) v = maximum;
  return static_cast<uint16_t>((v * 65535u + maximum / 2) / maximum);
}

// The same sample as 8 bits: the high byte, as for 16-bit PNGs.
uint8_t WideSample(uint32_t v, uint32_t maximum) {
  return static_cast<uint8_t>(WideValue(v, maximum) >> 8);
}

void PutWide(uint8_t* row, size_t i, uint16_t v) { std::memcpy(row + 2 * i, &v, 2); }

}  // namespace

bool ReadPnmHeader(FILE* stream, int32_t& width, int32_t& height,
                   int32_t& maximum, bool& ascii) {
  char line[1024];
  std::string magic;
  int32_t numbers[3] = {0, 0, 0};
  int found = 0;
  while (found < 4 && std::fgets(line, sizeof line, stream) != nullptr) {
    if (std::strchr(line, '#') != nullptr) continue;
    const char* p = line;
    while (found < 4) {
      if (found == 0) {
        while (IsSpace(static_cast<unsigned char>(*p))) ++p;
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && !IsSpace(static_cast<unsigned char>(*p))) ++p;
        magic.assign(start, p);
      } else if (!ScanInteger(p, numbers[found - 1])) {
        break;
      }
      ++found;
    }
  }
  if (found < 4) return false;
  if (magic != "P3" && magic != "P6") return false;
  width = numbers[0];
  height = numbers[1];
  maximum = numbers[2];
  ascii = magic == "P3";
  return true;
}

bool ReadPpm(CImage& image, FILE* stream, LoadControl& control) {
  int32_t width = 0, height = 0, maximum = 0;
  bool ascii = false;
  if (!ReadPnmHeader(stream, width, height, maximum, ascii)) return false;
  if (maximum < 1 || maximum > kMaxPnmValue) return false;
  if (control.Admit(width, height, 3) < 0) return false;
  const bool wide = maximum > 255;

  // Refuse files too short for their pixels before allocating: a binary
  // sample takes one byte (two above 255), an ASCII sample a digit and a
  // separator.
  const int64_t samples = int64_t{3} * width * height;
  const int64_t remaining = RemainingBytes(stream);
  if (remaining < 0) return false;
  if (samples > 0 &&
      remaining < (ascii ? 2 * samples - 1 : wide ? 2 * samples : samples))
    return false;

  // Kept at 16 bits when asked: the high byte is the 8-bit sample.
  const bool keep = wide && control.keep_wide;
  if (!image.Create(width, height, 3, true, false, keep ? 16 : 8)) return false;
  const size_t rowSamples = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> wideRow(!ascii && wide ? 2 * rowSamples : 0);
  for (int32_t y = 0; y < height; ++y) {
    if (control.Stopped()) return false;
    uint8_t* row = image.PixelAt(0, y);
    if (!ascii && !wide) {
      if (!ReadExact(stream, row, rowSamples)) return false;
    } else if (!ascii) {
      if (!ReadExact(stream, wideRow.data(), wideRow.size())) return false;
      for (size_t i = 0; i < rowSamples; ++i) {
        const uint32_t v = static_cast<uint32_t>(wideRow[2 * i]) << 8 | wideRow[2 * i + 1];
        if (keep)
          PutWide(row, i, WideValue(v, static_cast<uint32_t>(maximum)));
        else
          row[i] = WideSample(v, static_cast<uint32_t>(maximum));
      }
    } else {
      for (size_t i = 0; i < rowSamples; ++i) {
        uint32_t v;
        bool negative;
        if (!ReadAsciiNumber(stream, v, negative)) return false;
        // Up to 255 the sample is the number's low 8 bits, unscaled.
        if (keep)
          PutWide(row, i, WideValue(negative ? 0 : v, static_cast<uint32_t>(maximum)));
        else
          row[i] = wide ? WideSample(negative ? 0 : v, static_cast<uint32_t>(maximum))
                        : static_cast<uint8_t>(negative ? 0u - v : v);
      }
    }
  }
  return true;
}

namespace {

// A 16-bit image as P6 with the maximum 65535: two bytes a sample, the
// high one first.
bool WriteWidePpm(const CImage& image, FILE* stream) {
  std::fprintf(stream, "P6\n%d %d\n65535\n", image.width, image.height);
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * 6);
  for (int32_t y = 0; y < image.height; ++y) {
    const uint8_t* p = image.pixels + static_cast<size_t>(y) * image.stride;
    for (int32_t x = 0; x < image.width; ++x, p += image.PixelBytes())
      for (int32_t c = 0; c < 3; ++c) {
        uint16_t v;
        std::memcpy(&v, p + 2 * (image.channels >= 3 ? c : 0), 2);
        row[6 * x + 2 * c] = static_cast<uint8_t>(v >> 8);
        row[6 * x + 2 * c + 1] = static_cast<uint8_t>(v);
      }
    if (!WriteExact(stream, row.data(), row.size())) return false;
  }
  return std::ferror(stream) == 0;
}

}  // namespace

bool WritePnm(const CImage& image, FILE* stream, PnmKind kind) {
  switch (kind) {
    case PnmKind::Ppm:
      if (image.depth == 16) return WriteWidePpm(image, stream);
      std::fprintf(stream, "%s\n%d %d\n255\n", "P6", image.width,
                   image.height);
      for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x) {
          uint8_t r, g, b;
          image.GetRgb(x, y, r, g, b);
          std::fputc(r, stream);
          std::fputc(g, stream);
          std::fputc(b, stream);
        }
      break;
    case PnmKind::Pgm:
      std::fprintf(stream, "%s\n%d %d\n255\n", "P5", image.width,
                   image.height);
      for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x)
          std::fputc(image.GetGray(x, y), stream);
      break;
    case PnmKind::Pbm:
      std::fprintf(stream, "P4\n%d %d\n", image.width, image.height);
      for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x0 = 0; x0 < image.width; x0 += 8) {
          int bits = 0;
          for (int32_t i = 0; i < 8 && x0 + i < image.width; ++i)
            if (image.GetGray(x0 + i, y) == 0) bits |= 0x80 >> i;
          std::fprintf(stream, "%c", bits);
        }
      break;
  }
  return std::ferror(stream) == 0;
}

}  // namespace Common
