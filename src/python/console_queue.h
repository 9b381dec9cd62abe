// The library's console output during a call from Python. The worker thread
// never touches Python: messages are queued here (from any thread) and
// written to sys.stdout / sys.stderr by the calling thread, which holds the
// interpreter lock, so Jupyter and contextlib.redirect_stdout see them.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/console.h"

namespace pw::python {

class ConsoleQueue final : public ConsoleRedirect {
 public:
  // Any thread.
  void Write(FILE* stream, const char* text, size_t size) override;

  // Interpreter lock held: writes what is queued and flushes the streams
  // written to. False, with the Python error pending, when a write failed.
  bool Drain();

  // Interpreter lock held, at the end of the call: Drain, then end an
  // unfinished line of standard output ("Nothing to inpaint!") with a
  // newline, as every message printed from Python does.
  bool Finish();

 private:
  std::mutex mutex_;
  std::vector<std::pair<bool, std::string>> pending_;  // (to stderr, text)
  bool line_open_ = false;  // standard output ended without a newline
};

}  // namespace pw::python
