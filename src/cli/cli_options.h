// The command line of the `patchwell` tool:
//   patchwell IMAGE MASK [-o OUT] [-r RADIUS] [-m cpu|gpu|gpu-fast]
//             [--device auto|cpu|cuda] [--search-radius N]
//             [--source-mask FILE] [-v] [-q]
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fill/engine.h"

namespace pw::cli {

struct CliOptions {
  std::string image;
  std::string mask;
  std::optional<std::string> output;  // derived from image when absent
  int radius = 7;
  int32_t method = kMethodGpu;
  Backend device = Backend::Auto;
  int32_t search_radius = -1;  // -1: the whole image
  std::optional<std::string> source_mask;
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
