#include "image/png_codec.h"

#include <cmath>
#include <csetjmp>
#include <cstring>
#include <new>
#include <string>

#include <png.h>

#include "image/image_limits.h"

namespace Common {
namespace {

// libpng reports an error by calling this, which must not return: it jumps
// back to the setjmp of the routine that called into the library. A read
// keeps the library's message (where it has one, after the chunk's name,
// "IDAT: CRC error") as its reason.
[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  auto* reason = static_cast<std::string*>(png_get_error_ptr(png));
  if (reason != nullptr && reason->empty() && message != nullptr) *reason = message;
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Everything a read holds, released by Finish on every path. Kept outside
// the frame of the setjmp so that the long jump leaves it intact.
struct PngRead {
  png_structp png = nullptr;
  png_infop info = nullptr;
  CImage* image = nullptr;
  LoadControl* control = nullptr;
  FILE* stream = nullptr;
  std::string reason;       // the library's error message
  bool rowsDone = false;    // every row (of every pass) is in the image
  bool endOfFile = false;   // the file ended before the library was done
  bool gray = false;        // gray samples, with or without alpha

  void Finish() {
    if (png != nullptr) png_destroy_read_struct(&png, &info, nullptr);
  }
};

constexpr char kXmpKey[] = "XML:com.adobe.xmp";

// libpng's read callback: the stream, with a reason for a file cut short.
void ReadData(png_structp png, png_bytep data, size_t length) {
  auto* r = static_cast<PngRead*>(png_get_io_ptr(png));
  if (std::fread(data, 1, length, r->stream) == length) return;
  if (std::ferror(r->stream) != 0) png_error(png, "Read Error");
  r->endOfFile = true;
  png_error(png, "the file is truncated");
}

// pHYs: pixels per metre, kept per centimetre; with the unit unknown, only
// the pixels' aspect ratio.
Resolution ReadResolution(png_structp png, png_infop info) {
  Resolution r;
  png_uint_32 x = 0, y = 0;
  int unit = PNG_RESOLUTION_UNKNOWN;
  if (png_get_pHYs(png, info, &x, &y, &unit) == 0 || x == 0 || y == 0) return r;
  const bool metre = unit == PNG_RESOLUTION_METER;
  r.x = metre ? x / 100.0 : x;
  r.y = metre ? y / 100.0 : y;
  r.unit = metre ? Resolution::Unit::Centimetre : Resolution::Unit::None;
  return r;
}

// The EXIF (eXIf), ICC (iCCP) and XMP (iTXt) blocks of the chunks read.
void TakeMetadata(png_structp png, png_infop info, ImageMetadata& meta) {
  png_uint_32 size = 0;
  png_bytep exif = nullptr;
  if (png_get_eXIf_1(png, info, &size, &exif) != 0 && exif != nullptr)
    meta.exif.assign(reinterpret_cast<const char*>(exif), size);
  png_charp name = nullptr;
  int compression = 0;
  png_bytep profile = nullptr;
  if (png_get_iCCP(png, info, &name, &compression, &profile, &size) != 0 &&
      profile != nullptr)
    meta.icc.assign(reinterpret_cast<const char*>(profile), size);
  png_textp text = nullptr;
  const int count = png_get_text(png, info, &text, nullptr);
  for (int i = 0; i < count; ++i)
    if (text[i].compression >= PNG_ITXT_COMPRESSION_NONE &&
        std::strcmp(text[i].key, kXmpKey) == 0 && text[i].text != nullptr) {
      meta.xmp.assign(text[i].text, text[i].itxt_length);
      break;
    }
  meta.resolution = ReadResolution(png, info);
}

// The library part of the read, with only trivially destructible locals:
// a long jump out of libpng lands in its setjmp.
bool DecodePng(PngRead& r) {
  if (setjmp(png_jmpbuf(r.png))) {
    // A file that ends after its pixels, before its end chunk, is read (as
    // other readers do); the chunks read before the cut are kept.
    if (!r.rowsDone || !r.endOfFile) return false;
    TakeMetadata(r.png, r.info, r.image->metadata);
    r.image->metadata.gray = r.gray;
    return true;
  }
  png_set_user_limits(r.png, static_cast<png_uint_32>(kMaxImageDimension),
                      static_cast<png_uint_32>(kMaxImageDimension));
#if defined(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)
  // Let mutated inputs past the checksums, to reach the code behind them.
  png_set_crc_action(r.png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#if defined(PNG_IGNORE_ADLER32)
  png_set_option(r.png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
#endif
  png_set_read_fn(r.png, &r, ReadData);
  png_set_sig_bytes(r.png, 8);
  png_read_info(r.png, r.info);

  const png_uint_32 width = png_get_image_width(r.png, r.info);
  const png_uint_32 height = png_get_image_height(r.png, r.info);
  // The pixel count is checked before libpng sizes its row buffers.
  if (r.control->Admit(width, height, 1) < 0) return false;

  const int colourType = png_get_color_type(r.png, r.info);
  const int bitDepth = png_get_bit_depth(r.png, r.info);
  r.gray = (colourType & PNG_COLOR_MASK_COLOR) == 0;
  const bool transparency =
      (colourType & PNG_COLOR_MASK_ALPHA) != 0 ||
      png_get_valid(r.png, r.info, PNG_INFO_tRNS) != 0;
  const bool wide = bitDepth == 16 && r.control->keep_wide;
  if (wide)
    png_set_swap(r.png);  // the file's order is big-endian
  else if (bitDepth == 16)
    png_set_strip_16(r.png);
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(r.png);
  if (colourType == PNG_COLOR_TYPE_GRAY && bitDepth < 8)
    png_set_expand_gray_1_2_4_to_8(r.png);
  if (png_get_valid(r.png, r.info, PNG_INFO_tRNS) != 0)
    png_set_tRNS_to_alpha(r.png);
  // Gray with alpha has no two-channel form here: it becomes RGBA.
  if ((colourType & PNG_COLOR_MASK_COLOR) == 0 &&
      (transparency || (r.control->prefer_rgb && !wide)))
    png_set_gray_to_rgb(r.png);
  const int passes = png_set_interlace_handling(r.png);
  png_read_update_info(r.png, r.info);

  const int channels = png_get_channels(r.png, r.info);
  if (channels != 1 && channels != 3 && channels != 4) return false;
  const int depth = wide ? 16 : 8;
  if (png_get_bit_depth(r.png, r.info) != depth ||
      png_get_rowbytes(r.png, r.info) != static_cast<png_size_t>(width) *
                                             static_cast<png_size_t>(channels) *
                                             static_cast<png_size_t>(depth / 8))
    return false;
  if (r.control->Admit(width, height, channels) < 0) return false;
  if (!r.image->Create(static_cast<int32_t>(width),
                       static_cast<int32_t>(height), channels, true, false,
                       depth))
    return false;
  // Row by row into the image; the passes of an interlaced file each add
  // their pixels to the rows.
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 y = 0; y < height; ++y) {
      if (r.control->Stopped()) return false;
      png_read_row(r.png, r.image->PixelAt(0, static_cast<int32_t>(y)),
                   nullptr);
    }
  r.rowsDone = true;
  // Reads up to the end chunk: a file cut short after its pixels fails too.
  // The chunks behind the pixels join those before them in the info.
  png_read_end(r.png, r.info);
  TakeMetadata(r.png, r.info, r.image->metadata);
  r.image->metadata.gray = r.gray;
  return true;
}

struct PngWrite {
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_bytep row = nullptr;  // a gray row made from a wider pixel

  void Finish() {
    if (png != nullptr) png_destroy_write_struct(&png, &info);
    delete[] row;
    row = nullptr;
  }
};

// pHYs in pixels per metre, rounded as every writer does (600 per inch
// gives 23622), or with the unit unknown; left out when out of its range.
void SetResolution(png_structp png, png_infop info, const Resolution& r) {
  const double scale = r.unit == Resolution::Unit::Inch         ? 1 / 0.0254
                       : r.unit == Resolution::Unit::Centimetre ? 100
                                                                : 1;
  const double x = std::round(r.x * scale), y = std::round(r.y * scale);
  if (!(x >= 1 && y >= 1 && x <= PNG_UINT_31_MAX && y <= PNG_UINT_31_MAX)) return;
  png_set_pHYs(png, info, static_cast<png_uint_32>(x), static_cast<png_uint_32>(y),
               r.unit == Resolution::Unit::None ? PNG_RESOLUTION_UNKNOWN
                                                : PNG_RESOLUTION_METER);
}

bool EncodePng(const uint8_t* pixels, int32_t width, int32_t height,
               int32_t stride, int32_t channels, int32_t depth, FILE* stream,
               PngWrite& w, const ImageMetadata* meta) {
  if (setjmp(png_jmpbuf(w.png))) return false;
  // A profile libpng finds unsound is left out rather than failing the save.
  png_set_benign_errors(w.png, 1);
  const int samples = GraySamplesWritten(channels, meta != nullptr && meta->gray);
  const int colourType = samples == 1   ? PNG_COLOR_TYPE_GRAY
                         : samples == 2 ? PNG_COLOR_TYPE_GRAY_ALPHA
                         : samples == 3 ? PNG_COLOR_TYPE_RGB
                                        : PNG_COLOR_TYPE_RGB_ALPHA;
  png_set_IHDR(w.png, w.info, static_cast<png_uint_32>(width),
               static_cast<png_uint_32>(height), depth, colourType,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(w.png, 1);
  png_text xmp{};
  if (meta != nullptr) {
    if (meta->resolution.Given()) SetResolution(w.png, w.info, meta->resolution);
    if (!meta->exif.empty())
      png_set_eXIf_1(w.png, w.info, static_cast<png_uint_32>(meta->exif.size()),
                     reinterpret_cast<png_bytep>(const_cast<char*>(meta->exif.data())));
    if (!meta->icc.empty())
      png_set_iCCP(w.png, w.info, "ICC profile", PNG_COMPRESSION_TYPE_BASE,
                   reinterpret_cast<png_const_bytep>(meta->icc.data()),
                   static_cast<png_uint_32>(meta->icc.size()));
    if (!meta->xmp.empty()) {
      xmp.compression = PNG_ITXT_COMPRESSION_NONE;
      xmp.key = const_cast<png_charp>(kXmpKey);
      xmp.text = const_cast<png_charp>(meta->xmp.c_str());
      xmp.itxt_length = meta->xmp.size();
      png_set_text(w.png, w.info, &xmp, 1);
    }
  }
  const size_t sampleBytes = static_cast<size_t>(depth / 8);
  if (samples != channels) {
    w.row = new (std::nothrow) png_byte[static_cast<size_t>(width) * samples * sampleBytes];
    if (w.row == nullptr) return false;
  }
  png_init_io(w.png, stream);
  png_write_info(w.png, w.info);
  if (depth == 16) png_set_swap(w.png);  // the file's order is big-endian
  // libpng copies each row before its transforms and filters, so the rows
  // can come straight from the image.
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* from = pixels + static_cast<size_t>(stride) * y;
    if (samples != channels) {
      CopyGrayRow(from, width, channels, samples, sampleBytes, w.row);
      from = w.row;
    }
    png_write_row(w.png, from);
  }
  png_write_end(w.png, w.info);
  return true;
}

}  // namespace

bool ReadPngFile(FILE* stream, CImage& image, LoadControl& control) {
  png_byte signature[8];
  if (std::fread(signature, 1, sizeof signature, stream) != sizeof signature ||
      png_sig_cmp(signature, 0, sizeof signature) != 0)
    return false;

  PngRead r;
  r.image = &image;
  r.control = &control;
  r.stream = stream;
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r.reason, OnPngError,
                                 OnPngWarning);
  if (r.png == nullptr) return false;
  r.info = png_create_info_struct(r.png);
  const bool ok = r.info != nullptr && DecodePng(r);
  r.Finish();
  // A damaged file is refused with the library's reason.
  if (!ok && control.failure() == LoadFailure::None && !r.reason.empty())
    control.Refuse(r.reason);
  return ok;
}

bool WritePngFile(const uint8_t* pixels, int32_t width, int32_t height,
                  int32_t stride, int32_t channels, FILE* stream,
                  int32_t depth, const ImageMetadata* meta) {
  if (channels != 1 && channels != 3 && channels != 4) return false;
  if (depth != 8 && depth != 16) return false;
  PngWrite w;
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError,
                                  OnPngWarning);
  if (w.png == nullptr) return false;
  w.info = png_create_info_struct(w.png);
  const bool ok = w.info != nullptr &&
                  EncodePng(pixels, width, height, stride, channels, depth,
                            stream, w, meta);
  w.Finish();
  return ok;
}

}  // namespace Common
