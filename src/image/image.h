// Common::CImage: the in-memory raster image of the file entry. 8- or
// 16-bit samples (depth; 16-bit ones in the machine's byte order)
// interleaved per pixel with 1 (gray), 3 (R, G, B) or 4 (R, G, B, A)
// channels, rows top-down, each row padded to a multiple of rowAlignment
// bytes. The 8-bit accessors read the high byte of a 16-bit sample. Beside
// the pixels: the file's metadata blocks, carried unread from input to
// output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Common {

// How a JPEG file was quantised: its tables (in natural order) and, per
// component, the table used and the sampling factors. Lets a JPEG be
// written again as its input was.
struct JpegQuantisation {
  int components = 0;  // 0: not read from a JPEG
  uint16_t tables[4][64] = {};
  bool present[4] = {};
  int table[4] = {}, h[4] = {}, v[4] = {};
};

// The pixel density a file states (PNG pHYs, TIFF X/YResolution with
// ResolutionUnit, JPEG JFIF density, BMP pixels per metre): pixels per
// unit along x and y. Unit None states only the pixels' aspect ratio.
struct Resolution {
  enum class Unit { None, Inch, Centimetre };
  double x = 0, y = 0;  // 0: the file states none
  Unit unit = Unit::None;
  bool Given() const { return x > 0 && y > 0; }
  // Pixels per inch and per metre (0 for unit None).
  double XPerInch() const {
    return unit == Unit::Inch ? x : unit == Unit::Centimetre ? x * 2.54 : 0;
  }
  double YPerInch() const {
    return unit == Unit::Inch ? y : unit == Unit::Centimetre ? y * 2.54 : 0;
  }
};

// What a file says besides its pixels, kept as opaque blocks.
struct ImageMetadata {
  std::string exif;  // EXIF as a TIFF structure (JPEG's "Exif\0\0" removed)
  std::string icc;   // ICC colour profile
  std::string xmp;   // XMP packet
  bool lossy = false;  // decoded from lossy data (JPEG, lossy WebP)
  // The file stores gray samples (with or without alpha), whatever the
  // channels it was decoded into: a writer whose format holds gray writes
  // the picture back as gray (gray with alpha for 4 channels) from its
  // first sample, so that a gray picture comes back gray.
  bool gray = false;
  Resolution resolution;  // as the file states it
  // A film scanner's infrared channel (the fourth sample of an RGBI TIFF,
  // one that is not alpha): width * height 16-bit values in the stored
  // orientation; null for other files. No writer stores it.
  std::shared_ptr<const std::vector<uint16_t>> infrared;
  JpegQuantisation jpeg;  // set by the JPEG reader
  void Clear() { *this = ImageMetadata(); }
  bool Empty() const { return exif.empty() && icc.empty() && xmp.empty(); }
};

class CImage {
 public:
  CImage() = default;
  virtual ~CImage();
  CImage(const CImage&) = delete;
  CImage& operator=(const CImage&) = delete;

  // Storage. Create keeps the present block when it is large enough (and
  // forceRealloc is false); otherwise it allocates stride x height + 1
  // bytes. False for a channel count other than 1, 3 or 4, a depth other
  // than 8 or 16, sizes over the limits of image_limits.h, and when no block
  // could be had; the image is then empty.
  virtual bool Create(int32_t width, int32_t height, int32_t channels,
                      bool releaseOld = true, bool forceRealloc = false,
                      int32_t sampleBits = 8);
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
  int32_t PixelBytes() const { return channels * (depth / 8); }

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
  int32_t depth = 8;   // bits per sample: 8 or 16
  uint8_t* pixels = nullptr;
  ImageMetadata metadata;

 private:
  const uint8_t* At(int32_t x, int32_t y) const {
    return pixels + static_cast<ptrdiff_t>(y) * stride +
           static_cast<ptrdiff_t>(x) * PixelBytes();
  }
  // Sample c of the pixel at p, as 8 bits.
  uint8_t Sample(const uint8_t* p, int32_t c) const;
};

// A 16-bit image as 8 bits (the high byte of every sample), in dst; an
// 8-bit one is copied. False when src is empty or dst cannot be created.
bool ConvertToDepth8(const CImage& src, CImage& dst);

// Conversions between channel counts; each image is read and written at its
// own stride. False when src is empty or dst cannot be created.
bool ConvertToGray(const CImage& src, CImage& dst);
bool ConvertToRgb(const CImage& src, CImage& dst);
bool ConvertToRgba(const CImage& src, CImage& dst);

// The samples per pixel that a writer whose format holds gray writes: the
// image's own, except that a picture read from gray samples goes back as
// gray (2 samples with its alpha).
int GraySamplesWritten(int32_t channels, bool gray);

// A row of `samples` (1 or 2) gray samples of sampleBytes each: the first
// (and the last, its alpha) sample of each pixel.
void CopyGrayRow(const uint8_t* from, int32_t width, int32_t channels,
                 int samples, size_t sampleBytes, uint8_t* to);

// Brings an image to 3 channels at its depth: gray is repeated into R, G
// and B (through a copy), alpha is dropped (in the image's own block).
// False when the image is empty or the copy cannot be made.
bool EnsureRgb(CImage& image);

// Writes mask[y * width + x] = 1 where the gray value of the mask image is
// above 128, else 0. The mask holds width x height bytes, packed. False when
// the mask image is empty.
bool BuildMaskFromImage(const CImage& maskImage, uint8_t* mask);

// Writes mask[y * width + x] = 1 where the pixel's alpha is below 128
// (transparent), else 0: the holes of a picture whose damage was cut out.
// False unless the image has 4 channels.
bool BuildMaskFromAlpha(const CImage& image, uint8_t* mask);

// The mask of a file run: 1 marks a pixel to fill.
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
// Builds `buffer` from the mask image as BuildMaskFromImage does, in the
// mask image's own block, which the buffer then holds (a huge picture's
// mask is not kept twice); the image is left empty.
bool TakeMaskFromImage(CImage& maskImage, MaskBuffer& buffer);

}  // namespace Common
