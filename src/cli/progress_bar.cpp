#include "cli/progress_bar.h"

#include <algorithm>

namespace pw::cli {

std::string FormatDuration(uint64_t ms) {
  const uint64_t seconds = ms / 1000;
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%llu:%02llu",
                  static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  return text;
}

std::string FormatProgressLine(int percent, uint64_t elapsed_ms) {
  constexpr int kWidth = 30;
  percent = std::clamp(percent, 0, 100);
  const int filled = percent * kWidth / 100;
  std::string line = "[" + std::string(static_cast<size_t>(filled), '#') +
                     std::string(static_cast<size_t>(kWidth - filled), '-') +
                     "]";
  char numbers[96];
  // The time left assumes the pixels still to fill take as long each as
  // those filled so far.
  const std::string left =
      percent > 0 ? FormatDuration(elapsed_ms * static_cast<uint64_t>(100 - percent) /
                                   static_cast<uint64_t>(percent))
                  : "--:--";
  std::snprintf(numbers, sizeof numbers, " %3d%%  elapsed %s  left %s", percent,
                FormatDuration(elapsed_ms).c_str(), left.c_str());
  return line + numbers;
}

ProgressBar::ProgressBar(FILE* stream)
    : stream_(stream), start_(std::chrono::steady_clock::now()) {}

void ProgressBar::Draw(int percent) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  // Trailing blanks wipe what a longer earlier line left behind.
  std::fprintf(stream_, "\r%s  ",
               FormatProgressLine(percent, static_cast<uint64_t>(elapsed.count()))
                   .c_str());
  std::fflush(stream_);
  line_open_ = true;
}

void ProgressBar::Report(int percent, double) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (percent < 100) {
    Draw(percent);
  } else if (!line_open_) {
    line_open_ = true;  // a run too short for any other report
  }
}

void ProgressBar::Finish(int percent) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!line_open_) return;
  if (percent >= 0) Draw(percent);
  std::fputc('\n', stream_);
  std::fflush(stream_);
  line_open_ = false;
}

}  // namespace pw::cli
