// The driver and the worker loop: messages, progress, cancellation, faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "fill/cpu/cpu_exhaustive.h"
#include "inpaint/driver.h"
#include "inpaint/estimate.h"
#include "inpaint/feasibility.h"
#include "inpaint/worker.h"
#include "reference.h"

namespace pw {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

struct Picture {
  int w, h;
  std::vector<uint8_t> image, mask;
};

Picture Speckled(int w, int h, int specks, unsigned seed) {
  std::mt19937 rng(seed);
  Picture p{w, h, std::vector<uint8_t>(w * h * 3), std::vector<uint8_t>(w * h, 0)};
  for (auto& b : p.image) b = static_cast<uint8_t>(rng());
  for (int s = 0; s < specks; ++s) p.mask[rng() % (w * h)] = 1;
  return p;
}

// Jobs where no hole can be filled: each certain cause, the value that
// would work, and the one case that only the strict check refuses (a search
// radius at or below the radius, where the exhaustive method can still fill
// a hole at the picture's edge).
TEST(Driver, ImpossibleJobsAndTheirCauses) {
  Picture p = Speckled(12, 9, 0, 2);
  p.mask[4 * 12 + 0] = 1;  // at the left edge
  JobShape job{p.mask.data(), 12, 9, 2, kMethodGpu, 2, nullptr};
  EXPECT_FALSE(ImpossibleJob(job, false));
  EXPECT_NE(ImpossibleJob(job, true)->find("at least 3"), std::string::npos);
  job.method = kMethodGpuFast;
  EXPECT_TRUE(ImpossibleJob(job, false));
  job.method = kMethodGpu;
  // The exhaustive run indeed fills it, from a window whose mirror of the
  // hole lies outside the picture.
  Picture run = p;
  InpaintOptions options;
  options.backend = Backend::Cpu;
  options.escape_key = false;
  options.search_radius = 2;
  ASSERT_TRUE(InpaintImage(run.image.data(), run.mask.data(), 12, 9, 2, kMethodGpu, false,
                           options));
  EXPECT_EQ(run.mask[4 * 12], 0);

  job.search_radius = std::nullopt;
  job.radius = 5;  // 11 x 11 in a 12 x 9 picture
  EXPECT_NE(ImpossibleJob(job, false)->find("at most 4"), std::string::npos);
  job.radius = 2;
  std::vector<uint8_t> allowed(12 * 9, 0);
  job.source_mask = allowed.data();
  EXPECT_NE(ImpossibleJob(job, false)->find("allows no pixel"), std::string::npos);
  allowed[1 * 12 + 5] = 1;  // one pixel from the top edge
  EXPECT_NE(ImpossibleJob(job, false)->find("at most 1"), std::string::npos);
  allowed[2 * 12 + 5] = 1;
  EXPECT_FALSE(ImpossibleJob(job, false));
  std::fill(p.mask.begin(), p.mask.end(), 1);
  EXPECT_NE(ImpossibleJob(job, false)->find("every pixel"), std::string::npos);
  std::fill(p.mask.begin(), p.mask.end(), 0);
  EXPECT_FALSE(ImpossibleJob(job, true));  // nothing to fill is no failure
}

TEST(Driver, WorkEstimate) {
  EXPECT_EQ(WorkEstimateTeraOps(1000, 1000, 7, 10000), 6.75);
  EXPECT_EQ(WorkEstimateTeraOps(10, 10, 0, 0), 0.0);
}

// The forecast counts, per target, the centres whose window fits within the
// search radius, clipped at the border.
TEST(Driver, RunForecastCountsCandidatePairs) {
  std::vector<uint8_t> mask(20 * 10, 0);
  mask[5 * 20 + 10] = 1;  // centres x 2..17, y 2..7 with radius 2
  mask[0] = 1;            // corner: with S = 3, x 2..3 and y 2..3
  EXPECT_EQ(ForecastRun(mask.data(), 20, 10, 2, kMethodGpu, std::nullopt, 1).pairs,
            2 * 16 * 6);
  const RunForecast bounded = ForecastRun(mask.data(), 20, 10, 2, kMethodGpu, 3, 2);
  EXPECT_EQ(bounded.targets, 2);
  EXPECT_EQ(bounded.pairs, 7 * 6 + 2 * 2);
  // GPU Fast's screen has no bound: it costs more per pair.
  std::vector<uint8_t> wide(200 * 100, 0);
  wide[50 * 200 + 100] = 1;
  EXPECT_LT(ForecastRun(wide.data(), 200, 100, 2, kMethodGpu, std::nullopt, 2).seconds,
            ForecastRun(wide.data(), 200, 100, 2, kMethodGpuFast, std::nullopt, 2).seconds);
}

TEST(Driver, NothingToInpaint) {
  Picture p = Speckled(8, 8, 0, 2);
  std::fill(p.mask.begin(), p.mask.end(), 255);
  CaptureStdout();
  EXPECT_FALSE(InpaintImage(p.image.data(), p.mask.data(), 8, 8, 2, 1, false));
  EXPECT_EQ(GetCapturedStdout(), "Nothing to inpaint!");
  CaptureStdout();
  EXPECT_FALSE(InpaintImage(p.image.data(), p.mask.data(), 8, 8, 2, 2, true));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Noise Pixels:       0\n"), std::string::npos);
  EXPECT_NE(out.find("TFLOPS:             0.0000\nNothing to inpaint!"),
            std::string::npos);
}

TEST(Driver, RefusesArgumentsOutsideTheContract) {
  Picture p = Speckled(4, 4, 2, 4);
  EXPECT_THROW(InpaintImage(p.image.data(), p.mask.data(), 4, 4, -1, 1, false),
               std::invalid_argument);
  EXPECT_THROW(InpaintImage(p.image.data(), p.mask.data(), 4, 4, 128, 1, false),
               std::invalid_argument);
  EXPECT_THROW(InpaintImage(p.image.data(), p.mask.data(), 4, 4, 1, 3, false),
               std::invalid_argument);
  EXPECT_THROW(InpaintImage(nullptr, nullptr, 50000, 50000, 1, 1, false),
               std::invalid_argument);
}

TEST(Driver, OnWaitCancelStopsTheRunWithPixelsFilledSoFar) {
  Picture p = Speckled(200, 150, 3000, 5);
  const auto mask_before = p.mask;
  InpaintOptions options;
  options.wait_poll_ms = 1;
  options.on_wait = [](InpaintContext& ctx) { ctx.cancel = true; };
  CaptureStdout();
  EXPECT_TRUE(InpaintImage(p.image.data(), p.mask.data(), 200, 150, 6, 1, false,
                           options));
  GetCapturedStdout();
  int noise = 0, still_marked = 0;
  for (size_t i = 0; i < p.mask.size(); ++i) {
    noise += mask_before[i] == 1;
    if (mask_before[i] == 1) still_marked += p.mask[i];
    if (mask_before[i] != 1) {
      EXPECT_EQ(p.mask[i], mask_before[i]);
    }
  }
  EXPECT_GT(still_marked, 0);
}

// --- the worker on its own ---------------------------------------------------

struct WorkerRun {
  Picture pic;
  InpaintContext ctx;
  explicit WorkerRun(Picture p, int r) : pic(std::move(p)) {
    ResetContext(ctx);
    ctx.image = pic.image.data();
    ctx.mask = pic.mask.data();
    ctx.width = pic.w;
    ctx.height = pic.h;
    ctx.stride = pic.w * 3;
    ctx.radius = r;
    BuildFillList(ctx.fill, pic.mask.data(), pic.w, pic.h, r);
  }
  EngineParams Params() const {
    EngineParams e;
    e.width = ctx.width;
    e.height = ctx.height;
    e.stride = ctx.stride;
    e.radius = ctx.radius;
    return e;
  }
};

struct Recorder : ProgressSink {
  std::vector<int> seen;
  void Report(int percent, double) override { seen.push_back(percent); }
};

TEST(Worker, ProgressSinkGetsZeroUpdatesAndHundred) {
  WorkerRun run(Speckled(40, 30, 60, 8), 2);
  Recorder rec;
  run.ctx.progress_sink = &rec;
  run.ctx.progress_interval_ms = 0;  // every tick boundary may update
  CpuExhaustiveEngine engine(run.Params(), 2);
  RunFillWorker(run.ctx, engine);
  ASSERT_GE(rec.seen.size(), 2u);
  EXPECT_EQ(rec.seen.front(), 0);
  EXPECT_EQ(rec.seen.back(), 100);
  for (size_t i = 1; i < rec.seen.size(); ++i)
    EXPECT_LE(rec.seen[i - 1], rec.seen[i]);
}

// An engine that walks runs of the fill order: each run ends where the
// decile changes, so the marks are those of a one-target step; a stop
// request is seen between runs, with the targets of the runs done counted.
class RunRecorder : public FillEngine {
 public:
  InpaintContext* cancel_after_first = nullptr;
  std::vector<int32_t> ends;
  void Start(const uint8_t*, const uint8_t*) override {}
  void FillPixel(int32_t, int32_t) override {}
  void FillRun(const std::vector<int32_t>& order, int32_t begin, int32_t end,
               int32_t) override {
    EXPECT_EQ(begin, ends.empty() ? 0 : ends.back());
    EXPECT_LE(end, static_cast<int32_t>(order.size()));
    ends.push_back(end);
    if (cancel_after_first != nullptr) cancel_after_first->cancel = true;
  }
  bool walks_runs() const override { return true; }
  void PullImage(uint8_t*) override {}
  void PullMask(uint8_t*) override {}
  void PullSources(int32_t*) override {}
  void Release() noexcept override {}
};

TEST(Worker, RunsEndWhereTheDecileChanges) {
  for (int specks : {3, 1000, 997}) {
    Picture p = Speckled(50, 40, 0, 11);
    for (int i = 0; i < specks; ++i) p.mask[i * 2] = 1;
    WorkerRun run(std::move(p), 0);
    run.ctx.console_progress = true;
    RunRecorder engine;
    CaptureStdout();
    RunFillWorker(run.ctx, engine);
    const std::string marks = GetCapturedStdout();
    EXPECT_EQ(marks, specks == 3 ? "----30%----60%----100%\n"
                                 : "----10%----20%----30%----40%----50%----60%"
                                   "----70%----80%----90%----100%\n");
    EXPECT_EQ(run.ctx.done, specks);
    for (int d = 1; d <= 10; ++d) {
      int32_t first = 1;  // the first count that reaches decile d
      while (static_cast<int>(first * 10.0 / specks) < d) ++first;
      EXPECT_NE(std::find(engine.ends.begin(), engine.ends.end(), first),
                engine.ends.end())
          << specks << " targets, decile " << d;
    }
  }
}

TEST(Worker, StopRequestBetweenRunsKeepsWhatIsDone) {
  WorkerRun run(Speckled(40, 30, 300, 12), 1);
  RunRecorder engine;
  engine.cancel_after_first = &run.ctx;
  RunFillWorker(run.ctx, engine);
  ASSERT_EQ(engine.ends.size(), 1u);
  EXPECT_EQ(run.ctx.done, engine.ends[0]);
  EXPECT_LT(run.ctx.done, run.ctx.total);
  EXPECT_TRUE(run.ctx.fill.order.empty());
  EXPECT_EQ(run.ctx.fault, RunFault::None);
}

class FailingEngine : public FillEngine {
 public:
  bool fail_on_start = false;
  int released = 0;
  int pulls = 0;
  void Start(const uint8_t*, const uint8_t*) override {
    if (fail_on_start) throw DeviceMemoryError("no memory", 1234);
  }
  void FillPixel(int32_t, int32_t) override { throw DeviceError("CUDA Error: boom"); }
  void PullImage(uint8_t*) override { ++pulls; }
  void PullMask(uint8_t*) override { ++pulls; }
  void PullSources(int32_t*) override { ++pulls; }
  void Release() noexcept override { ++released; }
};

// A fault while filling or at the start: the run stops with its cause,
// copies nothing back and releases the engine.
TEST(Worker, FaultsStopWithoutCopyBackAndRelease) {
  for (bool at_start : {false, true}) {
    WorkerRun run(Speckled(10, 10, 5, 9), 1);
    run.ctx.console_progress = true;
    FailingEngine engine;
    engine.fail_on_start = at_start;
    CaptureStdout();
    RunFillWorker(run.ctx, engine);
    const std::string printed = GetCapturedStdout();
    if (at_start) {
      EXPECT_EQ(run.ctx.fault, RunFault::Memory);
      EXPECT_EQ(run.ctx.fault_bytes, 1234u);
    } else {
      EXPECT_EQ(printed, "\n");
      EXPECT_EQ(run.ctx.fault, RunFault::Device);
      EXPECT_EQ(run.ctx.fault_message, "CUDA Error: boom");
      EXPECT_EQ(engine.released, 1);
    }
    EXPECT_EQ(engine.pulls, 0);
    EXPECT_GE(engine.released, 1);
    EXPECT_TRUE(run.ctx.fill.order.empty());
  }
}

}  // namespace
}  // namespace pw
