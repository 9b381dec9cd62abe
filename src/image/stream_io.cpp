#include "image/stream_io.h"

namespace Common {

int64_t RemainingBytes(FILE* stream) {
  const long here = std::ftell(stream);
  if (here < 0 || std::fseek(stream, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(stream);
  if (std::fseek(stream, here, SEEK_SET) != 0 || end < here) return -1;
  return static_cast<int64_t>(end) - here;
}

bool ReadExact(FILE* stream, void* buffer, size_t size) {
  return size == 0 || std::fread(buffer, 1, size, stream) == size;
}

bool WriteExact(FILE* stream, const void* buffer, size_t size) {
  return size == 0 || std::fwrite(buffer, 1, size, stream) == size;
}

}  // namespace Common
