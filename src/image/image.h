// Common::CImage: the in-memory raster image of the file entry. 8-bit
// samples interleaved per pixel with 1 (gray), 3 (R, G, B) or 4 (R, G, B, A)
// channels, rows top-down, each row padded to a multiple of rowAlignment
// bytes. The savers and the mask builder read pixels only through the
// virtual accessors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Common {

class CImage {
 public:
  CImage() = default;
  virtual ~CImage();
  CImage(const CImage&) = delete;
  CImage& operator=(const CImage&) = delete;

  // Storage. Create keeps the present block when it is large enough (and
  // forceRealloc is false); otherwise it allocates stride x height + 1
  // bytes. False for a channel count other than 1, 3 or 4, for sizes over
  // the limits of image_limits.h, and when no block could be had; the image
  // is then empty.
  virtual bool Create(int32_t width, int32_t height, int32_t channels,
                      bool releaseOld = true, bool forceRealloc = false);
  virtual std::unique_ptr<CImage> CreateGrayCopy() const;
  virtual std::unique_ptr<CImage> CreateRgbCopy() const;
  virtual std::unique_ptr<CImage> CreateRgbaCopy() const;
  // Empties the image; with freePixels false the block stays for reuse.
  virtual void Release(bool freePixels);

  // Pixel access; only the *Checked operations check their coordinates.
  virtual uint8_t* PixelAt(int32_t x, int32_t y);
  virtual uint8_t* PixelAtChecked(int32_t x, int32_t y);
  virtual uint8_t GetGray(int32_t x, int32_t y) const;
  virtual void GetRgb(int32_t x, int32_t y, uint8_t& r, uint8_t& g,
                      uint8_t& b) const;
  virtual void GetRgba(int32_t x, int32_t y, uint8_t* rgba) const;
  // Copies pixels from a buffer of rows srcStride bytes apart. With fewer
  // than 3 channels the buffer must have this image's stride and is copied
  // as one block; otherwise the red and blue bytes can be swapped and the
  // rows taken bottom-up.
  virtual bool SetFromBuffer(const uint8_t* data, int32_t width,
                             int32_t height, int32_t srcStride,
                             int32_t channels, bool swapRedBlue,
                             bool flipRows);
  // count < 1 means all channels; count 4 on an RGB image blends src[0..2]
  // over the pixel with src[3] as alpha.
  virtual void BlendPixel(int32_t x, int32_t y, const uint8_t* src,
                          int32_t count);
  virtual void SetPixel(int32_t x, int32_t y, const uint8_t* src);
  virtual void SetPixelChecked(int32_t x, int32_t y, const uint8_t* src);
  virtual void SetGray(int32_t x, int32_t y, const uint8_t* value);
  virtual void SetRgb(int32_t x, int32_t y, const uint8_t* rgb);

  bool IsEmpty() const { return width == 0 || height == 0; }

  // Reads a file into this image, in the format its extension names
  // (image_files.cpp). After false the image may hold a new size and part of
  // the pixels and must not be used.
  bool Load(const std::string& path);

  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 1;
  int32_t stride = 0;
  int32_t rowAlignment = 4;
  int32_t capacity = 0;
  int32_t format = 1;  // 1 gray, 2 RGB, 3 RGBA
  uint8_t* pixels = nullptr;

 private:
  const uint8_t* At(int32_t x, int32_t y) const {
    return pixels + static_cast<ptrdiff_t>(y) * stride +
           static_cast<ptrdiff_t>(x) * channels;
  }
};

// Conversions between channel counts; each image is read and written at its
// own stride. False when src is empty or dst cannot be created.
bool ConvertToGray(const CImage& src, CImage& dst);
bool ConvertToRgb(const CImage& src, CImage& dst);
bool ConvertToRgba(const CImage& src, CImage& dst);

// Brings an image to 3 channels: gray is repeated into R, G and B (through
// a copy), alpha is dropped (in the image's own block). False when the
// image is empty or the copy cannot be made.
bool EnsureRgb(CImage& image);

// Writes mask[y * width + x] = 1 where the gray value of the mask image is
// above 128, else 0. The mask holds width x height bytes, packed. False when
// the mask image is empty.
bool BuildMaskFromImage(const CImage& maskImage, uint8_t* mask);

// Writes mask[y * width + x] = 1 where the pixel's alpha is below 128
// (transparent), else 0: the holes of a picture whose damage was cut out.
// False unless the image has 4 channels.
bool BuildMaskFromAlpha(const CImage& image, uint8_t* mask);

// The file entry's process-wide state: the working image that an input is
// loaded into, inpainted in and saved from, and the mask buffer built from
// the mask image. Callers serialise their use (see inpaint/run_lock.h).
CImage& WorkingImage();

struct MaskBuffer {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
  void Free() {
    bytes.reset();
    size = 0;
  }
  // Replaces the buffer by one of `size` bytes; throws std::bad_alloc.
  void Allocate(size_t new_size) {
    Free();
    bytes.reset(new uint8_t[new_size > 0 ? new_size : 1]);
    size = new_size;
  }
};
MaskBuffer& TheMaskBuffer();

// The working-image forms the file entry uses.
bool EnsureRgb();
bool BuildMaskFromImage(const CImage& maskImage);

}  // namespace Common
