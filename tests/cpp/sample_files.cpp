#include "sample_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>
#include <png.h>

namespace samples {
namespace {

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}

void AppendString(Bytes& b, const std::string& s) {
  b.insert(b.end(), s.begin(), s.end());
}

void PngWriteToVector(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
void PngFlush(png_structp) {}

}  // namespace

Bytes Bmp(int width, int height, int bits, bool topDown, int infoBytes,
          int compression, const BmpMasks& masks) {
  const int channels = bits / 8;
  const int rowBytes = (width * channels + 3) / 4 * 4;
  const int behind = infoBytes < 52 && compression == 3 ? 12 : 0;
  const size_t offset = 14 + static_cast<size_t>(infoBytes) + behind;
  // Row padding and unused bytes get a marker that must never show up in
  // a pixel.
  Bytes b(offset + static_cast<size_t>(rowBytes) * height, 0xEE);
  std::fill(b.begin(), b.begin() + offset, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, static_cast<uint32_t>(b.size()));
  Put32(b, 10, static_cast<uint32_t>(offset));
  Put32(b, 14, static_cast<uint32_t>(infoBytes));
  Put32(b, 18, static_cast<uint32_t>(width));
  Put32(b, 22, static_cast<uint32_t>(topDown ? -height : height));
  Put16(b, 26, 1);
  Put16(b, 28, static_cast<uint32_t>(bits));
  Put32(b, 30, static_cast<uint32_t>(compression));
  Put32(b, 34, static_cast<uint32_t>(rowBytes * height));
  // Where each channel lies in a pixel: B, G, R(, A) unless masks say.
  int at[4] = {2, 1, 0, 3};
  if (compression == 3) {
    for (int c = 0; c < (infoBytes >= 56 ? 4 : 3); ++c)
      Put32(b, 54 + 4 * c, masks[c]);
    if (bits == 32)
      for (int c = 0; c < 4; ++c) {
        at[c] = -1;
        for (int byte = 0; byte < 4; ++byte)
          if (masks[c] >> 8 * byte & 1) at[c] = byte;
      }
    if (infoBytes < 56) at[3] = -1;
  }
  for (int y = 0; y < height; ++y) {
    const int fileRow = topDown ? y : height - 1 - y;
    uint8_t* p = b.data() + offset + static_cast<size_t>(rowBytes) * fileRow;
    for (int x = 0; x < width; ++x, p += channels)
      for (int c = 0; c < channels; ++c)
        if (at[c] >= 0) p[at[c]] = SamplePattern(x, y, c);
  }
  return b;
}

Bytes BmpWithGap(Bytes bmp, size_t gap, uint32_t colours) {
  const uint32_t offset = bmp[10] | bmp[11] << 8 | bmp[12] << 16 |
                          static_cast<uint32_t>(bmp[13]) << 24;
  bmp.insert(bmp.begin() + offset, gap, 0x55);
  Put32(bmp, 2, static_cast<uint32_t>(bmp.size()));
  Put32(bmp, 10, offset + static_cast<uint32_t>(gap));
  Put32(bmp, 46, colours);
  return bmp;
}

Bytes BmpOf(int infoBytes, int width, int height, int bits, int compression,
            const Bytes& palette, const Bytes& pixels, uint32_t colours) {
  const size_t offset = 14 + static_cast<size_t>(infoBytes) + palette.size();
  Bytes b(offset, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, static_cast<uint32_t>(offset + pixels.size()));
  Put32(b, 10, static_cast<uint32_t>(offset));
  Put32(b, 14, static_cast<uint32_t>(infoBytes));
  if (infoBytes == 12) {
    Put16(b, 18, static_cast<uint32_t>(width));
    Put16(b, 20, static_cast<uint32_t>(height));
    Put16(b, 22, 1);
    Put16(b, 24, static_cast<uint32_t>(bits));
  } else {
    Put32(b, 18, static_cast<uint32_t>(width));
    Put32(b, 22, static_cast<uint32_t>(height));
    Put16(b, 26, 1);
    Put16(b, 28, static_cast<uint32_t>(bits));
    Put32(b, 30, static_cast<uint32_t>(compression));
    Put32(b, 34, static_cast<uint32_t>(pixels.size()));
    Put32(b, 46, colours);
  }
  std::copy(palette.begin(), palette.end(), b.begin() + 14 + infoBytes);
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

Bytes Ppm(int width, int height, bool ascii, bool comment, int maximum) {
  Bytes b;
  AppendString(b, ascii ? "P3\n" : "P6\n");
  if (comment) AppendString(b, "# made by the patchwell tests\n");
  AppendString(b, std::to_string(width) + " " + std::to_string(height) +
                      "\n" + std::to_string(maximum) + "\n");
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) {
        const int v = maximum == 255 ? SamplePattern(x, y, c)
                                     : SamplePattern(x, y, c) * maximum / 255;
        if (ascii) {
          AppendString(b, std::to_string(v) + " ");
        } else if (maximum > 255) {
          b.push_back(static_cast<uint8_t>(v >> 8));
          b.push_back(static_cast<uint8_t>(v));
        } else {
          b.push_back(static_cast<uint8_t>(v));
        }
      }
    if (ascii) b.push_back('\n');
  }
  return b;
}

