// A pixel block decoded by a codec, before Load copies it into a CImage:
// rows top-down, `stride` bytes apart (width x channels rounded up to a
// multiple of 4).
#pragma once

#include <cstdint>
#include <memory>

namespace Common {

struct DecodedBlock {
  std::unique_ptr<uint8_t[]> data;
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;
  int32_t channels = 0;
};

}  // namespace Common
