#include "image/jpeg_codec.h"

#include <csetjmp>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "image/image_limits.h"

namespace Common {
namespace {

// The library's standard error manager ends the process on a fatal error.
// This one jumps back to the routine that called into the library instead,
// and keeps every message off the console.
struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

[[noreturn]] void OnJpegError(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// Warnings that leave the picture whole. Every other warning means data
// that is missing or corrupt: the library would go on and fill the gap
// with gray, and an empty or truncated scan would still cost a pass over
// the whole picture, so the file is refused instead. That includes the
// end of the data before the end marker, wherever the cut falls.
bool HarmlessWarning(int code) {
  return code == JWRN_EXTRANEOUS_DATA  // junk before a marker, often EOI
         || code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM;
}

void OnJpegMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && !HarmlessWarning(cinfo->err->msg_code)) OnJpegError(cinfo);
}

void OnJpegOutput(j_common_ptr) {}

void InstallErrorManager(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = OnJpegError;
  err.pub.emit_message = OnJpegMessage;
  err.pub.output_message = OnJpegOutput;
}

// Called by the library about once per row of blocks in every pass.
struct ProgressMonitor {
  jpeg_progress_mgr pub;
  LoadControl* control;
};

void MonitorDecoding(j_common_ptr cinfo) {
  auto* monitor = reinterpret_cast<ProgressMonitor*>(cinfo->progress);
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number >
          kMaxJpegScans ||
      monitor->control->Stopped())
    OnJpegError(cinfo);
}

// What the library may allocate for a picture: the coefficients of every
// component when the file has several scans (a progressive file is decoded
// whole before the first row comes out), and buffers of a few dozen rows.
int64_t WorkingSetBound(const jpeg_decompress_struct& cinfo) {
  int64_t bytes = int64_t{16} << 20;
  bytes += int64_t{1024} * (cinfo.image_width + 64);
  if (jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&cinfo))) {
    for (int c = 0; c < cinfo.num_components; ++c) {
      const jpeg_component_info& comp = cinfo.comp_info[c];
      const int64_t blocks =
          (int64_t{comp.width_in_blocks} + comp.h_samp_factor) *
          (int64_t{comp.height_in_blocks} + comp.v_samp_factor);
      bytes += blocks * static_cast<int64_t>(sizeof(JBLOCK));
    }
  }
  return bytes;
}

// CMYK to RGB as the inks combine: each colour is what its ink and the
// black ink let through. Adobe's files store the inks inverted.
void CmykRowToRgb(const uint8_t* cmyk, uint8_t* rgb, int32_t width,
                  bool inverted) {
  for (int32_t x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
    const int k = inverted ? cmyk[3] : 255 - cmyk[3];  // light left by K
    for (int c = 0; c < 3; ++c) {
      const int ink = inverted ? 255 - cmyk[c] : cmyk[c];
      const int t = ink * k + 128;
      rgb[c] = static_cast<uint8_t>(k - (((t >> 8) + t) >> 8));
    }
  }
}

struct JpegRead {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  ProgressMonitor progress;
  CImage* image = nullptr;
  LoadControl* control = nullptr;
};

