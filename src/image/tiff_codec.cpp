#include "image/tiff_codec.h"

#include <cstring>
#include <memory>
#include <vector>

#include <tiffio.h>

#include "image/exif_ifd.h"
#include "image/image_limits.h"
#include "image/orientation.h"
#include "image/stream_io.h"

namespace Common {
namespace {

// ---- libtiff over a stdio stream -----------------------------------------

// The name the library gives the file in its messages.
constexpr char kStreamName[] = "stream";

FILE* StreamOf(thandle_t handle) { return static_cast<FILE*>(handle); }

tmsize_t ReadProc(thandle_t h, void* buffer, tmsize_t size) {
  return static_cast<tmsize_t>(std::fread(buffer, 1, static_cast<size_t>(size), StreamOf(h)));
}
tmsize_t WriteProc(thandle_t h, void* buffer, tmsize_t size) {
  return static_cast<tmsize_t>(std::fwrite(buffer, 1, static_cast<size_t>(size), StreamOf(h)));
}
toff_t SeekProc(thandle_t h, toff_t offset, int whence) {
  if (offset > static_cast<toff_t>(INT64_MAX)) return static_cast<toff_t>(-1);
  if (fseeko(StreamOf(h), static_cast<off_t>(offset), whence) != 0)
    return static_cast<toff_t>(-1);
  return static_cast<toff_t>(ftello(StreamOf(h)));
}
int CloseProc(thandle_t) { return 0; }  // the caller owns the stream
toff_t SizeProc(thandle_t h) {
  FILE* f = StreamOf(h);
  const off_t at = ftello(f);
  if (at < 0 || fseeko(f, 0, SEEK_END) != 0) return 0;
  const off_t end = ftello(f);
  fseeko(f, at, SEEK_SET);
  return end < 0 ? 0 : static_cast<toff_t>(end);
}
int MapProc(thandle_t, void**, toff_t*) { return 0; }
void UnmapProc(thandle_t, void*, toff_t) {}

// Keeps the library's first error message, on one line, after the name of
// the routine that raised it; nothing is printed.
int OnError(TIFF*, void* user, const char* module, const char* format, va_list args) {
  auto* message = static_cast<std::string*>(user);
  if (message != nullptr && message->empty()) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    if (module != nullptr && *module != '\0' && std::strcmp(module, kStreamName) != 0)
      *message = std::string(module) + ": ";
    *message += text;
    for (char& c : *message)
      if (c == '\n' || c == '\r') c = ' ';
  }
  return 1;
}
int OnWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

// The largest single allocation the library may make for a file: the
// largest strip or tile of an admitted picture, and then some for tables.
constexpr tmsize_t kMaxLibraryAllocation = tmsize_t{1} << 30;

TiffPtr Open(FILE* stream, const char* mode, std::string* errors) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxLibraryAllocation);
  TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, errors);
  TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, nullptr);
  TIFF* tiff = TIFFClientOpenExt(kStreamName, mode, stream, ReadProc, WriteProc,
                                 SeekProc, CloseProc, SizeProc, MapProc,
                                 UnmapProc, options);
  TIFFOpenOptionsFree(options);
  return TiffPtr(tiff);
}

// ---- reading ---------------------------------------------------------------

struct Layout {
  uint32_t width = 0, height = 0;
  uint16_t bits = 8;         // 8 or 16
  uint16_t samples = 1;      // 1 gray, 2 gray + alpha, 3 RGB, 4 RGBA
  int32_t channels = 1;      // of the image: 1, 3 or 4
  // RGB with a fourth sample that is not alpha (a film scanner's infrared
  // channel): the picture is RGB and the fourth sample goes here, 16-bit.
  std::vector<uint16_t>* infrared = nullptr;
};

