#include "inpaint/driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "fill/cpu/thread_count.h"
#include "fill/device_choice.h"
#include "fill/kernels/fast.h"
#include "fill/radius.h"
#include "inpaint/estimate.h"
#include "inpaint/feasibility.h"
#include "inpaint/worker.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/escape_key.h"
#include "schedule/blind_targets.h"
#include "schedule/regions.h"

namespace pw {

void ResetContext(InpaintContext& ctx) {
  ctx.image = nullptr;
  ctx.mask = nullptr;
  ctx.sources = nullptr;
  ctx.width = ctx.height = ctx.stride = 0;
  ctx.radius = 7;
  ctx.worker_running = false;
  ctx.cancel = false;
  ctx.esc_cancel = false;
  ctx.console_progress = false;
  ctx.progress_sink = nullptr;
  ctx.escape_key = nullptr;
  ctx.total = ctx.done = 0;
  ctx.passes = 0;
  ctx.elapsed_ms = 0;
  ctx.progress_interval_ms = 400;
  EmptyFillList(ctx.fill);
}

const char* MethodDisplayName(int32_t method) {
  switch (method) {
    case kMethodCpu: return "CPU";
    case kMethodGpu: return "GPU";
    case kMethodGpuFast: return "GPU Fast";
    default: return "?";
  }
}

double WorkEstimateTeraOps(int32_t width, int32_t height, int32_t radius,
                           int32_t noise_pixels) {
  // Samples in 32-bit unsigned, window area in 32-bit signed, the product in
  // 64 bits read as unsigned. Multiplying as unsigned gives the same bits
  // as a signed 64-bit product would, without its overflow.
  const uint32_t samples = static_cast<uint32_t>(width) *
                           static_cast<uint32_t>(height) * 3u;
  const int32_t side = 2 * radius + 1;
  const int32_t area = side * side;
  const uint64_t product = static_cast<uint64_t>(samples) *
                           static_cast<uint64_t>(static_cast<int64_t>(area)) *
                           static_cast<uint64_t>(static_cast<int64_t>(noise_pixels));
  return static_cast<double>(product) / 1e12;
}

namespace {

void CheckArguments(const uint8_t* image, const uint8_t* mask, int32_t width,
                    int32_t height, int32_t radius, int32_t method,
                    std::optional<int32_t> search_radius, bool sources) {
  if (width < 0 || height < 0)
    throw std::invalid_argument("image width and height must not be negative");
  if (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3u >
      0x7FFFFFFFu)
    throw std::invalid_argument("image larger than 2^31 - 1 bytes");
  if (sources &&
      static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4u > 0x7FFFFFFFu)
    throw std::invalid_argument("source map larger than 2^31 - 1 bytes");
  if (radius < 0 || radius > kMaxRadius)
    throw std::invalid_argument("radius must be between 0 and " +
                                std::to_string(kMaxRadius));
  if (method < kMethodCpu || method > kMethodGpuFast)
    throw std::invalid_argument("unknown inpaint method " +
                                std::to_string(method));
  if (width > 0 && height > 0 && (image == nullptr || mask == nullptr))
    throw std::invalid_argument("image and mask buffers are required");
  if (search_radius && *search_radius < 0)
    throw std::invalid_argument("search radius must be 0 or more");
}

// The closing lines of a verbose run: "completed OK" only when every
// marked pixel was filled.
void PrintRunEnd(int32_t holes, int32_t done, int32_t no_source,
                 uint32_t elapsed_ms) {
  if (done < holes)
    ConsolePrintf("Inpaint stopped: %d of %d pixels processed\n", done, holes);
  else if (no_source > 0)
    ConsolePrintf("Inpaint incomplete: %d of %d pixels found no source\n",
                  no_source, holes);
  else
    ConsolePrintf("%-20s", "Inpaint completed OK!\n");
  ConsolePrintf("%-20s%0.2f ms\n", "Inpaint time:",
                static_cast<double>(static_cast<float>(elapsed_ms)));
}

// The device a run of `method` uses: InpaintCPU always runs on the CPU.
DeviceChoice RunDevice(int32_t method, const InpaintOptions& options) {
  return method == kMethodCpu ? DeviceChoice{}
                              : ResolveDevice(options.backend, options.cuda_device);
}

// Tears the context down on every way out of InpaintImage.
struct ContextTeardown {
  InpaintContext& ctx;
  ~ContextTeardown() {
    ResetContext(ctx);
    ReleaseFillList(ctx.fill);
  }
};

// One run's job as the steps below share it.
struct Job {
  uint8_t* mask;
  int32_t width, height, radius, method;
  bool verbose;
  const InpaintOptions& options;
  std::optional<int32_t> search;  // the search radius, clamped to the picture
  int32_t holes = 0;              // targets marked at the start
  bool impossible = false;        // no hole can find a source
  std::vector<int32_t> sweep_order;  // the order with its blind targets, when deferred
};

// The marked pixels the run is to fill.
int64_t MarkedTargets(const Job& job) {
  const int64_t pixels = static_cast<int64_t>(job.width) * job.height;
  const uint8_t* targets = job.options.targets;
  if (targets == nullptr) return std::count(job.mask, job.mask + pixels, uint8_t{1});
  int64_t n = 0;
  for (int64_t i = 0; i < pixels; ++i) n += job.mask[i] == 1 && targets[i] != 0;
  return n;
}

// Prepare: counts the holes and builds the fill order, unless no hole can
// find a source (the order and the search would only confirm it, at their
// full cost). False when a stop request ended the build: nothing changed.
bool PrepareFillOrder(InpaintContext& ctx, Job& job) {
  const InpaintOptions& options = job.options;
  // A long build serves on_wait as the wait for the worker does, so that a
  // stop request (Ctrl+C) is seen within about wait_poll_ms.
  StopCheck stop;
  uint32_t last_poll = TickCountMs();  // outlives the check that uses it
  if (options.on_wait) {
    stop = [&] {
      const uint32_t now = TickCountMs();
      if (static_cast<uint32_t>(now - last_poll) < options.wait_poll_ms)
        return false;
      last_poll = now;
      options.on_wait(ctx);
      return ctx.cancel.load();
    };
  }
  job.holes = static_cast<int32_t>(MarkedTargets(job));
  if (!options.feasibility_judged && job.holes > 0) {
    const JobShape shape{job.mask,   job.width, job.height,         job.radius,
                         job.method, job.search, options.source_mask};
    job.impossible = ImpossibleJob(shape, false).has_value();
  }
  if (job.impossible) return true;
  try {
    job.holes = BuildFillList(ctx.fill, job.mask, job.width, job.height, job.radius, stop);
  } catch (const FillListStopped&) {
    return false;
  }
  std::vector<int32_t>& order = ctx.fill.order;
  if (options.targets != nullptr) {
    order.erase(std::remove_if(order.begin(), order.end(),
                               [&](int32_t p) { return options.targets[p] == 0; }),
                order.end());
    job.holes = static_cast<int32_t>(order.size());
  }
  if (options.defer_blind_targets) {
    job.sweep_order = order;
    TakeBlindTargets(order, job.mask, job.width, job.height, job.radius);
  }
  return true;
}

// The verbose run's statistics, before the fill.
void PrintStatistics(const Job& job) {
  const InpaintOptions& options = job.options;
  ConsolePrintf("%-20s%d\n", "Noise Pixels: ", job.holes);
  ConsolePrintf("%-20s%d\n", "Image Pixels: ", job.width * job.height);
  ConsolePrintf("%-20s%d\n", "Radius:", job.radius);
  std::string method_text = MethodDisplayName(job.method);
  double work = WorkEstimateTeraOps(job.width, job.height, job.radius, job.holes);
  if (options.describe_device) {
    const DeviceChoice runs = RunDevice(job.method, options);
    method_text += runs.backend == Backend::Cuda
                       ? " on CUDA device " + std::to_string(runs.cuda_device)
                       : " on the CPU (" + std::to_string(CpuThreadCount()) + " threads)";
    if (options.search_radius) {
      const double side = 2.0 * job.radius + 1.0;
      work = static_cast<double>(ForecastRun(job.mask, job.width, job.height, job.radius,
                                             job.method, options.search_radius, 1)
                                     .pairs) *
             3.0 * side * side / 1e12;
    }
  }
  ConsolePrintf("%-20s%s\n", "Inpaint Method:", method_text.c_str());
  ConsolePrintf("%-20s%0.4f\n", "TFLOPS:", work);
}

// The end of a job no hole of which can find a source: what the search
// would have reported, without running it.
void FinishImpossible(const Job& job) {
  const InpaintOptions& options = job.options;
  const int32_t n = job.holes;
  if (options.stats != nullptr) {
    // Every target processed, none filled, and GPU Fast's every pass run
    // for nothing, on the device it would have run on.
    options.stats->backend = RunDevice(job.method, options).backend;
    options.stats->targets = options.stats->holes = n;
    options.stats->no_source = n;
    if (job.method == kMethodGpuFast)
      options.stats->passes = static_cast<uint64_t>(n) * kernels::kMaxFastPasses;
  }
  if (options.progress != nullptr) {
    options.progress->Report(0, 0.0);
    options.progress->Report(100, 1.0);
  }
  if (job.verbose) {
    ConsolePrintf("Starting Inpaint.....\n");
    ConsolePrintf("Press ESC to cancel\n");
    PrintEveryDecileMark(n);
    PrintRunEnd(n, n, n, 0);
  }
}

// The figures of the runs of one job (the order and its sweeps).
struct RunTally {
  int32_t untried = 0;   // targets of the last run a stop left untried
  uint64_t passes = 0;
  uint64_t launches = 0;
  uint32_t elapsed_ms = 0;
  int32_t regions = 1;   // the order's regions
  int32_t sweeps = 0;