Bytes Png(int width, int height, int colourType, int bitDepth,
          bool interlaced) {
  Bytes out;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw std::runtime_error("libpng could not write the sample");
  }
  png_set_write_fn(png, &out, PngWriteToVector, PngFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width),
               static_cast<png_uint_32>(height), bitDepth, colourType,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (colourType == PNG_COLOR_TYPE_PALETTE) {
    png_color palette[256];
    for (int i = 0; i < 256; ++i)
      palette[i] = {static_cast<png_byte>(i), static_cast<png_byte>(255 - i),
                    static_cast<png_byte>(i / 2)};
    png_set_PLTE(png, info, palette, 1 << bitDepth);
  }
  png_write_info(png, info);

  const int channels = colourType == PNG_COLOR_TYPE_RGB         ? 3
                       : colourType == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                       : colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                 : 1;
  const int bytesPerSample = bitDepth == 16 ? 2 : 1;
  const size_t rowBytes =
      bitDepth < 8 ? (static_cast<size_t>(width) * bitDepth + 7) / 8
                   : static_cast<size_t>(width) * channels * bytesPerSample;
  std::vector<Bytes> rows(static_cast<size_t>(height), Bytes(rowBytes, 0));
  for (int y = 0; y < height; ++y) {
    Bytes& row = rows[y];
    for (int x = 0; x < width; ++x) {
      if (bitDepth < 8) {
        const int levels = (1 << bitDepth) - 1;
        const int v = SamplePattern(x, y, 0) * levels / 255;
        const int bit = x * bitDepth;
        row[bit / 8] |= static_cast<uint8_t>(v << (8 - bitDepth - bit % 8));
        continue;
      }
      for (int c = 0; c < channels; ++c) {
        const uint8_t v = SamplePattern(x, y, c);
        if (bitDepth == 16) {
          const uint16_t wide = static_cast<uint16_t>(v << 8 | (255 - v));
          row[(x * channels + c) * 2] = static_cast<uint8_t>(wide >> 8);
          row[(x * channels + c) * 2 + 1] = static_cast<uint8_t>(wide);
        } else {
          row[x * channels + c] = v;
        }
      }
    }
  }
  std::vector<png_bytep> pointers;
  for (Bytes& row : rows) pointers.push_back(row.data());
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

namespace {

// libjpeg into memory, with the scan script `scans` when given.
Bytes EncodeJpeg(int width, int height, int components, bool progressive,
                 int quality, const std::vector<jpeg_scan_info>* scans,
                 bool forceBaseline = true, int restartRows = 0) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1   ? JCS_GRAYSCALE
                         : components == 4 ? JCS_CMYK
                                           : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, forceBaseline ? TRUE : FALSE);
  err.trace_level = -1;  // no note on 16-bit tables
  cinfo.restart_in_rows = restartRows;
  if (progressive) jpeg_simple_progression(&cinfo);
  if (scans != nullptr) {
    cinfo.scan_info = scans->data();
    cinfo.num_scans = static_cast<int>(scans->size());
  }
  jpeg_start_compress(&cinfo, TRUE);
  Bytes row(static_cast<size_t>(width) * components);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < components; ++c)
        row[x * components + c] = SamplePattern(x, y, c);
    JSAMPROW pointer = row.data();
    jpeg_write_scanlines(&cinfo, &pointer, 1);
  }
  jpeg_finish_compress(&cinfo);
  Bytes out(buffer, buffer + size);
  jpeg_destroy_compress(&cinfo);
  std::free(buffer);
  return out;
}

}  // namespace

Bytes Jpeg(int width, int height, int components, bool progressive,
           int quality) {
  return EncodeJpeg(width, height, components, progressive, quality, nullptr);
}

Bytes JpegWithSettings(int width, int height, int quality, bool forceBaseline,
                       int restartRows) {
  return EncodeJpeg(width, height, 3, false, quality, nullptr, forceBaseline,
                    restartRows);
}

size_t FindMarker(const Bytes& jpeg, uint8_t code, size_t from) {
  for (size_t i = from; i + 1 < jpeg.size(); ++i)
    if (jpeg[i] == 0xFF && jpeg[i + 1] == code) return i;
  return std::string::npos;
}

Bytes JpegZeroQuantisation(int width, int height) {
  Bytes jpeg = Jpeg(width, height, 3);
  const size_t dqt = FindMarker(jpeg, 0xDB);  // length, then Pq/Tq
  std::fill(jpeg.begin() + dqt + 5 + 10, jpeg.begin() + dqt + 5 + 20, 0);
  return jpeg;
}

Bytes JpegDamagedRestart(int width, int height, int junk) {
  Bytes jpeg = EncodeJpeg(width, height, 3, false, 90, nullptr, true, 1);
  const size_t rst = FindMarker(jpeg, 0xD0);
  if (rst == std::string::npos) return jpeg;
  if (junk == 0) jpeg[rst + 1] = 0xD3;
  jpeg.insert(jpeg.begin() + rst, static_cast<size_t>(junk), 0x2A);
  return jpeg;
}

