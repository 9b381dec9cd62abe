#include "cli/cli_options.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "cli/detect_command.h"
#include "fill/radius.h"
#include "image/image_files.h"
#include "image/source_map_file.h"

namespace pw::cli {
namespace {

bool ParseRadius(const std::string& text, int& radius) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  radius = std::atoi(text.c_str());
  return radius <= kMaxRadius;
}

// A whole number in [low, high], digits only.
bool ParseBounded(const std::string& text, int64_t low, int64_t high,
                  int64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  value = v;
  return true;
}

// A whole number of pixels, 0 or more (larger than any image is as good as
// the whole image), "all" for the whole image or "auto" for the default.
bool ParseSearchRadius(const std::string& text, std::optional<int32_t>& radius,
                       bool& derived) {
  derived = text == "auto";
  if (derived || text == "all") {
    radius.reset();
    return true;
  }
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  radius = text.size() > 9 ? 999999999 : std::atoi(text.c_str());
  return true;
}

bool ParseMethod(const std::string& text, int32_t& method) {
  if (text == "auto") method = kMethodAuto;
  else if (text == "gpu" || text == "exhaustive") method = kMethodGpu;
  else if (text == "cpu") method = kMethodCpu;
  else if (text == "gpu-fast" || text == "fast") method = kMethodGpuFast;
  else return false;
  return true;
}

// auto, cpu, cuda or cuda:N (N in up to 9 decimal digits).
bool ParseDevice(const std::string& text, Backend& device, int32_t& cuda_device) {
  cuda_device = -1;
  if (text == "auto") device = Backend::Auto;
  else if (text == "cpu") device = Backend::Cpu;
  else if (text == "cuda") device = Backend::Cuda;
  else if (text.compare(0, 5, "cuda:") == 0 && text.size() > 5 && text.size() <= 14 &&
           text.find_first_not_of("0123456789", 5) == std::string::npos) {
    device = Backend::Cuda;
    cuda_device = std::atoi(text.c_str() + 5);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string UsageText() {
  return
      "usage: patchwell IMAGE [MASK] [-o OUT] [-r RADIUS] [-m auto|gpu|gpu-fast|cpu]\n"
      "                 [--device auto|cpu|cuda|cuda:N] [--search-radius N|all]\n"
      "                 [--source-mask FILE] [--sources FILE] [--quality Q]\n"
      "                 [--compression C] [--max-pixels N] [--find K] [-v] [-q]\n"
      "       patchwell batch INPUTS... --out-dir DIR [options]\n"
      "                 (many pictures; see patchwell batch --help)\n"
      "       patchwell detect IMAGE -o MASK [--kinds K] [--overlay PREVIEW]\n"
      "                 (find dust and scratches; see patchwell detect --help)\n"
      "\n"
      "Repairs IMAGE: every pixel whose gray value in MASK (a picture of the\n"
      "same size) is above 128 is filled. Holes are filled from the\n"
      "best-matching window elsewhere in the image (exemplar-based\n"
      "inpainting); thin damage (dust, scratches) smoothly. Without MASK the\n"
      "transparent pixels of IMAGE (alpha below 128) are filled, and the\n"
      "result has no alpha. Formats follow the extensions: read\n" +
      ExtensionList(false) + ";\nwrite those and " + ExtensionList(true, true) +
      ".\n16-bit samples (PNG, TIFF, PPM) stay 16-bit in those formats: the\n"
      "search compares their high bytes, and every sample of a filled pixel\n"
      "is copied from its source. EXIF, ICC profile and XMP go from input\n"
      "to output where both formats hold them. A picture\n"
      "with an EXIF orientation is repaired and written as shown (with\n"
      "orientation 1) when MASK has the shown size.\n"
      "\n"
      "options:\n"
      "  -o, --output OUT     write the result to OUT (default: IMAGE with\n"
      "                       \"_inpaint\" before its extension)\n"
      "  -r, --radius N       window radius, 0 to " + std::to_string(kMaxRadius) +
      " (default " +
      std::to_string(kDefaultRadius) +
      "); windows are\n"
      "                       2N+1 pixels square: larger for coarse texture\n"
      "                       and wide holes, smaller for fine detail and\n"
      "                       speed\n"
      "  -m, --method M       auto (default): thin damage (no disc of radius\n"
      "                       3 fits in it) by a smooth fill that continues\n"
      "                       edges across it, holes by the exhaustive\n"
      "                       search; gpu or exhaustive: exhaustive search\n"
      "                       everywhere, on the chosen device; cpu: the same\n"
      "                       search on the CPU; gpu-fast or fast: pruned search\n"
      "                       (on the CPU about 3x slower than auto or cpu at\n"
      "                       the default search radius)\n"
      "      --device D       auto (CUDA when usable, default), cpu, cuda\n"
      "                       (the first usable CUDA device) or cuda:N\n"
      "      --search-radius N  take sources only from within N pixels of\n"
      "                       each damaged pixel; all: the whole image\n"
      "                       (slow on large photos); default auto: 48, or\n"
      "                       more where a hole is deeper (its depth + twice\n"
      "                       the radius + 16)\n"
      "      --find K         also fill the damage found in IMAGE, any of\n"
      "                       dust, scratches, infrared (an RGBI TIFF's\n"
      "                       fourth sample), separated by commas; MASK\n"
      "                       becomes optional and adds to what is found\n"
      "      --source-mask FILE  take sources only where FILE (a picture of\n"
      "                       the same size) is brighter than 128\n"
      "      --sources FILE   also write the source map to FILE (.npy, or .tif\n"
      "                       of 32-bit samples): for\n"
      "                       each pixel the index y * width + x of the pixel\n"
      "                       its value was copied from, -1 where none was\n"
      "      --quality Q      JPEG quality of the output, 1 to 100, or keep:\n"
      "                       the quantisation tables and chroma subsampling\n"
      "                       of a JPEG input (default: keep, 80 for other\n"
      "                       inputs); for WebP: lossy at Q (default:\n"
      "                       lossless unless the input was lossy, then 80);\n"
      "                       an error for other outputs\n"
      "      --compression C  TIFF output: deflate (default), lzw, packbits or\n"
      "                       none\n"
      "      --max-pixels N   refuse input files of more than N pixels\n"
      "                       (default 268435456 = 2^28)\n"
      "  -v, --verbose        print statistics, progress marks and timing\n"
      "  -q, --quiet          print nothing but errors (no progress bar,\n"
      "                       no output name)\n"
      "  -h, --help           show this help and exit\n"
      "      --version        show the version and the device, and exit\n"
      "\n"
      "On success the output's name is printed and the exit status is 0 (a\n"
      "mask that marks nothing writes the picture unchanged and says so); on\n"
      "a terminal a progress bar shows on standard error meanwhile (not with\n"
      "-v, whose progress marks take its place). Escape stops the run early,\n"
      "writes the pixels filled so far, prints how far it got and exits with\n"
      "status 3. When some pixels found no source the picture is written with\n"
      "them as they were, standard error says how many and why, and the exit\n"
      "status is 4. Every failure prints one line on standard error and exits\n"
      "with status 1; a wrong command line, or a job in which no pixel can\n"
      "find a source (a search radius not above the radius, a window larger\n"
      "than the picture, a mask of every pixel, a source mask that allows no\n"
      "window, an output or source map that would replace another file of\n"
      "the run), exits with status 2 before the run.\n";
}

bool ParseCommandLine(const std::vector<std::string>& args,
                      CliOptions& options, std::string& error) {
  std::vector<std::string> positional;
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    // Split "--name=value" and "-xVALUE" forms.
    std::string name = arg;
    std::optional<std::string> attached;
    if (arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        attached = arg.substr(eq + 1);
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      attached = arg.substr(2);
    }

    auto flag = [&](bool& target) {
      if (attached) {
        error = "option '" + name + "' takes no value";
        return false;
      }
      target = true;
      return true;
    };
    auto value = [&](std::string& out) {
      if (attached) {
        out = *attached;
        return true;
      }
      if (i + 1 >= args.size()) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };

    std::string text;
    if (name == "-h" || name == "--help") {
      if (!flag(options.help)) return false;
    } else if (name == "--version") {
      if (!flag(options.version)) return false;
    } else if (name == "-v" || name == "--verbose") {
      if (!flag(options.verbose)) return false;
    } else if (name == "-q" || name == "--quiet") {
      if (!flag(options.quiet)) return false;
    } else if (name == "-o" || name == "--output") {
      if (!value(text)) return false;
      if (text.empty()) {
        error = "the output name must not be empty";
        return false;
      }
      options.output = text;
    } else if (name == "-r" || name == "--radius") {
      if (!value(text)) return false;
      if (!ParseRadius(text, options.radius)) {
        error = "radius must be a whole number from 0 to " + std::to_string(kMaxRadius) +
                ", not '" + text + "'";
        return false;
      }
    } else if (name == "-m" || name == "--method") {
      if (!value(text)) return false;
      if (!ParseMethod(text, options.method)) {
        error = "method must be auto, gpu, gpu-fast, cpu, exhaustive or fast, not '" +
                text + "'";
        return false;
      }
    } else if (name == "--search-radius") {
      if (!value(text)) return false;
      if (!ParseSearchRadius(text, options.search_radius, options.search_radius_default)) {
        error = "search radius must be a whole number of pixels, 0 or more, all or auto, "
                "not '" + text + "'";
        return false;
      }
    } else if (name == "--source-mask") {
      if (!value(text)) return false;
      if (text.empty()) {
        error = "the source mask's name must not be empty";
        return false;
      }
      options.source_mask = text;
    } else if (name == "--sources") {
      if (!value(text)) return false;
      if (!Common::IsSourceMapName(text)) {
        error = "the source map's name must end in .npy, .tif or .tiff, not '" + text + "'";
        return false;
      }
      options.sources = text;
    } else if (name == "--find") {
      if (!value(text) || !ParseDamageKinds(text, options.find, error)) return false;
    } else if (name == "--quality") {
      if (!value(text)) return false;
      int64_t q = 0;
      if (text == "keep") {
        options.quality_keep = true;
        options.quality_given = false;
        continue;
      }
      if (!ParseBounded(text, 1, 100, q)) {
        error = "quality must be keep or a whole number from 1 to 100, not '" + text + "'";
        return false;
      }
      options.quality = static_cast<int>(q);
      options.quality_given = true;
      options.quality_keep = false;
    } else if (name == "--compression") {
      if (!value(text)) return false;
      const auto scheme = Common::ParseTiffCompression(text);
      if (!scheme) {
        error = "compression must be deflate, lzw, packbits or none, not '" + text + "'";
        return false;
      }
      options.compression = *scheme;
    } else if (name == "--max-pixels") {
      if (!value(text)) return false;
      int64_t n = 0;
      if (!ParseBounded(text, 1, INT64_MAX, n)) {
        error = "max-pixels must be a whole number above 0, not '" + text + "'";
        return false;
      }
      options.max_pixels = n;
    } else if (name == "--device") {
      if (!value(text)) return false;
      if (!ParseDevice(text, options.device, options.cuda_device)) {
        error = "device must be auto, cpu, cuda or cuda:N, not '" + text + "'";
        return false;
      }
    } else {
      error = "unknown option '" + name + "'";
      return false;
    }
  }
  if (options.help || options.version) return true;
  if (options.verbose && options.quiet) {
    error = "-v and -q cannot be used together";
    return false;
  }
  if (options.method == kMethodAuto && AutoRadiusProblem(options.radius)) {
    error = *AutoRadiusProblem(options.radius);
    return false;
  }
  if (positional.empty() || positional.size() > 2) {
    error = positional.empty() ? "IMAGE is required"
                               : "too many arguments: '" + positional[2] + "'";
    return false;
  }
  options.image = positional[0];
  if (positional.size() == 2) options.mask = positional[1];
  if (options.quality_given || options.quality_keep) {
    // The output keeps the image's extension unless named.
    const std::string& out =
        options.output && !options.output->empty() ? *options.output : options.image;
    const Common::ImageFormat format = Common::SaveFormatFor(out);
    if (format != Common::ImageFormat::None && format != Common::ImageFormat::Jpeg &&
        (format != Common::ImageFormat::Webp || options.quality_keep)) {
      error = "--quality applies to JPEG" +
              std::string(options.quality_keep ? "" : " and WebP") +
              " outputs only, and '" + out + "' is not one";
      return false;
    }
  }
  return true;
}

}  // namespace pw::cli