// A fourth sample declared as neither associated nor unassociated alpha.
bool ExtraSampleUnspecified(TIFF* tiff) {
  uint16_t count = 0;
  uint16_t* kinds = nullptr;
  return TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count == 1 &&
         kinds != nullptr && kinds[0] == EXTRASAMPLE_UNSPECIFIED;
}

bool Refuse(LoadControl& control, const std::string& why) {
  control.Refuse(why);
  return false;
}

// Checks what the reader takes; false, with the reason, for the rest.
bool ReadLayout(TIFF* tiff, LoadControl& control, Layout& l) {
  uint16_t compression = COMPRESSION_NONE, planar = PLANARCONFIG_CONTIG,
           photometric = 0, format = SAMPLEFORMAT_UINT;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &l.bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
  if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric))
    photometric = l.samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
  if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &l.width) ||
      !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &l.height))
    return false;

  if (compression == COMPRESSION_JPEG || compression == COMPRESSION_OJPEG)
    return Refuse(control, "JPEG-compressed TIFF files are not read; save it "
                           "with LZW, Deflate or no compression");
  if (compression != COMPRESSION_NONE && compression != COMPRESSION_LZW &&
      compression != COMPRESSION_ADOBE_DEFLATE &&
      compression != COMPRESSION_DEFLATE && compression != COMPRESSION_PACKBITS)
    return Refuse(control, "TIFF compression " + std::to_string(compression) +
                               " is not read (only none, LZW, Deflate and PackBits)");
  if (planar != PLANARCONFIG_CONTIG && l.samples > 1)
    return Refuse(control, "TIFF files whose colour planes are stored apart are "
                           "not read; save it with the samples of a pixel together "
                           "(contiguous, 'chunky')");
  if (format != SAMPLEFORMAT_UINT || (l.bits != 8 && l.bits != 16))
    return Refuse(control, "only TIFF files of 8- or 16-bit unsigned samples are read");
  const bool gray = photometric == PHOTOMETRIC_MINISBLACK && (l.samples == 1 || l.samples == 2);
  const bool rgb = photometric == PHOTOMETRIC_RGB && (l.samples == 3 || l.samples == 4);
  if (!gray && !rgb)
    return Refuse(control, "only gray (black is zero), gray with alpha, RGB and "
                           "RGBA TIFF files are read");
  l.channels = l.samples == 1 ? (control.prefer_rgb ? 3 : 1) : l.samples == 3 ? 3 : 4;
  if (rgb && l.samples == 4 && ExtraSampleUnspecified(tiff)) l.channels = 3;
  return true;
}

// Copies one row of decoded samples into the image row.
void PutRow(const Layout& l, const uint8_t* in, uint32_t count, uint8_t* out,
            bool wide, uint16_t* infrared) {
  const size_t inSample = l.bits / 8;
  const size_t outSample = wide ? 2 : 1;
  for (uint32_t x = 0; x < count; ++x) {
    for (int32_t c = 0; c < l.channels; ++c) {
      // Gray with alpha reads its gray for R, G and B; gray as RGB too.
      const int32_t s = l.samples >= 3 ? c : (c == 3 ? 1 : 0);
      const uint8_t* sample = in + (static_cast<size_t>(x) * l.samples + s) * inSample;
      uint8_t* to = out + (static_cast<size_t>(x) * l.channels + c) * outSample;
      if (l.bits == 8) {
        to[0] = sample[0];
      } else {
        uint16_t v;
        std::memcpy(&v, sample, 2);  // the library gives native order
        if (wide)
          std::memcpy(to, &v, 2);
        else
          to[0] = static_cast<uint8_t>(v >> 8);
      }
    }
  }
  if (infrared == nullptr) return;
  for (uint32_t x = 0; x < count; ++x) {
    const uint8_t* sample = in + (static_cast<size_t>(x) * l.samples + 3) * inSample;
    uint16_t v = sample[0];
    if (l.bits == 8)
      v = static_cast<uint16_t>(v * 257);
    else
      std::memcpy(&v, sample, 2);
    infrared[x] = v;
  }
}