  void Add(const InpaintContext& ctx) {
    untried = std::max(0, ctx.total - ctx.done);
    passes += ctx.passes;
    launches += ctx.launches;
    elapsed_ms += ctx.elapsed_ms;
  }
};

// Where and how the fill runs: one engine over the picture, or the CPU on
// crops, one per region of a bounded search.
struct RunPlan {
  EngineParams params;
  int32_t reach = -1;  // how far a target reads, -1: anywhere
  std::vector<FillRegion> regions;  // the crops, empty when one engine runs
  int32_t region_count = 1;
  std::unique_ptr<FillEngine> engine;
};

RunPlan PlanRun(InpaintContext& ctx, const Job& job) {
  RunPlan plan;
  EngineParams& params = plan.params;
  params.width = job.width;
  params.height = job.height;
  params.stride = ctx.stride;
  params.radius = job.radius;
  params.method = job.method;
  params.search_radius = job.search.value_or(-1);
  params.source_mask = job.options.source_mask;
  params.record_sources = job.options.sources != nullptr;
  const DeviceChoice device = RunDevice(job.method, job.options);
  ctx.backend = device.backend;
  params.cuda_device = device.cuda_device;
  // A bounded search reads only within `reach` of each target: the targets
  // fall apart into regions, which the CPU runs on crops of the picture.
  plan.reach = job.search ? *job.search + job.radius : -1;
  if (plan.reach >= 0)
    plan.regions = SplitIntoRegions(ctx.fill.order, job.width, job.height, plan.reach);
  const std::vector<FillRegion>& regions = plan.regions;
  const bool crops = ctx.backend == Backend::Cpu && !regions.empty() &&
                     (regions.size() > 1 || regions[0].box.width() < job.width ||
                      regions[0].box.height() < job.height);
  plan.region_count = plan.reach >= 0 ? static_cast<int32_t>(regions.size()) : 1;
  if (!crops) std::vector<FillRegion>().swap(plan.regions);
  if (!crops) plan.engine = CreateFillEngine(ctx.backend, params);
  return plan;
}

// Run: the worker fills while the calling thread serves on_wait. Returns
// what on_wait threw (the run was then stopped), or nothing.
std::exception_ptr RunWorker(InpaintContext& ctx, RunPlan& plan,
                             const InpaintOptions& options, ProgressSink* progress) {
  ctx.progress_sink = progress;
  ctx.passes = ctx.launches = 0;
  ctx.elapsed_ms = 0;
  EscapeKeyWatch escape(options.escape_key);
  ctx.escape_key = &escape;

  std::mutex end_mutex;
  std::condition_variable end_signal;
  bool ended = false;
  std::thread worker;
  ctx.worker_running = true;
  try {
    worker = std::thread([&] {
      if (plan.engine == nullptr)
        RunRegionWorker(ctx, plan.params, plan.regions, plan.reach);
      else
        RunFillWorker(ctx, *plan.engine, plan.reach);
      std::lock_guard<std::mutex> guard(end_mutex);
      ended = true;
      end_signal.notify_all();
    });
  } catch (const std::system_error& e) {
    // Nothing has run: the buffers are as the caller gave them.
    ctx.worker_running = false;
    throw std::runtime_error(std::string("cannot start the inpaint worker thread: ") +
                             e.code().message());
  }
  std::exception_ptr wait_error;
  std::unique_lock<std::mutex> guard(end_mutex);
  while (!ended) {
    end_signal.wait_for(guard, std::chrono::milliseconds(options.wait_poll_ms));
    if (ended) break;
    if (options.on_wait && !wait_error) {
      guard.unlock();
      try {
        options.on_wait(ctx);
      } catch (...) {
        // Stop the run, but never leave the worker behind.
        wait_error = std::current_exception();
        ctx.cancel = true;
      }
      guard.lock();
    }
  }
  guard.unlock();
  worker.join();
  ctx.escape_key = nullptr;
  return wait_error;
}

// Collect: the run's figures, then what stopped it, if anything.
void CollectRun(const InpaintContext& ctx, const RunTally& tally, const Job& job,
                const std::exception_ptr& wait_error) {
  const int32_t n = job.holes;
  const int32_t done = n - tally.untried;
  const int64_t marked = MarkedTargets(job);
  const int32_t no_source =
      static_cast<int32_t>(std::max<int64_t>(0, marked - tally.untried));
  if (RunStats* stats = job.options.stats) {
    stats->backend = ctx.backend;
    stats->holes = n;
    stats->no_source = no_source;
    stats->targets = done;
    stats->passes = tally.passes;
    stats->launches = tally.launches;
    stats->regions = tally.regions;
    stats->sweeps = tally.sweeps;
    stats->elapsed_ms = tally.elapsed_ms;
  }
  if (wait_error) std::rethrow_exception(wait_error);

  switch (ctx.fault) {
    case RunFault::Memory:
      throw DeviceMemoryError(ctx.fault_message, ctx.fault_bytes);
    case RunFault::Device:
      throw DeviceError(ctx.fault_message);
    case RunFault::None:
      break;
  }
  if (job.verbose) PrintRunEnd(n, done, no_source, tally.elapsed_ms);
}

// Whether the targets a method leaves without a source are taken again
// after the fill order. GPU Fast ranks candidates by the known pixels of
// the target's window, and the order (built from the mask alone) may reach
// a target before any pixel of its window is known; the exhaustive method
// keeps every target to its single turn.
bool SweepsAfterOrder(const Job& job) {
  return job.method == kMethodGpuFast || job.options.defer_blind_targets;
}

// The sweeps: the targets of `order` still marked are run again as the
// next order, in fill order, while the run before filled at least one.
// Every pixel the order filled keeps its bytes. Sweeps are short and
// report no progress (the order's run has reported 100 %); a stop request,
// Escape or a fault ends them. Returns what on_wait threw, or nothing.
std::exception_ptr RunSweeps(InpaintContext& ctx, const Job& job,
                             const std::vector<int32_t>& order, RunTally& tally) {
  int64_t before = static_cast<int64_t>(order.size());
  std::vector<int32_t> left;
  std::vector<int32_t> sweep_sources;  // an engine's map starts at -1 everywhere
  int32_t* const sources = ctx.sources;
  if (sources != nullptr)
    sweep_sources.resize(static_cast<size_t>(job.width) * job.height);
  ctx.console_progress = false;
  while (!ctx.cancel.load() && ctx.fault == RunFault::None && tally.untried == 0) {
    left.clear();
    for (int32_t p : order)
      if (job.mask[p] == 1) left.push_back(p);
    if (left.empty() || static_cast<int64_t>(left.size()) == before) break;
    before = static_cast<int64_t>(left.size());
    if (job.options.defer_blind_targets) {
      TakeBlindTargets(left, job.mask, job.width, job.height, job.radius);
      if (left.empty()) break;
    }
    ctx.fill.order = left;
    ctx.fill.width = job.width;
    ctx.fill.height = job.height;
    ctx.sources = sweep_sources.empty() ? nullptr : sweep_sources.data();
    RunPlan plan = PlanRun(ctx, job);
    ++tally.sweeps;
    const std::exception_ptr wait_error = RunWorker(ctx, plan, job.options, nullptr);
    ctx.sources = sources;
    for (int32_t p : left)
      if (sources != nullptr && sweep_sources[p] >= 0) sources[p] = sweep_sources[p];
    tally.Add(ctx);
    if (wait_error) return wait_error;
  }
  return nullptr;
}

}  // namespace

bool InpaintImage(uint8_t* image, uint8_t* mask, int32_t width, int32_t height,
                  int32_t radius, int32_t method, bool verbose,
                  const InpaintOptions& options) {
  CheckArguments(image, mask, width, height, radius, method,
                 options.search_radius, options.sources != nullptr);
  if (options.stats != nullptr) *options.stats = RunStats();
  if (options.sources != nullptr)
    std::fill(options.sources, options.sources + static_cast<int64_t>(width) * height,
              int32_t{-1});

  InpaintContext ctx;
  ResetContext(ctx);
  ContextTeardown teardown{ctx};
  ctx.image = image;
  ctx.mask = mask;
  ctx.sources = options.sources;
  ctx.width = width;
  ctx.height = height;
  ctx.stride = width * 3;
  ctx.radius = radius;
  ctx.method = method;

  Job job{mask,    width, height, radius, method, verbose, options,
          SearchDomain(options.search_radius, width, height), 0, false, {}};
  if (verbose) ConsolePrintf("Initialize Pixmap:\n");
  if (!PrepareFillOrder(ctx, job)) return true;  // stopped: nothing changed
  if (verbose) PrintStatistics(job);
  if (job.holes == 0) {
    ConsolePrintf("Nothing to inpaint!");
    return false;
  }
  if (job.impossible) {
    FinishImpossible(job);
    return true;
  }

  ctx.total = job.holes;
  ctx.cancel = false;
  ctx.esc_cancel = true;
  if (verbose) {
    ConsolePrintf("Starting Inpaint.....\n");
    ConsolePrintf("Press ESC to cancel\n");
    ctx.console_progress = true;
  }
  RunPlan plan = PlanRun(ctx, job);
  std::vector<int32_t> order;  // the worker empties ctx.fill
  if (SweepsAfterOrder(job))
    order = job.options.defer_blind_targets ? std::move(job.sweep_order) : ctx.fill.order;
  std::exception_ptr wait_error = RunWorker(ctx, plan, options, options.progress);
  RunTally tally;
  tally.regions = plan.region_count;
  tally.Add(ctx);
  plan = RunPlan();  // the order's engine goes before a sweep makes its own
  if (!wait_error && !order.empty()) wait_error = RunSweeps(ctx, job, order, tally);
  CollectRun(ctx, tally, job, wait_error);
  return true;
}

}  // namespace pw
