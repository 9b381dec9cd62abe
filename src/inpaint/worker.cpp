#include "inpaint/worker.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/escape_key.h"

namespace pw {

void ReportProgress(InpaintContext& ctx, int percent) {
  if (ctx.progress_sink == nullptr) return;
  const double fraction =
      percent == 100 ? 1.0
                     : ctx.total > 0 ? static_cast<double>(ctx.done) / ctx.total : 0.0;
  ctx.progress_sink->Report(percent, fraction);
}

namespace {

void RecordFault(InpaintContext& ctx) {
  try {
    throw;
  } catch (const DeviceMemoryError& e) {
    ctx.fault = RunFault::Memory;
    ctx.fault_message = e.what();
    ctx.fault_bytes = e.bytes();
  } catch (const std::bad_alloc&) {
    ctx.fault = RunFault::Memory;
    ctx.fault_message = "out of memory";
  } catch (const std::exception& e) {
    ctx.fault = RunFault::Device;
    ctx.fault_message = e.what();
  } catch (...) {
    ctx.fault = RunFault::Device;
    ctx.fault_message = "unknown error in the fill worker";
  }
}

// The decile the console marks show for `done` of `total` targets.
int Decile(int32_t done, int32_t total) {
  return static_cast<int>(done * 10.0 / total);
}

// The smallest count above `done` at which the decile changes (total when
// it no longer does). A run of targets ends there at the latest, so that the
// marks come out as they do when the count steps one target at a time.
int32_t NextDecileCount(int32_t done, int32_t total) {
  const int next = Decile(done, total) + 1;
  if (next > 10) return total;
  int32_t c = static_cast<int32_t>(static_cast<int64_t>(next) * total / 10);
  c = std::max(c, done + 1);
  while (c < total && Decile(c, total) < next) ++c;
  while (c - 1 > done && Decile(c - 1, total) >= next) --c;
  return std::min(c, total);
}

// Runs for an engine that walks them on its own are sized to take about
// this long, so that the host still sees a stop request, Escape and the
// progress interval in time.
constexpr double kRunSeconds = 0.05;

int32_t NextRunLength(int32_t length, int32_t count, double seconds) {
  if (count < length) return length;  // cut short by a decile: no measure
  const double fitting = count * kRunSeconds / std::max(seconds, 1e-6);
  const double grown = std::min(fitting, 4.0 * length);
  return static_cast<int32_t>(std::max(1.0, std::min(grown, double{1 << 20})));
}

}  // namespace

void PrintEveryDecileMark(int32_t total) {
  int last_decile = 0;
  for (int32_t done = 1; done <= total; ++done) {
    const int decile = Decile(done, total);
    if (decile > last_decile) {
      ConsolePrintf("----%d%%", decile * 10);
      last_decile = decile;
    }
  }
  ConsolePrintf("\n");
}

void RunFillWorker(InpaintContext& ctx, FillEngine& engine) {
  try {
    engine.Start(ctx.image, ctx.mask);
  } catch (...) {
    RecordFault(ctx);
    engine.Release();
    EmptyFillList(ctx.fill);
    ctx.worker_running = false;
    return;
  }

  ctx.total = static_cast<int32_t>(ctx.fill.order.size());
  ReportProgress(ctx, 0);
  uint32_t last_update = TickCountMs();
  ctx.done = 0;
  const uint32_t loop_start = TickCountMs();
  int last_decile = 0;

  // Engines that walk runs of the fill order on their own get runs that grow
  // from one target to about kRunSeconds of work; the others one target per
  // step.
  const bool runs = engine.walks_runs();
  int32_t run_length = 1;

  try {
    for (;;) {
      int32_t begin = 0, count = 0;
      {
        std::lock_guard<std::mutex> guard(ctx.lock);
        const int32_t left =
            static_cast<int32_t>(ctx.fill.order.size()) - ctx.fill.next;
        if (left > 0) {
          begin = ctx.fill.next;
          count = std::min(run_length, left);
          if (runs)
            count = std::min(count, NextDecileCount(ctx.done, ctx.total) - ctx.done);
          ctx.fill.next += count;
        }
      }
      if (count == 0 || ctx.cancel.load()) break;

      const auto run_start = std::chrono::steady_clock::now();
      engine.FillRun(ctx.fill.order, begin, begin + count, ctx.fill.width);
      ctx.done += count;
      if (runs)
        run_length = NextRunLength(
            run_length, count,
            std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                          run_start)
                .count());

      if (ctx.progress_sink != nullptr) {
        const uint32_t now = TickCountMs();
        if (static_cast<uint32_t>(now - last_update) > ctx.progress_interval_ms) {
          {
            std::lock_guard<std::mutex> guard(ctx.preview_lock);
            engine.PullImage(ctx.image);
          }
          ReportProgress(ctx, static_cast<int>(ctx.done * 100.0 / ctx.total));
          last_update = now;
        }
      }

      if (ctx.esc_cancel && ctx.escape_key != nullptr &&
          ctx.escape_key->Pressed())
        break;

      if (ctx.console_progress) {
        const int decile = Decile(ctx.done, ctx.total);
        if (decile > last_decile) {
          ConsolePrintf("----%d%%", decile * 10);
          last_decile = decile;
        }
      }
    }
  } catch (...) {
    RecordFault(ctx);
  }

  ctx.elapsed_ms = static_cast<uint32_t>(TickCountMs() - loop_start);
  if (ctx.console_progress) ConsolePrintf("\n");
  {
    std::lock_guard<std::mutex> guard(ctx.lock);
    EmptyFillList(ctx.fill);
  }
  if (ctx.fault == RunFault::None) {
    try {
      std::lock_guard<std::mutex> guard(ctx.preview_lock);
      engine.PullImage(ctx.image);
      engine.PullMask(ctx.mask);
      if (ctx.sources != nullptr) engine.PullSources(ctx.sources);
    } catch (...) {
      RecordFault(ctx);
    }
  }
  if (ctx.fault == RunFault::None) ReportProgress(ctx, 100);
  engine.Release();
  ctx.worker_running = false;
}

}  // namespace pw