Bytes ExifBlock(bool thumbnail) {
  // Laid out as Common::ExifBlock lays out the same tags.
  Bytes b(thumbnail ? 126 : 96, 0);
  auto entry = [&](size_t at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(b, at, tag), Put16(b, at + 2, type), Put32(b, at + 4, count), Put32(b, at + 8, value);
  };
  b[0] = b[1] = 'I', Put16(b, 2, 42), Put32(b, 4, 8), Put16(b, 8, 4);
  entry(10, 0x010F, 2, 4, 0x006D6163);  // Make "cam"
  entry(22, 0x0112, 4, 1, 6);           // Orientation, a LONG
  entry(34, 0x011A, 5, 1, 62);          // XResolution 72/1
  entry(46, 0x8769, 4, 1, 70);          // the EXIF IFD
  Put32(b, 62, 72), Put32(b, 66, 1);
  Put16(b, 70, 1);
  entry(72, 0x829A, 5, 1, 88);          // ExposureTime 1/250
  Put32(b, 88, 1), Put32(b, 92, 250);
  if (thumbnail) {
    const Bytes small = Jpeg(8, 8, 3);
    const std::string comment = kThumbnailComment;
    Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xFE, 0, static_cast<uint8_t>(comment.size() + 2)};
    AppendString(jpeg, comment);
    jpeg.insert(jpeg.end(), small.begin() + 2, small.end());
    Put32(b, 58, 96), Put16(b, 96, 2);
    entry(98, 0x0201, 4, 1, 126);  // JPEGInterchangeFormat
    entry(110, 0x0202, 4, 1, static_cast<uint32_t>(jpeg.size()));
    b.insert(b.end(), jpeg.begin(), jpeg.end());
  }
  return b;
}

Bytes JpegWithExifBlock(int width, int height, const Bytes& exif, int length) {
  const Bytes picture = Jpeg(width, height, 3);
  if (length < 0) length = static_cast<int>(exif.size()) + 8;
  Bytes out = {0xFF, 0xD8, 0xFF, 0xE1, static_cast<uint8_t>(length >> 8),
               static_cast<uint8_t>(length), 'E', 'x', 'i', 'f', 0, 0};
  out.insert(out.end(), exif.begin(), exif.end());
  out.insert(out.end(), picture.begin() + 2, picture.end());
  return out;
}

Bytes JpegBands(int width, int height, int scans) {
  std::vector<jpeg_scan_info> script;
  script.push_back({1, {0}, 0, 0, 0, 0});
  const int bands = scans - 1;
  for (int b = 0; b < bands; ++b)
    script.push_back({1, {0}, 1 + 63 * b / bands, 63 * (b + 1) / bands, 0, 0});
  return EncodeJpeg(width, height, 1, false, 90, &script);
}

Bytes JpegRepeatedScan(int width, int height, int scans, int dataBytes) {
  const Bytes real = Jpeg(16, 16, 3, true);
  Bytes out;
  size_t pos = 2;
  out.insert(out.end(), real.begin(), real.begin() + 2);  // SOI
  // Copy the segments up to the first scan, with the frame's size changed.
  while (pos + 4 <= real.size() && real[pos + 1] != 0xDA) {
    const size_t length = static_cast<size_t>(real[pos + 2] << 8 | real[pos + 3]);
    Bytes segment(real.begin() + pos, real.begin() + pos + 2 + length);
    if (segment[1] == 0xC2) {
      segment[5] = static_cast<uint8_t>(height >> 8);
      segment[6] = static_cast<uint8_t>(height);
      segment[7] = static_cast<uint8_t>(width >> 8);
      segment[8] = static_cast<uint8_t>(width);
    }
    out.insert(out.end(), segment.begin(), segment.end());
    pos += 2 + length;
  }
  const size_t length = static_cast<size_t>(real[pos + 2] << 8 | real[pos + 3]);
  const Bytes scan(real.begin() + pos, real.begin() + pos + 2 + length);
  for (int s = 0; s < scans; ++s) {
    out.insert(out.end(), scan.begin(), scan.end());
    out.insert(out.end(), static_cast<size_t>(dataBytes), 0x2A);
  }
  out.push_back(0xFF);
  out.push_back(0xD9);
  return out;
}

Bytes Text(int width, int height) {
  Bytes b;
  AppendString(b, "NHORZ " + std::to_string(width) + "\r\nNVERT " +
                      std::to_string(height) + "\r\n");
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x)
      AppendString(b, std::to_string(SamplePattern(x, y, 0)) + "\t");
    AppendString(b, "\r\n");
  }
  return b;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) throw std::runtime_error("cannot create " + path);
  const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  if (written != bytes.size()) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error("cannot open " + path);
  Bytes out;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
    out.insert(out.end(), chunk, chunk + got);
  std::fclose(f);
  return out;
}

}  // namespace samples
