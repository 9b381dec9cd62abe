#include "image/webp_codec.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <webp/decode.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "image/stream_io.h"

namespace Common {
namespace {

struct MuxDeleter {
  void operator()(WebPMux* m) const { WebPMuxDelete(m); }
};
using MuxPtr = std::unique_ptr<WebPMux, MuxDeleter>;

void TakeChunk(const WebPMux* mux, const char* fourcc, std::string& into) {
  WebPData chunk{nullptr, 0};
  if (WebPMuxGetChunk(mux, fourcc, &chunk) == WEBP_MUX_OK && chunk.bytes != nullptr)
    into.assign(reinterpret_cast<const char*>(chunk.bytes), chunk.size);
}

}  // namespace

bool ReadWebpFile(FILE* stream, CImage& image, LoadControl& control) {
  unsigned char head[12];
  if (!ReadExact(stream, head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WEBP", 4) != 0)
    return false;
  const int64_t remaining = RemainingBytes(stream);
  if (remaining < 0 || remaining + 12 > kMaxWebpFileBytes) return false;
  std::vector<uint8_t> data(static_cast<size_t>(remaining) + 12);
  std::memcpy(data.data(), head, sizeof head);
  if (!ReadExact(stream, data.data() + 12, static_cast<size_t>(remaining))) return false;

  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data.data(), data.size(), &features) != VP8_STATUS_OK) return false;
  if (features.has_animation) {
    control.Refuse("animated WebP files are not read");
    return false;
  }
  const int32_t channels = features.has_alpha ? 4 : 3;
  if (control.Admit(features.width, features.height, channels) < 0) return false;
  if (control.Stopped()) return false;
  if (!image.Create(features.width, features.height, channels, true, false)) return false;
  const size_t size = static_cast<size_t>(image.stride) * static_cast<size_t>(image.height);
  const uint8_t* decoded =
      channels == 4 ? WebPDecodeRGBAInto(data.data(), data.size(), image.pixels, size, image.stride)
                    : WebPDecodeRGBInto(data.data(), data.size(), image.pixels, size, image.stride);
  if (decoded == nullptr) return false;

  image.metadata.lossy = features.format != 2;
  const WebPData whole{data.data(), data.size()};
  MuxPtr mux(WebPMuxCreate(&whole, 0));
  if (mux) {
    TakeChunk(mux.get(), "ICCP", image.metadata.icc);
    TakeChunk(mux.get(), "EXIF", image.metadata.exif);
    TakeChunk(mux.get(), "XMP ", image.metadata.xmp);
  }
  return true;
}

bool WriteWebpFile(const CImage& image, FILE* stream, int quality) {
  if (image.IsEmpty() || image.depth != 8) return false;
  // The encoder takes RGB or RGBA rows.
  std::unique_ptr<CImage> rgb;
  const CImage* source = &image;
  if (image.channels == 1) {
    rgb = image.CreateRgbCopy();
    if (!rgb) return false;
    source = rgb.get();
  }
  uint8_t* out = nullptr;
  size_t size = 0;
  const bool alpha = source->channels == 4;
  if (quality < 0)
    size = alpha ? WebPEncodeLosslessRGBA(source->pixels, source->width, source->height,
                                          source->stride, &out)
                 : WebPEncodeLosslessRGB(source->pixels, source->width, source->height,
                                         source->stride, &out);
  else
    size = alpha ? WebPEncodeRGBA(source->pixels, source->width, source->height,
                                  source->stride, static_cast<float>(quality), &out)
                 : WebPEncodeRGB(source->pixels, source->width, source->height,
                                 source->stride, static_cast<float>(quality), &out);
  if (size == 0 || out == nullptr) {
    WebPFree(out);
    return false;
  }
  const ImageMetadata& meta = image.metadata;
  if (meta.icc.empty() && meta.exif.empty() && meta.xmp.empty()) {
    const bool ok = WriteExact(stream, out, size);
    WebPFree(out);
    return ok;
  }
  // The metadata chunks go in through the muxer, which writes the
  // extended header that announces them.
  MuxPtr mux(WebPMuxNew());
  const WebPData bitstream{out, size};
  bool ok = mux && WebPMuxSetImage(mux.get(), &bitstream, 1) == WEBP_MUX_OK;
  auto set = [&](const char* fourcc, const std::string& block) {
    if (!ok || block.empty()) return;
    const WebPData chunk{reinterpret_cast<const uint8_t*>(block.data()), block.size()};
    ok = WebPMuxSetChunk(mux.get(), fourcc, &chunk, 1) == WEBP_MUX_OK;
  };
  set("ICCP", meta.icc);
  set("EXIF", meta.exif);
  set("XMP ", meta.xmp);
  WebPFree(out);
  WebPData assembled{nullptr, 0};
  ok = ok && WebPMuxAssemble(mux.get(), &assembled) == WEBP_MUX_OK;
  ok = ok && WriteExact(stream, assembled.bytes, assembled.size);
  WebPDataClear(&assembled);
  return ok;
}

}  // namespace Common