// The library part of the read, with only trivially destructible locals:
// a long jump out of libjpeg lands in its setjmp.
bool DecodeJpeg(FILE* stream, JpegRead& r) {
  if (setjmp(r.err.jump)) return false;
  jpeg_create_decompress(&r.cinfo);
  r.progress.pub.progress_monitor = MonitorDecoding;
  r.progress.control = r.control;
  r.cinfo.progress = &r.progress.pub;
  jpeg_stdio_src(&r.cinfo, stream);
  jpeg_read_header(&r.cinfo, TRUE);

  int32_t channels = 3;
  bool cmyk = false;
  switch (r.cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      channels = r.control->prefer_rgb ? 3 : 1;
      r.cinfo.out_color_space = r.control->prefer_rgb ? JCS_RGB : JCS_GRAYSCALE;
      break;
    case JCS_RGB:
    case JCS_YCbCr:
      r.cinfo.out_color_space = JCS_RGB;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      cmyk = true;
      r.cinfo.out_color_space = JCS_CMYK;
      break;
    default:
      return false;
  }
  // Refuse sizes over the limits before the library allocates for them,
  // and bound its working set by what a picture of this size needs.
  if (r.control->Admit(r.cinfo.image_width, r.cinfo.image_height, channels) < 0)
    return false;
  r.cinfo.mem->max_memory_to_use = static_cast<long>(WorkingSetBound(r.cinfo));

  jpeg_start_decompress(&r.cinfo);
  if (r.cinfo.output_width != r.cinfo.image_width ||
      r.cinfo.output_height != r.cinfo.image_height ||
      r.cinfo.output_components != (cmyk ? 4 : channels))
    return false;
  if (!r.image->Create(static_cast<int32_t>(r.cinfo.output_width),
                       static_cast<int32_t>(r.cinfo.output_height), channels,
                       true, false))
    return false;
  JSAMPARRAY cmykRow =
      cmyk ? (*r.cinfo.mem->alloc_sarray)(
                 reinterpret_cast<j_common_ptr>(&r.cinfo), JPOOL_IMAGE,
                 r.cinfo.output_width * 4, 1)
           : nullptr;
  const bool inverted = cmyk && r.cinfo.saw_Adobe_marker;
  while (r.cinfo.output_scanline < r.cinfo.output_height) {
    const int32_t y = static_cast<int32_t>(r.cinfo.output_scanline);
    JSAMPROW row = cmyk ? cmykRow[0] : r.image->PixelAt(0, y);
    if (jpeg_read_scanlines(&r.cinfo, &row, 1) != 1) return false;
    if (cmyk) CmykRowToRgb(row, r.image->PixelAt(0, y), r.image->width, inverted);
  }
  jpeg_finish_decompress(&r.cinfo);
  return true;
}

struct JpegWrite {
  jpeg_compress_struct cinfo;
  ErrorManager err;
};

bool EncodeJpeg(const uint8_t* pixels, int32_t width, int32_t height,
                int32_t stride, int32_t channels, int quality, FILE* stream,
                JpegWrite& w) {
  if (setjmp(w.err.jump)) return false;
  jpeg_create_compress(&w.cinfo);
  jpeg_stdio_dest(&w.cinfo, stream);
  w.cinfo.image_width = static_cast<JDIMENSION>(width);
  w.cinfo.image_height = static_cast<JDIMENSION>(height);
  w.cinfo.input_components = channels;
  w.cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&w.cinfo);
  jpeg_set_quality(&w.cinfo, quality, TRUE);
  jpeg_start_compress(&w.cinfo, TRUE);
  for (int32_t y = 0; y < height; ++y) {
    JSAMPROW row =
        const_cast<JSAMPROW>(pixels + static_cast<size_t>(stride) * y);
    jpeg_write_scanlines(&w.cinfo, &row, 1);
  }
  jpeg_finish_compress(&w.cinfo);
  return true;
}

}  // namespace

bool ReadJpegFile(FILE* stream, CImage& image, LoadControl& control) {
  // Zeroed, so that a failure inside jpeg_create_decompress leaves no
  // memory manager for jpeg_destroy to free.
  JpegRead r{};
  InstallErrorManager(r.err);
  r.cinfo.err = &r.err.pub;
  r.image = &image;
  r.control = &control;
  const bool ok = DecodeJpeg(stream, r);
  if (r.cinfo.mem != nullptr) jpeg_destroy_decompress(&r.cinfo);
  return ok;
}

bool WriteJpegFile(const uint8_t* pixels, int32_t width, int32_t height,
                   int32_t stride, int32_t channels, FILE* stream,
                   int quality) {
  if (channels != 1 && channels != 3) return false;
  if (quality < 1 || quality > 100) return false;
  JpegWrite w{};
  InstallErrorManager(w.err);
  w.cinfo.err = &w.err.pub;
  const bool ok =
      EncodeJpeg(pixels, width, height, stride, channels, quality, stream, w);
  if (w.cinfo.mem != nullptr) jpeg_destroy_compress(&w.cinfo);
  return ok;
}

bool WriteJpeg(const CImage& image, FILE* stream, int quality) {
  if (image.channels == 4) {
    std::unique_ptr<CImage> rgb = image.CreateRgbCopy();
    return rgb != nullptr && WriteJpeg(*rgb, stream, quality);
  }
  return WriteJpegFile(image.pixels, image.width, image.height, image.stride,
                       image.channels, stream, quality);
}

}  // namespace Common