// The infrared row of picture row y from column x, or null.
uint16_t* InfraredAt(const Layout& l, uint32_t x, uint32_t y) {
  return l.infrared ? l.infrared->data() + static_cast<size_t>(y) * l.width + x : nullptr;
}

bool ReadStrips(TIFF* tiff, const Layout& l, CImage& image, LoadControl& control,
                bool wide) {
  uint32_t rowsPerStrip = l.height;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  if (rowsPerStrip == 0 || rowsPerStrip > l.height) rowsPerStrip = l.height;
  const tmsize_t rowBytes = TIFFScanlineSize(tiff);
  if (rowBytes <= 0 ||
      static_cast<uint64_t>(rowBytes) != uint64_t{l.width} * l.samples * (l.bits / 8))
    return false;
  const uint32_t group = TiffRowsPerRead(rowsPerStrip, static_cast<uint64_t>(rowBytes));
  std::vector<uint8_t> buffer(static_cast<size_t>(rowBytes) * group);
  for (uint32_t y0 = 0; y0 < l.height; y0 += rowsPerStrip) {
    if (control.Stopped()) return false;
    const uint32_t rows = std::min(rowsPerStrip, l.height - y0);
    if (group == rowsPerStrip) {
      const tmsize_t want = rowBytes * static_cast<tmsize_t>(rows);
      const tstrip_t index = TIFFComputeStrip(tiff, y0, 0);
      if (TIFFReadEncodedStrip(tiff, index, buffer.data(), want) != want) return false;
      for (uint32_t k = 0; k < rows; ++k)
        PutRow(l, buffer.data() + static_cast<size_t>(k) * rowBytes, l.width,
               image.PixelAt(0, static_cast<int32_t>(y0 + k)), wide,
               InfraredAt(l, 0, y0 + k));
      continue;
    }
    // A strip over the budget is decoded row by row, in order, the library
    // keeping its place in the strip's compressed data between rows.
    for (uint32_t k = 0; k < rows; ++k) {
      if (control.Stopped()) return false;
      if (TIFFReadScanline(tiff, buffer.data(), y0 + k, 0) < 0) return false;
      PutRow(l, buffer.data(), l.width, image.PixelAt(0, static_cast<int32_t>(y0 + k)),
             wide, InfraredAt(l, 0, y0 + k));
    }
  }
  return true;
}

bool ReadTiles(TIFF* tiff, const Layout& l, CImage& image, LoadControl& control,
               bool wide) {
  uint32_t tileWidth = 0, tileHeight = 0;
  if (!TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth) ||
      !TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight) || tileWidth == 0 ||
      tileHeight == 0)
    return false;
  // A tile is never much larger than the picture it belongs to: a small
  // file cannot make the reader reserve gigabytes for one tile.
  const uint64_t pixelBytes = uint64_t{l.samples} * (l.bits / 8);
  const uint64_t tileBytes = uint64_t{tileWidth} * tileHeight * pixelBytes;
  const uint64_t pictureBytes = uint64_t{l.width} * l.height * pixelBytes;
  if (tileBytes > std::max<uint64_t>(pictureBytes * 4, uint64_t{1} << 20))
    return Refuse(control, "TIFF tiles of " + std::to_string(tileWidth) + "x" +
                               std::to_string(tileHeight) + " pixels are far larger than the " +
                               std::to_string(l.width) + "x" + std::to_string(l.height) +
                               " picture");
  if (static_cast<uint64_t>(TIFFTileSize64(tiff)) != tileBytes)
    return Refuse(control, "the TIFF tile size does not match its width, length and samples");
  std::vector<uint8_t> tile(static_cast<size_t>(tileBytes));
  for (uint32_t ty = 0; ty < l.height; ty += tileHeight) {
    for (uint32_t tx = 0; tx < l.width; tx += tileWidth) {
      if (control.Stopped()) return false;
      const ttile_t index = TIFFComputeTile(tiff, tx, ty, 0, 0);
      if (TIFFReadEncodedTile(tiff, index, tile.data(),
                              static_cast<tmsize_t>(tileBytes)) !=
          static_cast<tmsize_t>(tileBytes))
        return false;
      const uint32_t rows = std::min(tileHeight, l.height - ty);
      const uint32_t cols = std::min(tileWidth, l.width - tx);
      const size_t outPixel = static_cast<size_t>(l.channels) * (wide ? 2 : 1);
      for (uint32_t k = 0; k < rows; ++k)
        PutRow(l, tile.data() + static_cast<size_t>(k) * tileWidth * pixelBytes, cols,
               image.PixelAt(0, static_cast<int32_t>(ty + k)) + tx * outPixel, wide,
               InfraredAt(l, tx, ty + k));
    }
  }
  return true;
}

