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

  // Worker thread: redraws the line; at 100 it ends the line.
  void Report(int percent) override;

  // Ends a line left open by a run that stopped before 100.
  void Finish();

 private:
  FILE* stream_;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
  bool line_open_ = false;
};

}  // namespace pw::cli
