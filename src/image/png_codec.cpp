#include "image/png_codec.h"

#include <csetjmp>
#include <cstring>
#include <new>

#include <png.h>

#include "image/image_limits.h"

namespace Common {
namespace {

// libpng reports an error by calling this, which must not return: it jumps
// back to the setjmp of the routine that called into the library.
[[noreturn]] void OnPngError(png_structp png, png_const_charp) {
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

  void Finish() {
    if (png != nullptr) png_destroy_read_struct(&png, &info, nullptr);
  }
};

constexpr char kXmpKey[] = "XML:com.adobe.xmp";

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
}

// The library part of the read, with only trivially destructible locals:
// a long jump out of libpng lands in its setjmp.
bool DecodePng(FILE* stream, PngRead& r) {
  if (setjmp(png_jmpbuf(r.png))) return false;
  png_set_user_limits(r.png, static_cast<png_uint_32>(kMaxImageDimension),
                      static_cast<png_uint_32>(kMaxImageDimension));
#if defined(FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION)
  // Let mutated inputs past the checksums, to reach the code behind them.
  png_set_crc_action(r.png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#if defined(PNG_IGNORE_ADLER32)
  png_set_option(r.png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
#endif
  png_init_io(r.png, stream);
  png_set_sig_bytes(r.png, 8);
  png_read_info(r.png, r.info);

  const png_uint_32 width = png_get_image_width(r.png, r.info);
  const png_uint_32 height = png_get_image_height(r.png, r.info);
  // The pixel count is checked before libpng sizes its row buffers.
  if (r.control->Admit(width, height, 1) < 0) return false;

  const int colourType = png_get_color_type(r.png, r.info);
  const int bitDepth = png_get_bit_depth(r.png, r.info);
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
  // Reads up to the end chunk: a file cut short after its pixels fails too.
  // The chunks behind the pixels join those before them in the info.
  png_read_end(r.png, r.info);
  TakeMetadata(r.png, r.info, r.image->metadata);
  return true;
}

struct PngWrite {
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_bytep* rows = nullptr;

  void Finish() {
    if (png != nullptr) png_destroy_write_struct(&png, &info);
    delete[] rows;
    rows = nullptr;
  }
};

bool EncodePng(const uint8_t* pixels, int32_t width, int32_t height,
               int32_t stride, int32_t channels, int32_t depth, FILE* stream,
               PngWrite& w, const ImageMetadata* meta) {
  if (setjmp(png_jmpbuf(w.png))) return false;
  // A profile libpng finds unsound is left out rather than failing the save.
  png_set_benign_errors(w.png, 1);
  const int colourType = channels == 1   ? PNG_COLOR_TYPE_GRAY
                         : channels == 3 ? PNG_COLOR_TYPE_RGB
                                         : PNG_COLOR_TYPE_RGB_ALPHA;
  png_set_IHDR(w.png, w.info, static_cast<png_uint_32>(width),
               static_cast<png_uint_32>(height), depth, colourType,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(w.png, 1);
  png_text xmp{};
  if (meta != nullptr) {
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
  w.rows = new (std::nothrow) png_bytep[height > 0 ? height : 1];
  if (w.rows == nullptr) return false;
  // Without transforms libpng copies each row before filtering it, so the
  // rows can point straight into the image.
  for (int32_t y = 0; y < height; ++y)
    w.rows[y] = const_cast<png_bytep>(pixels + static_cast<size_t>(stride) * y);
  png_init_io(w.png, stream);
  png_set_rows(w.png, w.info, w.rows);
  // The swap works on libpng's copy of each row.
  png_write_png(w.png, w.info,
                depth == 16 ? PNG_TRANSFORM_SWAP_ENDIAN : PNG_TRANSFORM_IDENTITY,
                nullptr);
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
  r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnPngError,
                                 OnPngWarning);
  if (r.png == nullptr) return false;
  r.info = png_create_info_struct(r.png);
  const bool ok = r.info != nullptr && DecodePng(stream, r);
  r.Finish();
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
