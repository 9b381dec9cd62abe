#include "inpaint/entry.h"

#include <pthread.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "fill/device_choice.h"
#include "image/image_files.h"
#include "image/image_limits.h"
#include "image/orientation.h"
#include "inpaint/feasibility.h"

namespace pw {
namespace {

thread_local bool g_running_here = false;

// The last run's figures, under a lock of their own: a reader never waits
// for a run, and a run never waits for a reader's interpreter lock.
std::mutex* g_stats_mutex = nullptr;
RunStats g_last_stats;
std::once_flag g_stats_once;

std::mutex& StatsMutex() {
  std::call_once(g_stats_once, [] {
    g_stats_mutex = new std::mutex;
    // A forked child must not inherit it held by a thread it lacks.
    pthread_atfork(nullptr, nullptr, [] { g_stats_mutex = new std::mutex; });
  });
  return *g_stats_mutex;
}

std::string Size(int64_t width, int64_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

std::string FolderOf(const std::string& path) {
  const std::string target = Common::ResolveSaveTarget(path);
  const size_t slash = target.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
}

std::string OutputProblemText(const std::string& name, Common::OutputProblem problem,
                              int error) {
  const std::string head = "cannot write '" + name + "': ";
  switch (problem) {
    case Common::OutputProblem::UnknownExtension:
      return head + "its extension is not one that is written (" +
             ExtensionList(true) + ")";
    case Common::OutputProblem::NoFolder:
      return head + "folder '" + FolderOf(name) + "' does not exist";
    case Common::OutputProblem::NotWritable:
      return head + "folder '" + FolderOf(name) + "' is not writable (" +
             std::strerror(error != 0 ? error : EACCES) + ")";
    case Common::OutputProblem::IsFolder:
      return head + "it is a folder";
    case Common::OutputProblem::None:
      break;
  }
  return head + "unknown reason";
}

// The words of one outcome that is not a success.
class FailureWords {
 public:
  FailureWords(const FileRunResult& r, const FileRunRequest& q, ReportStyle style)
      : r_(r), q_(q), batch_(style == ReportStyle::Batch) {}

  // The image as the message names it.
  std::string Image() const { return batch_ ? "the image" : "image " + Quoted(q_.image); }
  std::string Mask() const { return "mask " + Quoted(q_.mask.value_or(std::string())); }
  std::string SourceMask() const {
    return "source mask " + Quoted(q_.source_mask.value_or(std::string()));
  }

  // An input that could not be read, with the reader's reason when known.
  std::string CannotRead(const std::string& what) const {
    return "cannot read " + what +
           (r_.refusal.empty()
                ? " (missing, unreadable, damaged or not a supported format)"
                : ": " + r_.refusal);
  }

  std::string TooLarge(const std::string& what) const {
    return what + " declares " + Size(r_.declared_width, r_.declared_height) +
           " pixels, more than the limit of " + std::to_string(Common::MaxImagePixels()) +
           (batch_ ? " (--max-pixels or patchwell.set_max_image_pixels raises it)"
                   : " (--max-pixels raises it for files you trust)");
  }

  std::string SizeDiffers(const std::string& what, bool shown) const {
    std::string text = what + " is " + Size(r_.mask_width, r_.mask_height) +
                       " pixels but " + Image() + " is " +
                       Size(r_.image_width, r_.image_height);
    // A turned picture's mask may have been drawn on the picture as shown.
    if (shown && Common::SwapsSides(r_.orientation))
      text += " (shown as " + Size(r_.image_height, r_.image_width) +
              ": EXIF orientation " + std::to_string(r_.orientation) + ")";
    return text;
  }

  std::string CannotWrite() const {
    return "cannot write '" + r_.output_name + "': " +
           (r_.save_error != 0 ? std::strerror(r_.save_error)
                               : "the picture could not be encoded");
  }

  std::string OutputUnusable() const {
    if (!batch_) return OutputProblemText(r_.output_name, r_.output_problem, r_.save_error);
    return "cannot write '" + r_.output_name + "': " +
           (r_.save_error != 0 ? std::strerror(r_.save_error)
                               : "its extension is not one that is written");
  }

  std::string NothingToInpaint() const {
    return q_.mask ? "nothing to inpaint: no pixel of mask '" + *q_.mask +
                         "' is brighter than 128"
                   : "nothing to inpaint: no pixel of image '" + q_.image +
                         "' is transparent";
  }

 private:
  const FileRunResult& r_;
  const FileRunRequest& q_;
  bool batch_;
};

}  // namespace

RunningHere::RunningHere() {
  if (g_running_here)
    throw std::runtime_error("patchwell.inpaint cannot be called from a progress callback");
  g_running_here = true;
}

RunningHere::~RunningHere() { g_running_here = false; }

StatsRecorder::StatsRecorder() { stats_.targets = -1; }  // not reached yet

StatsRecorder::~StatsRecorder() {
  if (stats_.targets < 0) return;
  std::lock_guard<std::mutex> guard(StatsMutex());
  g_last_stats = stats_;
}

RunStats LastRunStats() {
  std::lock_guard<std::mutex> guard(StatsMutex());
  return g_last_stats;
}

RequestedDevice RequestDevice(const std::string& name, int32_t cuda_device) {
  if (name == "auto") return {Backend::Auto, -1};
  if (name == "cpu") return {Backend::Cpu, -1};
  if (name != "cuda")
    throw std::invalid_argument("device must be 'auto', 'cpu' or 'cuda', not '" + name + "'");
  if (cuda_device < -1)
    throw std::invalid_argument("cuda_device must be -1 or a device number");
  ResolveDevice(Backend::Cuda, cuda_device);
  return {Backend::Cuda, cuda_device};
}

bool CudaUsable() { return QueryBackends().cuda_usable; }

std::optional<int32_t> CheckedSearchRadius(std::optional<int32_t> search_radius) {
  if (search_radius && *search_radius < 0)
    throw std::invalid_argument("search_radius must be 0 or more, got " +
                                std::to_string(*search_radius));
  return search_radius;
}

void SetPackageQuality(FileRunOptions& options, int32_t quality) {
  options.keep_jpeg_quality = quality == 0;
  options.quality = quality == 0 ? Common::kDefaultJpegQuality : quality;
}

FileRunOptions FileRunOptions::Command() {
  FileRunOptions o;
  o.inpaint.describe_device = true;
  o.skip_empty_mask = true;  // reported by the command, on standard error
  // As a batch does: a mask that marks nothing gives the picture unchanged.
  o.copy_when_nothing_to_fill = true;
  o.refuse_impossible = true;
  return o;
}

FileRunOptions FileRunOptions::Batch(bool overwrite) {
  FileRunOptions o;
  o.inpaint.escape_key = false;  // many runs, and workers have no terminal
  o.skip_empty_mask = true;
  o.copy_when_nothing_to_fill = true;
  o.refuse_impossible = true;
  // A link in the output folder is replaced, never followed; without
  // overwrite an output that appears meanwhile is left alone.
  o.follow_output_links = false;
  o.replace_output = overwrite;
  return o;
}

FileRunOptions FileRunOptions::InpaintFile(bool mask_given) {
  FileRunOptions o;
  o.mask_from_alpha = !mask_given;
  return o;
}

std::string ExtensionList(bool for_saving, bool only_written) {
  const std::vector<std::string> read = Common::FileExtensions(false, false);
  std::string list;
  for (const std::string& e : Common::FileExtensions(for_saving, false)) {
    if (only_written && std::find(read.begin(), read.end(), e) != read.end()) continue;
    list += (list.empty() ? "" : " ") + e;
  }
  return list;
}

InpaintOptions PrepareArrayRun(const ArrayRun& run, const ArrayRunMode& mode) {
  const int64_t pixels = static_cast<int64_t>(run.height) * run.width;
  for (int64_t i = 0; i < pixels; ++i)
    run.mask[i] = run.bool_mask ? run.mask[i] != 0 : run.mask[i] > 128;
  InpaintOptions options;
  options.backend = run.device.backend;
  options.cuda_device = run.device.cuda_device;
  options.search_radius = run.search_radius;
  options.escape_key = mode.escape_key;
  options.source_mask = run.source_mask;
  options.sources = run.sources;
  if (mode.refuse_impossible) {
    const JobShape job{run.mask,   run.width,         run.height,        run.radius,
                       run.method, run.search_radius, run.source_mask};
    if (auto problem = ImpossibleJob(job, true)) throw std::invalid_argument(*problem);
    options.feasibility_judged = true;
  }
  return options;
}

int ProcessedPercent(const FileRunResult& result) {
  return result.holes > 0 ? static_cast<int>(static_cast<double>(result.processed) *
                                             100.0 / static_cast<double>(result.holes))
                          : -1;
}

FileRunReport ReportFileRun(const FileRunResult& r, const FileRunRequest& q,
                            ReportStyle style) {
  const FailureWords words(r, q, style);
  const auto fail = [](std::string text) { return FileRunReport{kExitFailure, std::move(text)}; };
  switch (r.status) {
    case FileRunStatus::Saved:
      if (r.processed < r.holes)
        return {kExitStopped, "stopped at " + std::to_string(ProcessedPercent(r)) + " %: " +
                                  std::to_string(r.processed) + " of " +
                                  std::to_string(r.holes) + " pixels filled"};
      if (r.no_source > 0)
        return {kExitIncomplete,
                std::to_string(r.no_source) + " of " + std::to_string(r.holes) +
                    " pixels found no source (" +
                    NoSourceReason(q.radius, q.search_radius, q.source_mask.has_value(),
                                   r.no_source_causes) +
                    ")"};
      return {kExitSuccess, ""};
    case FileRunStatus::Copied:
      return {kExitSuccess, words.NothingToInpaint()};
    case FileRunStatus::ImageUnreadable: return fail(words.CannotRead(words.Image()));
    case FileRunStatus::ImageTooLarge: return fail(words.TooLarge(words.Image()));
    case FileRunStatus::ImageEmpty: return fail(words.Image() + " holds no pixels");
    case FileRunStatus::NoAlpha:
      return fail("no MASK given and " + words.Image() +
                  " has no alpha channel to take the holes from");
    case FileRunStatus::MaskUnreadable: return fail(words.CannotRead(words.Mask()));
    case FileRunStatus::MaskTooLarge: return fail(words.TooLarge(words.Mask()));
    case FileRunStatus::MaskSizeDiffers: return fail(words.SizeDiffers(words.Mask(), true));
    case FileRunStatus::MaskUnusable:
      return fail("cannot build a mask from " + Quoted(q.mask.value_or(std::string())));
    case FileRunStatus::OutputUnusable: return fail(words.OutputUnusable());
    case FileRunStatus::SourceMaskTooLarge: return fail(words.TooLarge(words.SourceMask()));
    case FileRunStatus::SourceMaskUnreadable:
      return fail(words.CannotRead(words.SourceMask()));
    case FileRunStatus::SourceMaskSizeDiffers:
      return fail(words.SizeDiffers(words.SourceMask(), false));
    case FileRunStatus::NothingToInpaint:  // an empty result of InpaintImage
      return fail(words.NothingToInpaint());
    case FileRunStatus::NotSaved:
    case FileRunStatus::OutputExists:
      return fail(words.CannotWrite());
    case FileRunStatus::Impossible:
      return {kExitUsage, r.problem};
    case FileRunStatus::Abandoned:
      return fail("stopped");
  }
  return fail("failed");
}

const char* FileRunStatusName(FileRunStatus status) {
  switch (status) {
    case FileRunStatus::Saved: return "saved";
    case FileRunStatus::ImageUnreadable: return "image_unreadable";
    case FileRunStatus::ImageTooLarge: return "image_too_large";
    case FileRunStatus::ImageEmpty: return "image_empty";
    case FileRunStatus::NoAlpha: return "no_alpha";
    case FileRunStatus::MaskUnreadable: return "mask_unreadable";
    case FileRunStatus::MaskTooLarge: return "mask_too_large";
    case FileRunStatus::MaskSizeDiffers: return "mask_size_differs";
    case FileRunStatus::MaskUnusable: return "mask_unusable";
    case FileRunStatus::SourceMaskUnreadable: return "source_mask_unreadable";
    case FileRunStatus::SourceMaskSizeDiffers: return "source_mask_size_differs";
    case FileRunStatus::SourceMaskTooLarge: return "source_mask_too_large";
    case FileRunStatus::OutputUnusable: return "output_unusable";
    case FileRunStatus::NothingToInpaint: return "nothing_to_inpaint";
    case FileRunStatus::Abandoned: return "abandoned";
    case FileRunStatus::NotSaved: return "not_saved";
    case FileRunStatus::Copied: return "copied";
    case FileRunStatus::Impossible: return "impossible";
    case FileRunStatus::OutputExists: return "output_exists";
  }
  return "failed";
}

}  // namespace pw
