// Glue between a running inpaint and the Python caller: the progress
// callback, Ctrl+C and the preview of the image filled so far. The worker
// never touches Python; everything here runs on the calling thread with the
// interpreter lock held.
#pragma once

#include <mutex>
#include <vector>

#include <pybind11/pybind11.h>

#include "inpaint/context.h"
#include "inpaint/driver.h"

namespace pw::python {

class RunControl final : public ProgressSink {
 public:
  // progress: None or a callable taking the percent as an int.
  explicit RunControl(pybind11::object progress);

  // Worker thread: queue a percent for the calling thread.
  void Report(int percent) override;

  // Options that wire this object into InpaintImage.
  void Attach(InpaintOptions& options);

  // After the run, with the interpreter lock held: delivers what is still
  // queued and raises the exception that stopped the run, if any.
  void Finish();

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
  std::mutex queue_mutex_;
  std::vector<int> queue_;
  bool failed_ = false;
  pybind11::object error_type_, error_value_, error_trace_;
};

}  // namespace pw::python
