// The per-call state of one inpaint, shared by the driver and its worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "fill/engine.h"
#include "schedule/fill_list.h"

namespace pw {

class EscapeKeyWatch;

// Receives the worker's progress, the role a progress window plays on a
// desktop. Report is called on the worker thread with 0 at the start, at most
// every progress_interval_ms during the run (after the image buffer has been
// refreshed with the pixels filled so far) and 100 at the end; `fraction`
// is the share of the targets done, finer than the whole percent.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void Report(int percent, double fraction) = 0;
};

// What stopped a run other than its end.
enum class RunFault { None, Device, Memory };

struct InpaintContext {
  uint8_t* image = nullptr;  // caller's buffer, packed rows of width * 3
  uint8_t* mask = nullptr;   // caller's buffer, width bytes per row
  int32_t* sources = nullptr;  // caller's source map, or null
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;
  int32_t radius = 7;
  bool worker_running = false;  // set by the driver, cleared by the worker
  std::atomic<bool> cancel{false};
  bool esc_cancel = false;
  bool console_progress = false;
  ProgressSink* progress_sink = nullptr;
  EscapeKeyWatch* escape_key = nullptr;
  int32_t total = 0;
  int32_t method = kMethodGpu;
  Backend backend = Backend::Cpu;
  int32_t done = 0;
  uint64_t passes = 0;  // scoring passes of the run's engines
  uint64_t launches = 0;  // kernel launches of a device run
  uint32_t progress_interval_ms = 400;
  uint32_t elapsed_ms = 0;
  std::mutex lock;          // guards fill.next
  std::mutex preview_lock;  // held while the worker writes `image`
  FillList fill;

  // Outcome, written by the worker before it ends.
  RunFault fault = RunFault::None;
  std::string fault_message;
  uint64_t fault_bytes = 0;
};

// Idle values; empties `fill` without releasing its storage.
void ResetContext(InpaintContext& ctx);

}  // namespace pw