// X/YResolution in their ResolutionUnit (inch when the tag is absent);
// nothing unless both are given and positive.
Resolution ReadResolution(TIFF* tiff) {
  Resolution r;
  float x = 0, y = 0;
  uint16_t unit = RESUNIT_INCH;
  if (!TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) ||
      !TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y) || !(x > 0) || !(y > 0))
    return r;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_RESOLUTIONUNIT, &unit);
  r.x = x;
  r.y = y;
  r.unit = unit == RESUNIT_INCH         ? Resolution::Unit::Inch
           : unit == RESUNIT_CENTIMETER ? Resolution::Unit::Centimetre
                                        : Resolution::Unit::None;
  return r;
}

void ReadMetadata(TIFF* tiff, FILE* stream, CImage& image) {
  uint32_t count = 0;
  void* data = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &count, &data) && data != nullptr &&
      count > 0)
    image.metadata.icc.assign(static_cast<const char*>(data), count);
  if (TIFFGetField(tiff, TIFFTAG_XMLPACKET, &count, &data) && data != nullptr &&
      count > 0)
    image.metadata.xmp.assign(static_cast<const char*>(data), count);
  // The first IFD's descriptive tags and its EXIF and GPS IFDs, read again
  // from the file with their bytes as they are, make the EXIF block a JPEG
  // would carry.
  image.metadata.exif = ExifBlock(ReadIfdTree(stream));
  image.metadata.resolution = ReadResolution(tiff);
}

// The descriptive text tags of the EXIF block's first IFD, which the library
// writes in the file's first IFD.
bool SetTextTags(TIFF* t, const IfdTree& exif) {
  static const uint32_t kTags[] = {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_MODEL,
                                   TIFFTAG_SOFTWARE, TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                                   TIFFTAG_HOSTCOMPUTER, TIFFTAG_COPYRIGHT};
  for (uint32_t tag : kTags) {
    const IfdEntry* e = exif.Find(0, static_cast<uint16_t>(tag));
    if (e != nullptr && e->type == TIFF_ASCII && !TIFFSetField(t, tag, e->value.c_str()))
      return false;
  }
  return true;
}

// Puts the EXIF block's EXIF and GPS IFDs, with their values, at the end of
// the file as it is before its first IFD is written (the library writes
// that at the end of the file, so after them) and links them from it.
bool AppendSubIfds(TIFF* t, FILE* stream, const IfdTree& exif) {
  const IfdEntry* links[] = {exif.Find(0, kExifIfdTag), exif.Find(0, kGpsIfdTag)};
  if (links[0] == nullptr && links[1] == nullptr) return true;
  // The last strip goes out first.
  if (!TIFFFlushData(t) || std::fflush(stream) != 0 || fseeko(stream, 0, SEEK_END) != 0)
    return false;
  const off_t end = ftello(stream);
  if (end < 0) return false;
  std::string bytes;
  for (const IfdEntry* link : links) {
    if (link == nullptr) continue;
    const uint32_t at = PlaceIfd(exif, link->child, static_cast<uint64_t>(end), bytes);
    if (at != 0 &&
        !TIFFSetField(t, link->tag == kExifIfdTag ? TIFFTAG_EXIFIFD : TIFFTAG_GPSIFD,
                      uint64_t{at}))
      return false;
  }
  return WriteExact(stream, bytes.data(), bytes.size());
}

