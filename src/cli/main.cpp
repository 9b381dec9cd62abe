// The `patchwell` command: repairs an image file with a mask file (or the
// image's own transparency) and writes the result, without Python.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "cli/detect_command.h"
#include "cli/progress_bar.h"
#include "cli/same_place.h"
#include "cli/python_handover.h"
#include "detect/image_damage.h"
#include "fill/cpu/thread_count.h"
#include "fill/device_choice.h"
#include "fill/engine.h"
#include "image/image_files.h"
#include "image/image_limits.h"
#include "image/orientation.h"
#include "image/source_map_file.h"
#include "inpaint/estimate.h"
#include "inpaint/feasibility.h"
#include "inpaint/file_entry.h"
#include "inpaint/version.h"
#include "platform/console.h"
#include "platform/escape_key.h"

namespace pw::cli {
namespace {

int Fail(const std::string& message) {
  ConsoleFprintf(stderr, "patchwell: %s\n", message.c_str());
  return kExitFailure;
}

// A signal that ends the command leaves the terminal as it found it and no
// temporary file behind, then ends the process as the signal would have.
void OnTerminatingSignal(int signal_number) {
  RestoreTerminal();
  Common::RemovePendingSaveFile();
  raise(signal_number);  // the handler was reset: the default action now
}

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnTerminatingSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &action, nullptr);
  // Over a file-size limit a write fails instead of ending the process, so
  // that the temporary file is removed and the failure reported.
  signal(SIGXFSZ, SIG_IGN);
  std::atexit([] { RestoreTerminal(); });
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
// of the whole image would take more than a minute, what the default
// search would take instead.
void ForecastLongRun(const CliOptions& options, const uint8_t* mask, int32_t width,
                     int32_t height, const InpaintOptions& run) {
  const RunForecast forecast =
      ForecastRun(mask, width, height, options.radius, options.method, run.search_radius,
                  CpuThreadCount(), run.targets);
  if (forecast.seconds < 10) return;
  ConsoleFprintf(stderr, "patchwell: %lld pixels to fill, about %s on %d CPU threads\n",
                 static_cast<long long>(forecast.targets),
                 Duration(forecast.seconds).c_str(), CpuThreadCount());
  if (!run.search_radius && forecast.seconds > 60) {
    const int32_t bounded_radius =
        DefaultSearchRadius(mask, run.targets, width, height, options.radius);
    const RunForecast bounded =
        ForecastRun(mask, width, height, options.radius, options.method, bounded_radius,
                    CpuThreadCount(), run.targets);
    ConsoleFprintf(stderr,
                   "patchwell: searching the whole image takes long on a picture "
                   "this size; --search-radius %d would take about %s\n",
                   bounded_radius, Duration(bounded.seconds).c_str());
  }
}

// A file the run writes (the output, the source map) that would replace
// another file of the run is refused before anything is read (the input
// picture itself may be replaced by the output: the user asked for it by
// name).
std::optional<std::string> OutputClash(const CliOptions& options) {
  const std::string output = ChooseOutputName(
      options.image, options.output ? &*options.output : nullptr);
  if (options.mask && SamePlace(output, *options.mask))
    return "the output '" + output + "' is the mask of this run: choose another output name";
  if (options.source_mask && SamePlace(output, *options.source_mask))
    return "the output '" + output +
           "' is the source mask of this run: choose another output name";
  if (!options.sources) return std::nullopt;
  const std::string& sources = *options.sources;
  if (SamePlace(sources, output))
    return "the source map '" + sources + "' would replace the output '" + output +
           "' of this run: choose another name";
  const std::pair<const char*, const std::optional<std::string>> inputs[] = {
      {"image", options.image}, {"mask", options.mask}, {"source mask", options.source_mask}};
  for (const auto& [what, name] : inputs)
    if (name && SamePlace(sources, *name))
      return "the source map '" + sources + "' would replace the " + what + " '" + *name +
             "' of this run: choose another name";
  return std::nullopt;
}

std::string CannotWriteSourceMap(const std::string& name) {
  return "cannot write source map '" + name + "': " +
         (Common::LastSaveError() != 0 ? std::strerror(Common::LastSaveError())
                                       : "unknown reason");
}

int Run(const CliOptions& options) {
  if (const auto clash = OutputClash(options)) {
    ConsoleFprintf(stderr, "patchwell: %s\n", clash->c_str());
    return kExitUsage;
  }
  // "cuda" is refused before any file is read when no device is usable.
  const Backend device = options.device == Backend::Cuda
                             ? ResolveBackend(Backend::Cuda, options.cuda_device)
                             : options.device;
  if (options.max_pixels) Common::SetMaxImagePixels(*options.max_pixels);

  std::unique_ptr<ProgressBar> bar;
  if (!options.quiet && !options.verbose && isatty(STDERR_FILENO))
    bar = std::make_unique<ProgressBar>(stderr);

  FileRunOptions run = FileRunOptions::Command();
  run.inpaint.backend = device;
  run.inpaint.cuda_device = options.cuda_device;
  run.inpaint.progress = bar.get();
  run.inpaint.search_radius = options.search_radius;
  run.default_search_radius = options.search_radius_default;
  run.mask_from_alpha = !options.mask && !options.find;
  if (options.find)
    run.add_holes = [&](const Common::CImage& image, uint8_t* mask) {
      detect::AddFoundDamage(image, options.find, 1.0, mask);
    };
  run.quality = options.quality;
  run.quality_given = options.quality_given;
  // A JPEG output of a JPEG input is quantised as the input was unless a
  // quality is given.
  run.keep_jpeg_quality = !options.quality_given;
  run.tiff_compression = options.compression;
  run.source_mask_file = options.source_mask;
  std::vector<int32_t> sources;
  if (options.sources) run.sources = &sources;
  if (!options.quiet && ResolveBackend(device) == Backend::Cpu)
    run.before_fill = [&](const uint8_t* mask, int32_t width, int32_t height,
                          const InpaintOptions& settled) {
      ForecastLongRun(options, mask, width, height, settled);
    };
  const std::string* output = options.output ? &*options.output : nullptr;
  FileRunResult result;
  try {
    result = RunFileInpaint(options.image, options.mask.value_or(std::string()), output,
                            options.radius, options.method, options.verbose, run);
  } catch (...) {
    if (bar) bar->Finish(-1);
    throw;
  }
  if (bar) bar->Finish(ProcessedPercent(result));

  const FileRunReport report = ReportFileRun(
      result,
      {options.image, options.mask, options.source_mask, options.radius,
       result.search_radius},
      ReportStyle::Command);
  const bool written = result.status == FileRunStatus::Saved ||
                       result.status == FileRunStatus::Copied;
  // A copied picture says why before its name; a saved one after.
  if (result.status == FileRunStatus::Copied)
    ConsoleFprintf(stderr, "patchwell: %s\n", report.message.c_str());
  if (written && !options.quiet) ConsolePrintf("%s\n", result.output_name.c_str());
  if (written && options.sources) {
    // Nothing was filled in a copied picture: every pixel has no source.
    if (result.status == FileRunStatus::Copied)
      sources.assign(static_cast<size_t>(result.image_width) * result.image_height, -1);
    if (!Common::SaveSourceMap(sources.data(), result.image_width, result.image_height,
                               *options.sources))
      return Fail(CannotWriteSourceMap(*options.sources));
  }
  if (result.status != FileRunStatus::Copied && !report.message.empty())
    ConsoleFprintf(stderr, "patchwell: %s\n", report.message.c_str());
  return report.exit_status;
}

}  // namespace
}  // namespace pw::cli

int main(int argc, char** argv) {
  using namespace pw;
  using namespace pw::cli;
  if (argc > 1 && std::strcmp(argv[1], "batch") == 0)
    return HandOverToPython(std::vector<std::string>(argv + 2, argv + argc));
  if (argc > 1 && std::strcmp(argv[1], "detect") == 0)
    return RunDetect(std::vector<std::string>(argv + 2, argv + argc));
  InstallSignalHandlers();
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
    return kExitSuccess;
  }
  if (options.version) {
    // The version, and the device a run would use ("\xC2\xB7" is a middle dot).
    pw::ConsolePrintf("%s \xC2\xB7 %s\n", pw::kVersionText,
                      pw::BackendSummary().c_str());
    return kExitSuccess;
  }
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory");
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
