// Console output of the library. By default messages go to the process's
// own standard streams through C stdio and are flushed at once, so they
// interleave correctly with the host's own output. A host that shows them
// itself (the Python module writes them to sys.stdout) installs a
// ConsoleRedirect for the duration of a run.
#pragma once

#include <cstddef>
#include <cstdio>

namespace pw {

#if defined(__GNUC__)
#define PW_PRINTF_LIKE(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))
#else
#define PW_PRINTF_LIKE(fmt_index, first_arg)
#endif

// printf to standard output, then flush.
void ConsolePrintf(const char* format, ...) PW_PRINTF_LIKE(1, 2);

// printf to the given stream, then flush.
void ConsoleFprintf(FILE* stream, const char* format, ...) PW_PRINTF_LIKE(2, 3);

// Receives every console message for standard output or standard error
// while installed, on whichever thread printed it (the worker's progress
// marks included); it must not block for long and must not call back into
// the console.
class ConsoleRedirect {
 public:
  virtual ~ConsoleRedirect() = default;
  // stream is stdout or stderr.
  virtual void Write(FILE* stream, const char* text, size_t size) = 0;
};

// Installs a redirect for its lifetime and restores the previous one after.
// One process-wide destination: callers install it only while they hold
// the run lock. A child process forked meanwhile starts without redirect.
class ScopedConsoleRedirect {
 public:
  explicit ScopedConsoleRedirect(ConsoleRedirect* redirect);
  ~ScopedConsoleRedirect();
  ScopedConsoleRedirect(const ScopedConsoleRedirect&) = delete;
  ScopedConsoleRedirect& operator=(const ScopedConsoleRedirect&) = delete;

 private:
  ConsoleRedirect* previous_;
};

}  // namespace pw
