#include "image/source_map_file.h"

#include <string>
#include <vector>

#include "image/stream_io.h"
#include "image/tiff_codec.h"

namespace Common {
namespace {

bool IsNpyName(const std::string& path) {
  const auto ext = FindUpperExtension(path);
  return ext && *ext == ".NPY";
}

// NumPy's format 1.0: magic, version, header length, then a dictionary
// padded with spaces so that the data starts on a multiple of 64 bytes.
bool WriteNpy(const int32_t* sources, int32_t width, int32_t height, FILE* out) {
  std::string header = "{'descr': '<i4', 'fortran_order': False, 'shape': (" +
                       std::to_string(height) + ", " + std::to_string(width) +
                       "), }";
  const size_t unpadded = 10 + header.size() + 1;
  header.append((64 - unpadded % 64) % 64, ' ');
  header += '\n';
  std::string head = "\x93NUMPY";
  head += '\x01';
  head += '\x00';
  head += static_cast<char>(header.size() & 0xFF);
  head += static_cast<char>(header.size() >> 8);
  head += header;
  if (!WriteExact(out, head.data(), head.size())) return false;
  std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
  for (int32_t y = 0; y < height; ++y) {
    const int32_t* in = sources + static_cast<size_t>(y) * width;
    for (int32_t x = 0; x < width; ++x) {
      const uint32_t v = static_cast<uint32_t>(in[x]);
      for (int b = 0; b < 4; ++b) row[4 * x + b] = static_cast<uint8_t>(v >> (8 * b));
    }
    if (!WriteExact(out, row.data(), row.size())) return false;
  }
  return true;
}

bool IsTiffName(const std::string& path) {
  const auto ext = FindUpperExtension(path);
  return ext && (*ext == ".TIF" || *ext == ".TIFF");
}

}  // namespace

bool IsSourceMapName(const std::string& path) {
  return IsNpyName(path) || IsTiffName(path);
}

bool SaveSourceMap(const int32_t* sources, int32_t width, int32_t height,
                   const std::string& path, const SaveOptions& options) {
  if (!IsSourceMapName(path) || width <= 0 || height <= 0) return false;
  return WriteAtomically(path, options, [&](FILE* out) {
    return IsNpyName(path) ? WriteNpy(sources, width, height, out)
                           : WriteTiffInt32(sources, width, height, out);
  });
}

}  // namespace Common
