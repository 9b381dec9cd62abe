// The command line of the `patchwell` tool:
//   patchwell IMAGE [MASK] [-o OUT] [-r RADIUS] [-m auto|gpu|gpu-fast|cpu]
//             [--device auto|cpu|cuda|cuda:N] [--search-radius N|all]
//             [--source-mask FILE] [--sources FILE] [--quality Q]
//             [--max-pixels N] [-v] [-q]
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fill/engine.h"
#include "image/tiff_codec.h"
#include "inpaint/auto_fill.h"
#include "inpaint/entry.h"

namespace pw::cli {

// The window radius when none is given: the best repair of real photos
// overall (bench/radius_quality.py, figures in README.md).
constexpr int kDefaultRadius = 3;

// The exit statuses are the entry layer's (inpaint/entry.h).

struct CliOptions {
  std::string image;
  std::optional<std::string> mask;    // absent: the image's alpha channel
  std::optional<std::string> output;  // derived from image when absent
  int radius = kDefaultRadius;
  int32_t method = kMethodAuto;
  Backend device = Backend::Auto;
  int32_t cuda_device = -1;           // with Cuda: cuda:N, -1 the first usable
  int quality = 80;                   // JPEG output quality, 1 to 100
  bool quality_given = false;
  bool quality_keep = false;          // --quality keep
  Common::TiffCompression compression = Common::TiffCompression::Deflate;
  std::optional<int64_t> max_pixels;  // the decoders' pixel limit
  // --search-radius: the default derives it from the mask
  // (DefaultSearchRadius); "all" (none) searches the whole image.
  bool search_radius_default = true;
  std::optional<int32_t> search_radius;
  std::optional<std::string> source_mask;
  std::optional<std::string> sources;  // where the source map goes
  unsigned find = 0;  // --find: detect::Kind flags of the damage to find
  bool verbose = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. On a usage error returns
// false with a one-line reason in `error`.
bool ParseCommandLine(const std::vector<std::string>& args,
                      CliOptions& options, std::string& error);

// The text of --help.
std::string UsageText();

}  // namespace pw::cli
