// Glue between a running inpaint and the Python caller: the progress
// callback, Ctrl+C, the preview of the image filled so far and the console
// output. The worker never touches Python; everything here that does runs
// on the calling thread with the interpreter lock held.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "inpaint/context.h"
#include "inpaint/driver.h"
#include "python/console_queue.h"

namespace pw::python {

class RunControl final : public ProgressSink {
 public:
  // progress: None or a callable taking the percent as an int, or with
  // `fractions` the share done as a float in [0, 1].
  explicit RunControl(pybind11::object progress, bool fractions = false);

  // Worker thread: queue a percent for the calling thread.
  void Report(int percent, double fraction) override;

  // Options that wire this object into InpaintImage.
  void Attach(InpaintOptions& options);

  // Where the run's console messages go until they are written to
  // sys.stdout; install it (ScopedConsoleRedirect) while the run lock is held.
  ConsoleRedirect* console() { return &console_; }

  // After the run, with the interpreter lock held: writes the console
  // output, delivers what is still queued and raises the exception that
  // stopped the run, if any.
  void Finish();

  // After a run that threw, with the interpreter lock held: writes the
  // console output so far, keeping the exception in flight.
  void FinishAfterError() noexcept;

  // After the fill, on the calling thread without the interpreter lock:
  // delivers what is still queued (taking the lock) and tells whether the
  // callback or Ctrl+C has stopped the run, before anything is saved.
  bool SettleAfterRun();

  // While files are read, on the calling thread without the interpreter
  // lock: takes the lock to run pending signal handlers (Ctrl+C) and tells
  // whether the run is to stop.
  bool StopRequested();

 private:
  void Poll(InpaintContext& ctx);             // takes the interpreter lock
  void Deliver(InpaintContext* ctx);          // lock held
  void Stop(InpaintContext* ctx);             // records the pending error

  pybind11::object progress_;
  ConsoleQueue console_;
  std::mutex queue_mutex_;
  std::vector<std::pair<int, double>> queue_;
  bool fractions_ = false;
  bool failed_ = false;
  pybind11::object error_type_, error_value_, error_trace_;
};

}  // namespace pw::python
