#include "image/image.h"

#include <cstring>
#include <utility>
#include <new>

#include "image/image_limits.h"

namespace Common {
namespace {

int32_t FormatOf(int32_t channels) {
  return channels == 1 ? 1 : channels == 3 ? 2 : 3;
}

}  // namespace

CImage::~CImage() {
  // Also frees a block kept by Release(false), which Release(true) alone
  // would leave behind on an image that is already empty.
  delete[] pixels;
}

bool CImage::Create(int32_t newWidth, int32_t newHeight, int32_t newChannels,
                    bool releaseOld, bool forceRealloc, int32_t sampleBits) {
  if (newChannels != 1 && newChannels != 3 && newChannels != 4) return false;
  if (sampleBits != 8 && sampleBits != 16) return false;
  channels = newChannels;
  format = FormatOf(newChannels);
  depth = sampleBits;

  // A 16-bit row is laid out as an 8-bit row twice as wide.
  const int64_t samplesWide = int64_t{newWidth} * (sampleBits / 8);
  const int64_t rowBytes =
      PaddedRowBytes(samplesWide, newChannels, rowAlignment);
  const int64_t size =
      CheckedBlockBytes(samplesWide, newHeight, newChannels, rowAlignment);
  if (rowBytes < 0 || size < 0) {
    Release(true);
    delete[] pixels;
    pixels = nullptr;
    capacity = width = height = stride = 0;
    return false;
  }

  if (capacity < size || forceRealloc) {
    if (releaseOld) Release(true);
    // A block that is not reused is freed in every case, also one kept by
    // Release(false) on an image that is empty by now.
    delete[] pixels;
    pixels = nullptr;
    capacity = static_cast<int32_t>(size);
    if (size != 0)
      pixels = new (std::nothrow) uint8_t[static_cast<size_t>(size) + 1];
  }
  if (pixels == nullptr) {
    capacity = width = height = stride = 0;
    return false;
  }
  width = newWidth;
  height = newHeight;
  stride = static_cast<int32_t>(rowBytes);
  return true;
}

void CImage::Release(bool freePixels) {
  if (IsEmpty()) return;
  if (capacity > 0 && freePixels) {
    delete[] pixels;
    pixels = nullptr;
    rowAlignment = 4;
    capacity = 0;
  }
  width = height = stride = 0;
}

std::unique_ptr<CImage> CImage::CreateGrayCopy() const {
  if (IsEmpty()) return nullptr;
  auto copy = std::make_unique<CImage>();
  if (!ConvertToGray(*this, *copy)) return nullptr;
  return copy;
}

std::unique_ptr<CImage> CImage::CreateRgbCopy() const {
  if (IsEmpty()) return nullptr;
  auto copy = std::make_unique<CImage>();
  if (!ConvertToRgb(*this, *copy)) return nullptr;
  return copy;
}

std::unique_ptr<CImage> CImage::CreateRgbaCopy() const {
  if (IsEmpty()) return nullptr;
  auto copy = std::make_unique<CImage>();
  if (!ConvertToRgba(*this, *copy)) return nullptr;
  return copy;
}

uint8_t* CImage::PixelAt(int32_t x, int32_t y) {
  return const_cast<uint8_t*>(At(x, y));
}

uint8_t* CImage::PixelAtChecked(int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x > width - 1 || y > height - 1) return nullptr;
  return PixelAt(x, y);
}

uint8_t CImage::Sample(const uint8_t* p, int32_t c) const {
  if (depth == 8) return p[c];
  uint16_t v;
  std::memcpy(&v, p + 2 * c, 2);
  return static_cast<uint8_t>(v >> 8);
}

uint8_t CImage::GetGray(int32_t x, int32_t y) const {
  const uint8_t* p = At(x, y);
  if (channels < 3) return Sample(p, 0);
  return static_cast<uint8_t>((Sample(p, 0) + Sample(p, 1) + Sample(p, 2)) / 3);
}

void CImage::GetRgb(int32_t x, int32_t y, uint8_t& r, uint8_t& g,
                    uint8_t& b) const {
  const uint8_t* p = At(x, y);
  if (channels < 3) {
    r = g = b = Sample(p, 0);
  } else {
    r = Sample(p, 0);
    g = Sample(p, 1);
    b = Sample(p, 2);
  }
}

void CImage::GetRgba(int32_t x, int32_t y, uint8_t* rgba) const {
  const uint8_t* p = At(x, y);
  if (channels >= 3) {
    for (int32_t c = 0; c < 3; ++c) rgba[c] = Sample(p, c);
    rgba[3] = channels >= 4 ? Sample(p, 3) : 255;
  } else {
    rgba[0] = rgba[1] = rgba[2] = Sample(p, 0);
    rgba[3] = 255;
  }
}

