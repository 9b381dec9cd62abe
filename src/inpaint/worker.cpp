#include "inpaint/worker.h"

#include <algorithm>
#include <chrono>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>

#include "fill/cpu/thread_pool.h"
#include "fill/cpu/thread_count.h"
#include "schedule/regions.h"

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

namespace {

// Where a run stands between its engines: the progress marks shown and the
// last preview.
struct LoopState {
  uint32_t last_update = 0;
  int last_decile = 0;
};

// After `count` more targets are done: progress (with `preview` refreshing
// ctx.image first, under the preview lock), the console marks as a count
// stepping one target at a time shows them, and Escape. Returns true when
// Escape asks the run to stop.
bool AfterStep(InpaintContext& ctx, LoopState& state, int32_t count,
               const std::function<void()>& preview) {
  const int32_t before = ctx.done;
  ctx.done += count;
  if (ctx.progress_sink != nullptr) {
    const uint32_t now = TickCountMs();
    if (static_cast<uint32_t>(now - state.last_update) > ctx.progress_interval_ms) {
      {
        std::lock_guard<std::mutex> guard(ctx.preview_lock);
        preview();
      }
      ReportProgress(ctx, static_cast<int>(ctx.done * 100.0 / ctx.total));
      state.last_update = now;
    }
  }
  if (ctx.console_progress) {
    for (int32_t done = before + 1; done <= ctx.done; ++done) {
      const int decile = Decile(done, ctx.total);
      if (decile > state.last_decile) {
        ConsolePrintf("----%d%%", decile * 10);
        state.last_decile = decile;
      }
    }
  }
  return ctx.esc_cancel && ctx.escape_key != nullptr && ctx.escape_key->Pressed();
}

// Whether the targets order[0..count) leave enough of them ready at once
// to be filled side by side on `threads` threads, rather than one after
// another with each search spread over the threads.
bool SideBySide(const int32_t* order, int32_t count, int32_t width, int32_t reach,
                int threads) {
  if (reach < 0 || threads < 2 || count < 2 * threads) return false;
  return int64_t{count} >= int64_t{DependencyChainBound(order, count, width, reach)} * threads;
}

// Hands `engine` the targets order[0..size) (indices of an image `width`
// wide) in runs, reporting progress and showing the console marks as they
// go. With reach >= 0 the engine fills the targets of a run side by side on
// `threads` threads where enough of them are ready at once.
// `preview` refreshes ctx.image from the engine. Returns true when the run
// was stopped (a stop request or Escape).
bool FillTargets(InpaintContext& ctx, LoopState& state, FillEngine& engine,
                 const std::vector<int32_t>& order, int32_t width, int32_t reach,
                 int threads, const std::function<void()>& preview) {
  // Engines that walk runs of the fill order on their own get runs that grow
  // from one target to about kRunSeconds of work; the others one target per
  // step.
  const bool runs = engine.walks_runs() || reach >= 0;
  int32_t run_length = 1;
  const int32_t size = static_cast<int32_t>(order.size());
  for (int32_t next = 0; next < size;) {
    if (ctx.cancel.load()) return true;
    int32_t count = std::min(run_length, size - next);
    if (runs) count = std::min(count, NextDecileCount(ctx.done, ctx.total) - ctx.done);
    const auto run_start = std::chrono::steady_clock::now();
    if (reach >= 0 && (engine.fills_batches() ||
                       SideBySide(order.data() + next, count, width, reach, threads)))
      engine.FillReady(order, next, next + count, width, reach);
    else
      engine.FillRun(order, next, next + count, width);
    next += count;
    if (runs)
      run_length = NextRunLength(
          run_length, count,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - run_start)
              .count());
    if (AfterStep(ctx, state, count, preview)) return true;
  }
  return false;
}

// The run's start and end around the fill, shared by both ways of running.
void BeginRun(InpaintContext& ctx, LoopState& state) {
  ctx.total = static_cast<int32_t>(ctx.fill.order.size());
  ReportProgress(ctx, 0);
  state.last_update = TickCountMs();
  ctx.done = 0;
}