bool DecodeTiff(FILE* stream, CImage& image, LoadControl& control, std::string& errors) {
  TiffPtr tiff = Open(stream, "rm", &errors);
  if (!tiff) return false;
  Layout l;
  if (!ReadLayout(tiff.get(), control, l)) return false;
  if (control.Admit(l.width, l.height, l.channels) < 0) return false;
  const bool wide = l.bits == 16 && control.keep_wide;
  auto infrared = std::make_shared<std::vector<uint16_t>>();
  if (l.samples == 4 && l.channels == 3) {
    infrared->resize(static_cast<size_t>(l.width) * l.height);
    l.infrared = infrared.get();
  }
  if (!image.Create(static_cast<int32_t>(l.width), static_cast<int32_t>(l.height),
                    l.channels, true, false, wide ? 16 : 8))
    return false;
  const bool ok = TIFFIsTiled(tiff.get()) ? ReadTiles(tiff.get(), l, image, control, wide)
                                          : ReadStrips(tiff.get(), l, image, control, wide);
  if (!ok) return false;
  ReadMetadata(tiff.get(), stream, image);
  image.metadata.gray = l.samples <= 2;
  if (l.infrared) image.metadata.infrared = std::move(infrared);
  return true;
}

// ---- writing ---------------------------------------------------------------

// X/YResolution with the unit they were read in.
bool SetResolution(TIFF* t, const Resolution& r) {
  const uint16_t unit = r.unit == Resolution::Unit::Inch         ? RESUNIT_INCH
                        : r.unit == Resolution::Unit::Centimetre ? RESUNIT_CENTIMETER
                                                                 : RESUNIT_NONE;
  return TIFFSetField(t, TIFFTAG_XRESOLUTION, r.x) &&
         TIFFSetField(t, TIFFTAG_YRESOLUTION, r.y) &&
         TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, unit);
}

}  // namespace

uint32_t TiffRowsPerRead(uint32_t rowsPerStrip, uint64_t rowBytes) {
  if (rowsPerStrip == 0) return 1;
  return uint64_t{rowsPerStrip} * rowBytes <= kTiffStripBufferBytes ? rowsPerStrip : 1;
}

std::optional<TiffCompression> ParseTiffCompression(const std::string& name) {
  if (name == "none") return TiffCompression::None;
  if (name == "lzw") return TiffCompression::Lzw;
  if (name == "deflate") return TiffCompression::Deflate;
  if (name == "packbits") return TiffCompression::PackBits;
  return std::nullopt;
}

bool ReadTiffFile(FILE* stream, CImage& image, LoadControl& control) {
  unsigned char magic[4];
  if (!ReadExact(stream, magic, 4) ||
      !((magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42 && magic[3] == 0) ||
        (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 42) ||
        (magic[0] == 'I' && magic[1] == 'I' && magic[2] == 43 && magic[3] == 0) ||
        (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && magic[3] == 43)))
    return false;
  if (std::fseek(stream, 0, SEEK_SET) != 0) return false;
  std::string errors;
  const bool ok = DecodeTiff(stream, image, control, errors);
  // A damaged file is refused with the library's reason.
  if (!ok && control.failure() == LoadFailure::None && !errors.empty())
    control.Refuse(errors);
  return ok;
}

