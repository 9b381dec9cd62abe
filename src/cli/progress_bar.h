// The tool's progress bar on standard error: percent, elapsed time and an
// estimate of the time left, redrawn in place on each report of the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "inpaint/context.h"

namespace pw::cli {

// One line of the bar, without the carriage return, for example
// "[##########----------]  50%  elapsed 0:05  left 0:05". Before any
// progress the time left is shown as "--:--".
std::string FormatProgressLine(int percent, uint64_t elapsed_ms);

// "m:ss", or "h:mm:ss" from one hour on.
std::string FormatDuration(uint64_t ms);

class ProgressBar final : public ProgressSink {
 public:
  explicit ProgressBar(FILE* stream);

  // Worker thread: redraws the line. The run's last report (100, also
  // after Escape) is left to Finish, which knows how far the run got.
  void Report(int percent, double fraction) override;

  // After the run: draws the line a last time at `percent` and ends it; a
  // negative percent (a failed run) only ends a line that is open.
  // Nothing when the run never reported.
  void Finish(int percent);

 private:
  void Draw(int percent);  // mutex held

  FILE* stream_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  bool line_open_ = false;
};

}  // namespace pw::cli
