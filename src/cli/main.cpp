// The `patchwell` command: repairs an image file with a mask file and
// writes the result, without Python.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "cli/cli_options.h"
#include "cli/progress_bar.h"
#include "cli/python_handover.h"
#include "fill/engine.h"
#include "inpaint/estimate.h"
#include "inpaint/file_entry.h"
#include "inpaint/version.h"
#include "platform/console.h"

namespace pw::cli {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& message) {
  ConsoleFprintf(stderr, "patchwell: %s\n", message.c_str());
  return kExitFailure;
}

std::string Size(int32_t width, int32_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

std::string Duration(double seconds) {
  char text[64];
  if (seconds < 90)
    std::snprintf(text, sizeof text, "%.0f s", seconds);
  else if (seconds < 5400)
    std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
  else
    std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
  return text;
}

// Before a long run on the CPU: how long it will take, and, when a search
// of the whole image would take more than a minute, what a bounded search
// would take instead.
void ForecastLongRun(const CliOptions& options, const uint8_t* mask,
                     int32_t width, int32_t height) {
  constexpr int32_t kSuggestedSearchRadius = 48;
  const RunForecast forecast =
      ForecastRun(mask, width, height, options.radius, options.method,
                  options.search_radius, CpuThreadCount());
  if (forecast.seconds < 10) return;
  ConsoleFprintf(stderr, "patchwell: %lld pixels to fill, about %s on %d CPU threads\n",
                 static_cast<long long>(forecast.targets),
                 Duration(forecast.seconds).c_str(), CpuThreadCount());
  if (options.search_radius < 0 && forecast.seconds > 60) {
    const RunForecast bounded =
        ForecastRun(mask, width, height, options.radius, options.method,
                    kSuggestedSearchRadius, CpuThreadCount());
    ConsoleFprintf(stderr,
                   "patchwell: searching the whole image takes long on a picture "
                   "this size; --search-radius %d would take about %s\n",
                   kSuggestedSearchRadius, Duration(bounded.seconds).c_str());
  }
}

int Run(const CliOptions& options) {
  // "cuda" is refused before any file is read when no device is usable.
  const Backend device = options.device == Backend::Cuda
                             ? ResolveBackend(Backend::Cuda)
                             : options.device;

  std::unique_ptr<ProgressBar> bar;
  if (!options.quiet && !options.verbose && isatty(STDERR_FILENO))
    bar = std::make_unique<ProgressBar>(stderr);

  FileRunOptions run;
  run.inpaint.backend = device;
  run.inpaint.progress = bar.get();
  run.skip_empty_mask = true;  // reported below, on standard error
  run.inpaint.search_radius = options.search_radius;
  run.source_mask_file = options.source_mask;
  if (!options.quiet && ResolveBackend(device) == Backend::Cpu)
    run.before_fill = [&](const uint8_t* mask, int32_t width, int32_t height) {
      ForecastLongRun(options, mask, width, height);
    };
  const std::string* output = options.output ? &*options.output : nullptr;
  FileRunResult result;
  try {
    result = RunFileInpaint(options.image, options.mask, output,
                            options.radius, options.method, options.verbose,
                            run);
  } catch (...) {
    if (bar) bar->Finish();
    throw;
  }
  if (bar) bar->Finish();

  switch (result.status) {
    case FileRunStatus::Saved:
      if (!options.quiet) ConsolePrintf("%s\n", result.output_name.c_str());
      return 0;
    case FileRunStatus::ImageUnreadable:
      return Fail("cannot read image '" + options.image +
                  "' (missing, unreadable, damaged or not a supported format)");
    case FileRunStatus::ImageEmpty:
      return Fail("image '" + options.image + "' holds no pixels");
    case FileRunStatus::MaskUnreadable:
      return Fail("cannot read mask '" + options.mask +
                  "' (missing, unreadable, damaged or not a supported format)");
    case FileRunStatus::MaskSizeDiffers:
      return Fail("mask '" + options.mask + "' is " +
                  Size(result.mask_width, result.mask_height) +
                  " pixels but image '" + options.image + "' is " +
                  Size(result.image_width, result.image_height));
    case FileRunStatus::MaskUnusable:
      return Fail("cannot build a mask from '" + options.mask + "'");
    case FileRunStatus::SourceMaskUnreadable:
      return Fail("cannot read source mask '" + *options.source_mask +
                  "' (missing, unreadable, damaged or not a supported format)");
    case FileRunStatus::SourceMaskSizeDiffers:
      return Fail("source mask '" + *options.source_mask + "' is " +
                  Size(result.mask_width, result.mask_height) +
                  " pixels but image '" + options.image + "' is " +
                  Size(result.image_width, result.image_height));
    case FileRunStatus::NothingToInpaint:
      return Fail("nothing to inpaint: no pixel of mask '" + options.mask +
                  "' is brighter than 128");
    case FileRunStatus::NotSaved:
      return Fail("cannot write '" + result.output_name +
                  "' (unknown extension, or a folder that is missing or not "
                  "writable)");
    case FileRunStatus::Abandoned:
      return Fail("stopped");
  }
  return kExitFailure;
}

}  // namespace
}  // namespace pw::cli

int main(int argc, char** argv) {
  using namespace pw::cli;
  if (argc > 1 && std::strcmp(argv[1], "batch") == 0)
    return HandOverToPython(std::vector<std::string>(argv + 2, argv + argc));
  CliOptions options;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                        options, error)) {
    pw::ConsoleFprintf(stderr, "patchwell: %s (see patchwell --help)\n",
                       error.c_str());
    return kExitUsage;
  }
  if (options.help) {
    pw::ConsolePrintf("%s", UsageText().c_str());
    return 0;
  }
  if (options.version) {
    pw::ConsolePrintf("%s\n", pw::kVersionText);
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory");
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