bool CImage::SetFromBuffer(const uint8_t* data, int32_t newWidth,
                           int32_t newHeight, int32_t srcStride,
                           int32_t newChannels, bool swapRedBlue,
                           bool flipRows) {
  if (!Create(newWidth, newHeight, newChannels, true, false)) return false;
  if (channels < 3) {
    std::memcpy(pixels, data, static_cast<size_t>(stride) * height);
    return true;
  }
  for (int32_t y = 0; y < height; ++y) {
    const int32_t srcRow = flipRows ? height - 1 - y : y;
    const uint8_t* src = data + static_cast<ptrdiff_t>(srcStride) * srcRow;
    uint8_t* dst = pixels + static_cast<ptrdiff_t>(stride) * y;
    for (int32_t x = 0; x < width; ++x) {
      dst[0] = src[swapRedBlue ? 2 : 0];
      dst[1] = src[1];
      dst[2] = src[swapRedBlue ? 0 : 2];
      if (channels == 4) dst[3] = src[3];
      src += channels;
      dst += channels;
    }
  }
  return true;
}

void CImage::BlendPixel(int32_t x, int32_t y, const uint8_t* src,
                        int32_t count) {
  uint8_t* dst = PixelAt(x, y);
  if (count < 1) count = channels;
  if (count == 4 && channels == 3) {
    const int a = src[3];
    for (int c = 0; c < 3; ++c)
      dst[c] = static_cast<uint8_t>((dst[c] * (255 - a) + src[c] * a) / 255);
    return;
  }
  if (count > channels) count = channels;
  std::memcpy(dst, src, static_cast<size_t>(count));
}

void CImage::SetPixel(int32_t x, int32_t y, const uint8_t* src) {
  std::memcpy(PixelAt(x, y), src, static_cast<size_t>(channels));
}

void CImage::SetPixelChecked(int32_t x, int32_t y, const uint8_t* src) {
  if (uint8_t* p = PixelAtChecked(x, y))
    std::memcpy(p, src, static_cast<size_t>(channels));
}

void CImage::SetGray(int32_t x, int32_t y, const uint8_t* value) {
  uint8_t* p = PixelAt(x, y);
  p[0] = *value;
  if (channels >= 3) p[1] = p[2] = *value;
}

void CImage::SetRgb(int32_t x, int32_t y, const uint8_t* rgb) {
  uint8_t* p = PixelAt(x, y);
  if (channels >= 3) {
    p[0] = rgb[0];
    p[1] = rgb[1];
    p[2] = rgb[2];
  } else {
    p[0] = static_cast<uint8_t>((rgb[0] + rgb[1] + rgb[2]) / 3);
  }
}

namespace {

// Converts pixel by pixel into an 8-bit image; `convert` maps one source
// pixel (8-bit samples: the high bytes of a 16-bit image) to one
// destination pixel given both channel counts.
template <typename PixelConversion>
bool Convert(const CImage& src, CImage& dst, int32_t dstChannels,
             PixelConversion convert) {
  if (src.IsEmpty()) return false;
  dst.Release(false);
  if (!dst.Create(src.width, src.height, dstChannels, true, false))
    return false;
  const int32_t step = src.PixelBytes();
  uint8_t narrow[4];
  for (int32_t y = 0; y < src.height; ++y) {
    const uint8_t* s = src.pixels + static_cast<ptrdiff_t>(src.stride) * y;
    uint8_t* d = dst.pixels + static_cast<ptrdiff_t>(dst.stride) * y;
    for (int32_t x = 0; x < src.width; ++x) {
      if (src.depth == 16) {
        for (int32_t c = 0; c < src.channels; ++c) {
          uint16_t v;
          std::memcpy(&v, s + 2 * c, 2);
          narrow[c] = static_cast<uint8_t>(v >> 8);
        }
        convert(narrow, d);
      } else {
        convert(s, d);
      }
      s += step;
      d += dstChannels;
    }
  }
  return true;
}

uint8_t GrayOf(const uint8_t* rgb) {
  return static_cast<uint8_t>((rgb[0] + rgb[1] + rgb[2]) / 3);
}

}  // namespace

bool ConvertToGray(const CImage& src, CImage& dst) {
  const bool colour = src.channels >= 3;
  return Convert(src, dst, 1, [colour](const uint8_t* s, uint8_t* d) {
    d[0] = colour ? GrayOf(s) : s[0];
  });
}

bool ConvertToRgb(const CImage& src, CImage& dst) {
  const bool colour = src.channels >= 3;
  return Convert(src, dst, 3, [colour](const uint8_t* s, uint8_t* d) {
    if (colour) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    } else {
      d[0] = d[1] = d[2] = s[0];
    }
  });
}

bool ConvertToRgba(const CImage& src, CImage& dst) {
  const int32_t n = src.channels;
  return Convert(src, dst, 4, [n](const uint8_t* s, uint8_t* d) {
    if (n == 4) {
      std::memcpy(d, s, 4);
    } else if (n == 3) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      d[3] = 255;
    } else {
      d[0] = d[1] = d[2] = s[0];
      d[3] = 255;
    }
  });
}