void EndRun(InpaintContext& ctx, uint32_t loop_start) {
  ctx.elapsed_ms = static_cast<uint32_t>(TickCountMs() - loop_start);
  if (ctx.console_progress) ConsolePrintf("\n");
  std::lock_guard<std::mutex> guard(ctx.lock);
  EmptyFillList(ctx.fill);
}

// One region on a crop of the picture: the crop's buffers, its engine, and
// the way its results go back into the caller's buffers.
class RegionCrop {
 public:
  RegionCrop(InpaintContext& ctx, const FillRegion& region,
             const uint8_t* source_mask)
      : ctx_(ctx), region_(region) {
    const PixelBox& b = region.box;
    const size_t w = static_cast<size_t>(b.width()), h = static_cast<size_t>(b.height());
    image_.resize(3 * w * h);
    mask_.resize(w * h);
    if (source_mask != nullptr) allowed_.resize(w * h);
    for (size_t y = 0; y < h; ++y) {
      const size_t from = (b.y0 + y) * static_cast<size_t>(ctx.width) + b.x0;
      std::copy_n(ctx.image + 3 * from, 3 * w, image_.data() + 3 * y * w);
      std::copy_n(ctx.mask + from, w, mask_.data() + y * w);
      if (source_mask != nullptr)
        std::copy_n(source_mask + from, w, allowed_.data() + y * w);
    }
    order_.reserve(region.order.size());
    for (int32_t p : region.order)
      order_.push_back((p / ctx.width - b.y0) * b.width() + p % ctx.width - b.x0);
    if (ctx.sources != nullptr) sources_.resize(w * h);
  }

  EngineParams Params(const EngineParams& picture) const {
    EngineParams p = picture;
    p.width = region_.box.width();
    p.height = region_.box.height();
    p.stride = 3 * p.width;
    p.crop_x0 = region_.box.x0;
    p.crop_y0 = region_.box.y0;
    p.picture_width = ctx_.width;
    p.source_mask = allowed_.empty() ? nullptr : allowed_.data();
    return p;
  }
  const uint8_t* image() const { return image_.data(); }
  const uint8_t* mask() const { return mask_.data(); }
  const std::vector<int32_t>& order() const { return order_; }

  // Copies the region's targets, as the engine holds them now, into the
  // caller's buffers: the only pixels the region changes.
  void PullInto(FillEngine& engine, bool whole) {
    engine.PullImage(image_.data());
    if (whole) engine.PullMask(mask_.data());
    if (whole && ctx_.sources != nullptr) engine.PullSources(sources_.data());
    const CropIndex crop(Params(EngineParams{}));
    for (size_t k = 0; k < order_.size(); ++k) {
      const int32_t p = region_.order[k], c = order_[k];
      std::copy_n(image_.data() + 3 * static_cast<size_t>(c), 3, ctx_.image + 3 * static_cast<size_t>(p));
      if (!whole) continue;
      ctx_.mask[p] = mask_[c];
      if (ctx_.sources != nullptr)
        ctx_.sources[p] = sources_[c] < 0 ? -1 : crop.ToPicture(sources_[c]);
    }
  }

 private:
  InpaintContext& ctx_;
  const FillRegion& region_;
  std::vector<uint8_t> image_, mask_, allowed_;
  std::vector<int32_t> order_, sources_;
};

}  // namespace

