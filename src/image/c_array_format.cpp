#include "image/c_array_format.h"

#include <cstdint>

namespace Common {

bool WriteCArray(const CImage& image, FILE* stream) {
  std::fprintf(stream,
               "const unsigned char ___image [%d * %d * %d] = \r\n{ \r\n",
               image.width, image.height, image.channels);
  uint8_t rgba[4];
  for (int32_t y = 0; y < image.height; ++y) {
    std::fprintf(stream, "\t");
    for (int32_t x = 0; x < image.width; ++x) {
      image.GetRgba(x, y, rgba);
      for (int32_t c = 0; c < image.channels; ++c)
        std::fprintf(stream, "%-4d,", rgba[c]);
      std::fprintf(stream, " ");
    }
    std::fprintf(stream, "\r\n");
  }
  std::fprintf(stream, "}; \r\n");
  return std::ferror(stream) == 0;
}

}  // namespace Common