namespace {

// EnsureRgb for 16-bit samples.
bool EnsureRgbWide(CImage& image) {
  const int32_t w = image.width, h = image.height;
  if (image.channels == 4) {
    // In its own block, as for 8 bits: every sample moves to a place at or
    // before the one it is read from.
    const int64_t stride = PaddedRowBytes(int64_t{w} * 2, 3, image.rowAlignment);
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = image.pixels + static_cast<ptrdiff_t>(image.stride) * y;
      uint8_t* d = image.pixels + static_cast<ptrdiff_t>(stride) * y;
      for (int32_t x = 0; x < w; ++x, s += 8, d += 6) std::memmove(d, s, 6);
    }
    return image.Create(w, h, 3, true, false, 16);
  }
  CImage rgb;
  if (!rgb.Create(w, h, 3, true, false, 16)) return false;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = image.pixels + static_cast<ptrdiff_t>(image.stride) * y;
    uint8_t* d = rgb.pixels + static_cast<ptrdiff_t>(rgb.stride) * y;
    for (int32_t x = 0; x < w; ++x, s += 2, d += 6)
      for (int c = 0; c < 3; ++c) std::memcpy(d + 2 * c, s, 2);
  }
  std::swap(image.pixels, rgb.pixels);
  std::swap(image.capacity, rgb.capacity);
  return image.Create(w, h, 3, true, false, 16);
}

}  // namespace

bool ConvertToDepth8(const CImage& src, CImage& dst) {
  if (src.IsEmpty()) return false;
  const int32_t n = src.channels;
  return Convert(src, dst, n, [n](const uint8_t* s, uint8_t* d) {
    std::memcpy(d, s, static_cast<size_t>(n));
  });
}

int GraySamplesWritten(int32_t channels, bool gray) {
  if (!gray || channels == 1) return channels;
  return channels == 4 ? 2 : 1;
}

void CopyGrayRow(const uint8_t* from, int32_t width, int32_t channels,
                 int samples, size_t sampleBytes, uint8_t* to) {
  const size_t pixel = static_cast<size_t>(channels) * sampleBytes;
  for (int32_t x = 0; x < width; ++x, from += pixel) {
    std::memcpy(to, from, sampleBytes);
    to += sampleBytes;
    if (samples == 2) {
      std::memcpy(to, from + pixel - sampleBytes, sampleBytes);
      to += sampleBytes;
    }
  }
}

bool EnsureRgb(CImage& image) {
  if (image.IsEmpty()) return false;
  if (image.channels == 3) return true;
  if (image.depth == 16) return EnsureRgbWide(image);
  if (image.channels == 4) {
    // RGBA shrinks to RGB in its own block: every byte moves to a place at
    // or before the one it is read from, which is never read again.
    const int64_t stride = PaddedRowBytes(image.width, 3, image.rowAlignment);
    for (int32_t y = 0; y < image.height; ++y) {
      const uint8_t* s = image.pixels + static_cast<ptrdiff_t>(image.stride) * y;
      uint8_t* d = image.pixels + static_cast<ptrdiff_t>(stride) * y;
      for (int32_t x = 0; x < image.width; ++x, s += 4, d += 3) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
      }
    }
    // The block is large enough, so Create keeps it and its contents.
    return image.Create(image.width, image.height, 3, true, false);
  }
  std::unique_ptr<CImage> copy = image.CreateRgbCopy();
  if (!copy) return false;
  return image.SetFromBuffer(copy->pixels, copy->width, copy->height,
                             copy->stride, 3, false, false);
}

bool BuildMaskFromImage(const CImage& maskImage, uint8_t* mask) {
  if (maskImage.IsEmpty()) return false;
  for (int32_t y = 0; y < maskImage.height; ++y)
    for (int32_t x = 0; x < maskImage.width; ++x)
      mask[static_cast<size_t>(y) * maskImage.width + x] =
          maskImage.GetGray(x, y) > 128 ? 1 : 0;
  return true;
}

bool BuildMaskFromAlpha(const CImage& image, uint8_t* mask) {
  if (image.IsEmpty() || image.channels != 4) return false;
  uint8_t rgba[4];
  for (int32_t y = 0; y < image.height; ++y) {
    uint8_t* m = mask + static_cast<size_t>(y) * image.width;
    for (int32_t x = 0; x < image.width; ++x) {
      image.GetRgba(x, y, rgba);
      m[x] = rgba[3] < 128 ? 1 : 0;
    }
  }
  return true;
}

bool TakeMaskFromImage(CImage& maskImage, MaskBuffer& buffer) {
  if (maskImage.IsEmpty() || maskImage.pixels == nullptr) return false;
  // Mask byte k lies at or before the first sample of pixel k, which is
  // read before any later byte is written: the block can hold both.
  const int32_t w = maskImage.width, h = maskImage.height;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      maskImage.pixels[static_cast<size_t>(y) * w + x] = maskImage.GetGray(x, y) > 128 ? 1 : 0;
  buffer.bytes.reset(maskImage.pixels);
  buffer.size = static_cast<size_t>(w) * h;
  maskImage.pixels = nullptr;
  maskImage.capacity = 0;
  maskImage.Release(true);
  return true;
}

}  // namespace Common
