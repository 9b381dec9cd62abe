// Small helpers for the readers and writers, which all work on an open
// stdio stream (a file, or a memory stream in the fuzz targets).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace Common {

// A stream closed when it goes out of scope.
struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Bytes between the stream's position and its end, or -1 when the stream
// cannot tell (not seekable). The position is left unchanged.
int64_t RemainingBytes(FILE* stream);

// Reads exactly `size` bytes; false on a short read.
bool ReadExact(FILE* stream, void* buffer, size_t size);

// Writes exactly `size` bytes; false on a short write.
bool WriteExact(FILE* stream, const void* buffer, size_t size);

}  // namespace Common
