// Helpers of the image tests: reading and writing formats through memory
// streams, and a scratch folder for file tests.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "image/image.h"
#include "image/image_files.h"
#include "sample_files.h"

namespace imagetest {

using samples::Bytes;

inline bool LoadBytes(Common::CImage& image, const Bytes& bytes,
                      Common::ImageFormat format,
                      Common::LoadControl* control = nullptr) {
  FILE* stream = bytes.empty() ? std::tmpfile()
                               : fmemopen(const_cast<uint8_t*>(bytes.data()),
                                          bytes.size(), "rb");
  if (stream == nullptr) return false;
  const bool ok = Common::LoadImage(image, stream, format, control);
  std::fclose(stream);
  return ok;
}

inline Bytes SaveBytes(const Common::CImage& image,
                       Common::ImageFormat format, bool* ok = nullptr,
                       const Common::SaveOptions& options = {}) {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&buffer, &size);
  const bool written = Common::SaveImage(image, stream, format, options);
  std::fclose(stream);
  Bytes out(buffer, buffer + size);
  std::free(buffer);
  if (ok != nullptr) *ok = written;
  return out;
}

inline std::string AsText(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline Bytes AsBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

// An image whose pixels follow samples::SamplePattern.
inline void FillPattern(Common::CImage& image, int width, int height,
                        int channels) {
  ASSERT_TRUE(image.Create(width, height, channels));
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < channels; ++c)
        image.PixelAt(x, y)[c] = samples::SamplePattern(x, y, c);
}

// A fresh folder below the test temp dir, removed at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ::testing::TempDir() + "patchwell-XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchDir() {
    if (!path_.empty())
      std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline bool FileExists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

}  // namespace imagetest