bool WriteTiffFile(const CImage& image, FILE* stream, TiffCompression compression) {
  if (image.IsEmpty()) return false;
  const ImageMetadata& meta = image.metadata;
  // A file of the EXIF block's byte order takes its values as they are.
  const IfdTree exif = ReadIfdTree(meta.exif);
  std::string errors;
  TiffPtr tiff = Open(stream, exif.Empty() ? "w" : exif.little ? "wl" : "wb", &errors);
  if (!tiff) return false;
  TIFF* t = tiff.get();
  const uint16_t channels =
      static_cast<uint16_t>(GraySamplesWritten(image.channels, image.metadata.gray));
  uint16_t scheme = COMPRESSION_NONE;
  switch (compression) {
    case TiffCompression::None: scheme = COMPRESSION_NONE; break;
    case TiffCompression::Lzw: scheme = COMPRESSION_LZW; break;
    case TiffCompression::Deflate: scheme = COMPRESSION_ADOBE_DEFLATE; break;
    case TiffCompression::PackBits: scheme = COMPRESSION_PACKBITS; break;
  }
  bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(image.width)) &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(image.height)) &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<uint16_t>(image.depth)) &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, channels) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                         channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) &&
            TIFFSetField(t, TIFFTAG_COMPRESSION, scheme) &&
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0)) &&
            SetTextTags(t, exif);
  // Without one the orientation is top-left, as in the EXIF block.
  if (ok && exif.Find(0, TIFFTAG_ORIENTATION) != nullptr)
    ok = TIFFSetField(t, TIFFTAG_ORIENTATION,
                      static_cast<uint16_t>(ExifOrientation(meta.exif)));
  if (ok && (channels == 2 || channels == 4)) {
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    ok = TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  if (ok && (scheme == COMPRESSION_LZW || scheme == COMPRESSION_ADOBE_DEFLATE))
    ok = TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (ok && meta.resolution.Given()) ok = SetResolution(t, meta.resolution);
  if (ok && !meta.icc.empty())
    ok = TIFFSetField(t, TIFFTAG_ICCPROFILE, static_cast<uint32_t>(meta.icc.size()),
                      meta.icc.data());
  if (ok && !meta.xmp.empty())
    ok = TIFFSetField(t, TIFFTAG_XMLPACKET, static_cast<uint32_t>(meta.xmp.size()),
                      meta.xmp.data());
  if (!ok) return false;
  const size_t sampleBytes = static_cast<size_t>(image.depth / 8);
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * channels * sampleBytes);
  for (int32_t y = 0; y < image.height; ++y) {
    // The library may change the buffer it is given (the predictor works in
    // place): a copy of the row goes in.
    const uint8_t* from = image.pixels + static_cast<size_t>(y) * image.stride;
    if (channels == image.channels)
      std::memcpy(row.data(), from, row.size());
    else
      CopyGrayRow(from, image.width, image.channels, channels, sampleBytes, row.data());
    if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0) return false;
  }
  if (!AppendSubIfds(t, stream, exif) || !TIFFWriteDirectory(t)) return false;
  TIFF* raw = tiff.release();
  TIFFClose(raw);
  return errors.empty() && std::ferror(stream) == 0;
}

bool WriteTiffInt32(const int32_t* samples, int32_t width, int32_t height, FILE* stream) {
  if (width <= 0 || height <= 0) return false;
  std::string errors;
  TiffPtr tiff = Open(stream, "w", &errors);
  if (!tiff) return false;
  TIFF* t = tiff.get();
  if (!(TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width)) &&
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height)) &&
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 32) &&
        TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT) &&
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1) &&
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0))))
    return false;
  std::vector<int32_t> row(static_cast<size_t>(width));
  for (int32_t y = 0; y < height; ++y) {
    std::memcpy(row.data(), samples + static_cast<size_t>(y) * width, row.size() * 4);
    if (TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) < 0) return false;
  }
  if (!TIFFWriteDirectory(t)) return false;
  TIFFClose(tiff.release());
  return errors.empty() && std::ferror(stream) == 0;
}

}  // namespace Common