void RunRegionWorker(InpaintContext& ctx, const EngineParams& params,
                     const std::vector<FillRegion>& regions, int32_t reach) {
  LoopState state;
  BeginRun(ctx, state);
  const uint32_t loop_start = TickCountMs();
  try {
    EngineParams shared = params;
    shared.cpu_pool = std::make_shared<ThreadPool>(CpuThreadCount());
    ThreadPool& pool = *shared.cpu_pool;
    const int threads = pool.active();
    // A region runs with every thread when its targets can run side by side
    // or when it is a large part of the run; the others run whole, one per
    // thread at a time.
    const int64_t alone = ctx.total / (2 * int64_t{threads});
    auto small = [&](const FillRegion& region) {
      const int32_t count = static_cast<int32_t>(region.order.size());
      return threads > 1 && count <= alone &&
             !SideBySide(region.order.data(), count, ctx.width, reach, threads);
    };
    bool stopped = false;
    for (size_t next = 0; next < regions.size() && !stopped;) {
      if (ctx.cancel.load()) break;
      if (!small(regions[next])) {
        const FillRegion& region = regions[next++];
        RegionCrop crop(ctx, region, params.source_mask);
        std::unique_ptr<FillEngine> engine =
            CreateFillEngine(Backend::Cpu, crop.Params(shared));
        engine->Start(crop.image(), crop.mask());
        stopped = FillTargets(ctx, state, *engine, crop.order(), region.box.width(), reach,
                              threads, [&] { crop.PullInto(*engine, false); });
        {
          std::lock_guard<std::mutex> guard(ctx.preview_lock);
          crop.PullInto(*engine, true);
        }
        ctx.passes += engine->passes();
        engine->Release();
        continue;
      }
      // A batch of small regions, each on one thread with an engine of its
      // own; a stop request ends the batch after the regions at work.
      size_t end = next;
      int64_t targets = 0;
      while (end < regions.size() && end - next < 256 && targets < 4096 &&
             small(regions[end]))
        targets += static_cast<int64_t>(regions[end++].order.size());
      std::atomic<size_t> take{next};
      std::atomic<int32_t> finished{0};
      std::atomic<uint64_t> passes{0};
      std::mutex fault_lock;
      std::exception_ptr fault;
      pool.ParallelFor(threads, [&](int, int) {
        for (size_t k; !ctx.cancel.load() && (k = take++) < end;) {
          try {
            const FillRegion& region = regions[k];
            std::unique_ptr<RegionCrop> crop;
            {
              // Other regions write their pixels back meanwhile.
              std::lock_guard<std::mutex> guard(ctx.preview_lock);
              crop = std::make_unique<RegionCrop>(ctx, region, params.source_mask);
            }
            EngineParams own = crop->Params(params);
            own.cpu_pool = std::make_shared<ThreadPool>(1);
            std::unique_ptr<FillEngine> engine = CreateFillEngine(Backend::Cpu, own);
            engine->Start(crop->image(), crop->mask());
            engine->FillRun(crop->order(), 0, static_cast<int32_t>(crop->order().size()),
                            region.box.width());
            {
              std::lock_guard<std::mutex> guard(ctx.preview_lock);
              crop->PullInto(*engine, true);
            }
            passes += engine->passes();
            finished += static_cast<int32_t>(region.order.size());
          } catch (...) {
            std::lock_guard<std::mutex> guard(fault_lock);
            if (!fault) fault = std::current_exception();
            take = end;
          }
        }
      });
      if (fault) std::rethrow_exception(fault);
      ctx.passes += passes.load();
      stopped = AfterStep(ctx, state, finished.load(), [] {});
      next = end;
    }
  } catch (...) {
    RecordFault(ctx);
  }
  EndRun(ctx, loop_start);
  if (ctx.fault == RunFault::None) ReportProgress(ctx, 100);
  ctx.worker_running = false;
}

void RunFillWorker(InpaintContext& ctx, FillEngine& engine, int32_t reach) {
  try {
    engine.Start(ctx.image, ctx.mask);
  } catch (...) {
    RecordFault(ctx);
    engine.Release();
    EmptyFillList(ctx.fill);
    ctx.worker_running = false;
    return;
  }

  LoopState state;
  BeginRun(ctx, state);
  const uint32_t loop_start = TickCountMs();
  try {
    FillTargets(ctx, state, engine, ctx.fill.order, ctx.fill.width, reach,
                std::min(CpuThreadCount(), QueryUsableCpus().count),
                [&] { engine.PullImage(ctx.image); });
  } catch (...) {
    RecordFault(ctx);
  }
  EndRun(ctx, loop_start);
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
  ctx.passes = engine.passes();
  ctx.launches = engine.launches();
  if (ctx.fault == RunFault::None) ReportProgress(ctx, 100);
  engine.Release();
  ctx.worker_running = false;
}

}  // namespace pw
