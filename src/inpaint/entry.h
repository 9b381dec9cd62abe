// The entry layer of a run: what the command, the package's binding and the
// batch share around InpaintImage and RunFileInpaint. One run at a time
// (the run lock), the figures of the last run, the device asked for by
// name, the search radius checked once, and the words and exit status of a
// file run's outcome.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "fill/engine.h"
#include "inpaint/driver.h"
#include "inpaint/file_entry.h"

namespace pw {

// Marks the calling thread as running an inpaint for as long as it lives.
// A second one on the same thread (a progress callback starting a run)
// throws std::runtime_error: it would wait for the run it is part of.
class RunningHere {
 public:
  RunningHere();
  ~RunningHere();
  RunningHere(const RunningHere&) = delete;
  RunningHere& operator=(const RunningHere&) = delete;
};

// Collects one run's figures (hand get() to InpaintOptions::stats) and
// publishes them as the last run's when the run reached InpaintImage, on
// every way out.
class StatsRecorder {
 public:
  StatsRecorder();
  ~StatsRecorder();
  StatsRecorder(const StatsRecorder&) = delete;
  StatsRecorder& operator=(const StatsRecorder&) = delete;
  RunStats* get() { return &stats_; }

 private:
  RunStats stats_;
};

// The figures of the last run that got as far as the fill. Never waits for
// a run: safe from any thread and from a progress callback.
RunStats LastRunStats();

// The device of a run by name: "auto", "cpu" or "cuda" with a device number
// (-1: the first usable one). A CUDA device that cannot run is refused here
// (BackendUnavailable, with the reason), before anything is changed; a bad
// name or number throws std::invalid_argument.
struct RequestedDevice {
  Backend backend = Backend::Auto;
  int32_t cuda_device = -1;
};
RequestedDevice RequestDevice(const std::string& name, int32_t cuda_device);

// True when some CUDA device can run now ("auto" would use it).
bool CudaUsable();

// A search radius as the caller gave it: none (the whole picture) or 0 or
// more; std::invalid_argument for a negative one.
std::optional<int32_t> CheckedSearchRadius(std::optional<int32_t> search_radius);

// The quality argument of the package's file entries: 0 ("keep") takes
// the quantisation of a JPEG input, 1 to 100 a quality of its own.
void SetPackageQuality(FileRunOptions& options, int32_t quality);

// How an array run differs between the package's inpaint and repair:
// repair does not listen to Escape, reports fractions of the work done,
// and refuses a job in which no hole can find a source.
struct ArrayRunMode {
  bool escape_key = true;
  bool fractions = false;
  bool refuse_impossible = false;
  static ArrayRunMode Inpaint() { return {}; }
  static ArrayRunMode Repair() { return {false, true, true}; }
};

// The array run as InpaintImage takes it: the mask is binarised in place
// (1 marks a hole; a bool mask's True, a byte mask's bytes above 128) and
// the options assembled. With mode.refuse_impossible, a job in which no
// hole can find a source throws std::invalid_argument saying why.
struct ArrayRun {
  uint8_t* mask;
  bool bool_mask;
  int32_t width, height, radius, method;
  RequestedDevice device;
  std::optional<int32_t> search_radius;
  const uint8_t* source_mask;
  int32_t* sources;
};
InpaintOptions PrepareArrayRun(const ArrayRun& run, const ArrayRunMode& mode);

// The extensions of the format table, read or written, as ".png .jpg ...";
// `only_written`: those that are written but not read.
std::string ExtensionList(bool for_saving, bool only_written = false);

// How a file run is reported: the command names the image ("image 'X'")
// and points to --max-pixels; a batch record, which names the picture
// beside it, says "the image" and also names the package's setter.
enum class ReportStyle { Command, Batch };

// What a file run was asked to do, for the words of its outcome.
struct FileRunRequest {
  std::string image;
  std::optional<std::string> mask;         // absent: the image's alpha
  std::optional<std::string> source_mask;
  int32_t radius = 0;
  std::optional<int32_t> search_radius;
};

// The words and exit status of a file run's outcome. `message` is empty
// when there is nothing to say; otherwise it is one line without the
// "patchwell: " prefix, for standard error.
struct FileRunReport {
  int exit_status = 0;
  std::string message;
};

// Exit statuses of the command.
constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;     // unreadable input, unwritable output, ...
constexpr int kExitUsage = 2;       // a wrong command line, an impossible job
constexpr int kExitStopped = 3;     // Escape: the partial picture was written
constexpr int kExitIncomplete = 4;  // written, but some holes found no source

// The share (whole percent) of the marked pixels the run got to: below 100
// after Escape, -1 when nothing was marked.
int ProcessedPercent(const FileRunResult& result);

FileRunReport ReportFileRun(const FileRunResult& result,
                            const FileRunRequest& request, ReportStyle style);

// The name of a file run's status for the package ("saved", "copied", ...).
const char* FileRunStatusName(FileRunStatus status);

}  // namespace pw
