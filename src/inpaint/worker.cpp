#include "inpaint/worker.h"

#include <exception>
#include <new>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/escape_key.h"

namespace pw {

void ReportProgress(InpaintContext& ctx, int percent) {
  if (ctx.progress_sink != nullptr) ctx.progress_sink->Report(percent);
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

}  // namespace

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

  try {
    for (;;) {
      bool taken = false;
      int32_t x = 0, y = 0;
      {
        std::lock_guard<std::mutex> guard(ctx.lock);
        if (ctx.fill.next < static_cast<int32_t>(ctx.fill.order.size())) {
          const int32_t index = ctx.fill.order[ctx.fill.next];
          x = index % ctx.fill.width;
          y = index / ctx.fill.width;
          ++ctx.fill.next;
          taken = true;
        }
      }
      if (!taken || ctx.cancel.load()) break;

      engine.FillPixel(x, y);
      ++ctx.done;

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
        const int decile = static_cast<int>(ctx.done * 10.0 / ctx.total);
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
    } catch (...) {
      RecordFault(ctx);
    }
  }
  if (ctx.fault == RunFault::None) ReportProgress(ctx, 100);
  engine.Release();
  ctx.worker_running = false;
}

}  // namespace pw
