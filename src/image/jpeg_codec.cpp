#include "image/jpeg_codec.h"

#include <csetjmp>
#include <new>

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "image/image_limits.h"

namespace Common {
namespace {

// Progressive files can ask for any number of scans, each a pass over the
// whole image; real files use about ten.
constexpr int kMaxScans = 1000;

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

// Warnings let decoding go on, except the end of the data arriving before
// the end marker: the file is cut short, and where the cut falls (inside
// the last rows, between the scans of a progressive file, or just before
// the marker) cannot be told reliably, so the file is refused.
void OnJpegMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF) OnJpegError(cinfo);
}

void OnJpegOutput(j_common_ptr) {}

void InstallErrorManager(ErrorManager& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = OnJpegError;
  err.pub.emit_message = OnJpegMessage;
  err.pub.output_message = OnJpegOutput;
}

void LimitScans(j_common_ptr cinfo) {
  if (cinfo->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans)
    OnJpegError(cinfo);
}

struct JpegRead {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  jpeg_progress_mgr progress;
  uint8_t* block = nullptr;
  int32_t width = 0, height = 0, stride = 0;
};

// The library part of the read, with only trivially destructible locals:
// a long jump out of libjpeg lands in its setjmp.
bool DecodeJpeg(FILE* stream, JpegRead& r) {
  if (setjmp(r.err.jump)) return false;
  jpeg_create_decompress(&r.cinfo);
  r.progress.progress_monitor = LimitScans;
  r.cinfo.progress = &r.progress;
  jpeg_stdio_src(&r.cinfo, stream);
  jpeg_read_header(&r.cinfo, TRUE);

  // Refuse sizes over the limits before the library allocates for them;
  // its whole-image buffers (progressive files) are bounded as well.
  const int64_t blockBytes =
      CheckedBlockBytes(r.cinfo.image_width, r.cinfo.image_height, 3);
  if (blockBytes < 0) return false;
  r.cinfo.mem->max_memory_to_use = static_cast<long>(3 * kMaxImageBytes);

  jpeg_start_decompress(&r.cinfo);
  if (r.cinfo.output_components != 3 ||
      CheckedBlockBytes(r.cinfo.output_width, r.cinfo.output_height, 3) !=
          blockBytes)
    return false;
  r.width = static_cast<int32_t>(r.cinfo.output_width);
  r.height = static_cast<int32_t>(r.cinfo.output_height);
  r.stride = static_cast<int32_t>(PaddedRowBytes(r.width, 3));
  r.block = new (std::nothrow) uint8_t[static_cast<size_t>(blockBytes) + 1];
  if (r.block == nullptr) return false;
  while (r.cinfo.output_scanline < r.cinfo.output_height) {
    JSAMPROW row = r.block + static_cast<size_t>(r.stride) *
                                 r.cinfo.output_scanline;
    if (jpeg_read_scanlines(&r.cinfo, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(&r.cinfo);
  return true;
}

struct JpegWrite {
  jpeg_compress_struct cinfo;
  ErrorManager err;
};

bool EncodeJpeg(const uint8_t* pixels, int32_t width, int32_t height,
                int32_t stride, int32_t channels, FILE* stream, JpegWrite& w) {
  if (setjmp(w.err.jump)) return false;
  jpeg_create_compress(&w.cinfo);
  jpeg_stdio_dest(&w.cinfo, stream);
  w.cinfo.image_width = static_cast<JDIMENSION>(width);
  w.cinfo.image_height = static_cast<JDIMENSION>(height);
  w.cinfo.input_components = channels;
  w.cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&w.cinfo);
  jpeg_set_quality(&w.cinfo, 80, TRUE);
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

bool ReadJpegFile(FILE* stream, DecodedBlock& block) {
  // Zeroed, so that a failure inside jpeg_create_decompress leaves no
  // memory manager for jpeg_destroy to free.
  JpegRead r{};
  InstallErrorManager(r.err);
  r.cinfo.err = &r.err.pub;
  const bool ok = DecodeJpeg(stream, r);
  if (r.cinfo.mem != nullptr) jpeg_destroy_decompress(&r.cinfo);
  if (!ok) {
    delete[] r.block;
    return false;
  }
  block.data.reset(r.block);
  block.width = r.width;
  block.height = r.height;
  block.stride = r.stride;
  block.channels = 3;
  return true;
}

bool WriteJpegFile(const uint8_t* pixels, int32_t width, int32_t height,
                   int32_t stride, int32_t channels, FILE* stream) {
  if (channels != 1 && channels != 3) return false;
  JpegWrite w{};
  InstallErrorManager(w.err);
  w.cinfo.err = &w.err.pub;
  const bool ok =
      EncodeJpeg(pixels, width, height, stride, channels, stream, w);
  if (w.cinfo.mem != nullptr) jpeg_destroy_compress(&w.cinfo);
  return ok;
}

bool WriteJpeg(const CImage& image, FILE* stream) {
  if (image.channels == 4) {
    std::unique_ptr<CImage> rgb = image.CreateRgbCopy();
    return rgb != nullptr && WriteJpeg(*rgb, stream);
  }
  return WriteJpegFile(image.pixels, image.width, image.height, image.stride,
                       image.channels, stream);
}

}  // namespace Common
