// Regions and ready targets: the grouping never separates targets that can
// see each other, the hand-out never runs two of them at once, and filling
// ready targets in any order gives the bytes of the sequential run, on both
// CPU engines, on the whole picture and on the regions' crops.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "fill/cpu/cpu_exhaustive.h"
#include "fill/cpu/cpu_fast.h"
#include "fill/cpu/shared_loop.h"
#include "reference.h"
#include "schedule/fill_list.h"
#include "schedule/regions.h"

namespace pw {
namespace {

bool Near(int32_t p, int32_t q, int32_t width, int32_t reach) {
  return std::abs(p % width - q % width) <= reach && std::abs(p / width - q / width) <= reach;
}

TEST(Regions, SplitKeepsNeighboursTogetherAndBoxesCoverTheirReach) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 40; ++trial) {
    const int w = 5 + static_cast<int>(rng() % 60), h = 5 + static_cast<int>(rng() % 60);
    const int reach = static_cast<int>(rng() % 9);
    std::vector<int32_t> order;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 40); ++k)
      order.push_back(static_cast<int32_t>(rng() % (w * h)));
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
    std::shuffle(order.begin(), order.end(), rng);
    const std::vector<FillRegion> regions = SplitIntoRegions(order, w, h, reach);
    std::vector<int> region_of(w * h, -1);
    size_t total = 0;
    for (size_t n = 0; n < regions.size(); ++n) {
      const PixelBox& b = regions[n].box;
      for (int32_t p : regions[n].order) {
        region_of[p] = static_cast<int>(n);
        // The box holds every pixel the target reads, clipped to the picture.
        EXPECT_EQ(b.x0, std::max(0, std::min(b.x0, p % w - reach)));
        EXPECT_LE(std::min(w, p % w + reach + 1), b.x1);
        EXPECT_EQ(b.y0, std::max(0, std::min(b.y0, p / w - reach)));
        EXPECT_LE(std::min(h, p / w + reach + 1), b.y1);
      }
      total += regions[n].order.size();
      // Each region keeps its part of the order in order.
      auto at = [&](int32_t p) { return std::find(order.begin(), order.end(), p); };
      for (size_t k = 1; k < regions[n].order.size(); ++k)
        EXPECT_LT(at(regions[n].order[k - 1]), at(regions[n].order[k]));
    }
    EXPECT_EQ(total, order.size());
    for (int32_t p : order)
      for (int32_t q : order)
        if (Near(p, q, w, reach)) { EXPECT_EQ(region_of[p], region_of[q]); }
  }
}

TEST(Regions, ChainBoundCoversTheLongestChain) {
  // A column of targets 3 apart is one chain at reach 3 and none at reach 2.
  std::vector<int32_t> column;
  for (int y = 0; y < 30; y += 3) column.push_back(y * 10 + 4);
  EXPECT_EQ(DependencyChainBound(column.data(), 10, 10, 3), 10);
  EXPECT_LE(DependencyChainBound(column.data(), 10, 10, 1), 5);
  // Targets far apart never wait on each other.
  std::vector<int32_t> apart = {0, 50, 5000, 5050};
  EXPECT_EQ(DependencyChainBound(apart.data(), 4, 100, 9), 1);
}

// Batches hold every target once, each batch in fill order; a target's
// earlier neighbours all come in earlier batches (so no two neighbours
// share one), and there are as many batches as the chain bound.
TEST(Regions, ReadyBatchesKeepEveryDependency) {
  std::mt19937 rng(7);
  const int w = 50, h = 40;
  std::vector<int32_t> order(w * h);
  for (int i = 0; i < w * h; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(400);
  for (int32_t reach : {0, 2, 5}) {
    std::vector<int32_t> starts;
    const std::vector<int32_t> targets = ReadyBatches(order.data(), 50, 400, w, reach, &starts);
    ASSERT_EQ(targets.size(), 350u);
    ASSERT_EQ(starts.back(), 350);
    EXPECT_EQ(static_cast<int32_t>(starts.size()) - 1,
              DependencyChainBound(order.data() + 50, 350, w, reach));
    std::vector<int> batch(w * h, -1), position(w * h, -1);
    for (int k = 50; k < 400; ++k) position[order[k]] = k;
    for (size_t b = 0; b + 1 < starts.size(); ++b)
      for (int32_t i = starts[b]; i < starts[b + 1]; ++i) {
        EXPECT_EQ(batch[targets[i]], -1);
        batch[targets[i]] = static_cast<int>(b);
        if (i > starts[b]) {
          EXPECT_LT(position[targets[i - 1]], position[targets[i]]);
        }
      }
    for (int k = 50; k < 400; ++k) {
      ASSERT_GE(batch[order[k]], 0);
      for (int j = 50; j < k; ++j)
        if (Near(order[j], order[k], w, reach)) {
          EXPECT_LT(batch[order[j]], batch[order[k]]);
        }
    }
  }
}

TEST(Regions, ReadyTargetsNeverHandOutNeighboursTogether) {
  std::mt19937 rng(3);
  const int w = 40, h = 30, reach = 4;
  std::vector<int32_t> order(w * h);
  for (int i = 0; i < w * h; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  order.resize(300);
  ReadyTargets ready(order.data(), 0, 300, w, reach, 64);
  std::vector<std::atomic<int>> state(300);  // 0 open, 1 running, 2 done
  std::atomic<int> faults{0}, taken{0};
  auto work = [&] {
    for (int32_t k; (k = ready.Take()) >= 0;) {
      ++taken;
      if (state[k].exchange(1) != 0) ++faults;
      for (int32_t j = 0; j < k; ++j)
        if (state[j].load() != 2 && Near(order[j], order[k], w, reach)) ++faults;
      std::this_thread::yield();
      state[k] = 2;
      ready.Done(k);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(work);
  for (auto& t : threads) t.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(taken.load(), 300);
}

// Loops of 1 to 9 chunks, one after the other, joined by two threads that
// poll: every chunk of every loop runs exactly once, with its own loop's
// body, and the helpers do take chunks (chunk 0 of a loop waits for one).
TEST(SharedLoop, EveryChunkRunsOnceWithItsOwnLoopsBody) {
  constexpr int kLoops = 3000, kMaxChunks = 9;
  SharedLoop loop;
  std::vector<std::atomic<int>> runs(kLoops * kMaxChunks);
  std::atomic<int> helped{0};
  std::atomic<bool> over{false};
  auto helper = [&] {
    while (!over.load()) loop.Help();
  };
  std::thread a(helper), b(helper);
  const std::thread::id owner = std::this_thread::get_id();
  for (int n = 0; n < kLoops; ++n) {
    const int chunks = 1 + n % kMaxChunks;
    std::atomic<int> joined{0};
    loop.Run(chunks, [&, n](int chunk) {
      ++runs[n * kMaxChunks + chunk];
      if (std::this_thread::get_id() != owner) {
        ++joined;
        ++helped;
      } else if (chunk == 0 && chunks > 1 && n < 100) {
        while (joined.load() == 0) std::this_thread::yield();
      }
    });
    for (int c = 0; c < kMaxChunks; ++c)
      ASSERT_EQ(runs[n * kMaxChunks + c].load(), c < chunks ? 1 : 0) << "loop " << n;
  }
  over = true;
  a.join();
  b.join();
  EXPECT_GT(helped.load(), 0);
}

// A thread that finds no target ready runs what `help` offers meanwhile,
// and still gets every target once all are done.
TEST(Regions, ReadyTargetsOfferHelpWhileNoneIsReady) {
  const int w = 64;
  std::vector<int32_t> order;  // a chain: each target next to the one before
  for (int x = 0; x < 40; ++x) order.push_back(x);
  ReadyTargets ready(order.data(), 0, 40, w, 2);
  std::atomic<int> helps{0}, taken{0}, faults{0};
  std::vector<std::atomic<int>> state(40);
  auto work = [&](bool spin) {
    const std::function<bool()> help = [&] { ++helps; return false; };
    for (int32_t k; (k = ready.Take(help, spin)) >= 0;) {
      ++taken;
      for (int32_t j = 0; j < k; ++j) faults += state[j].load() != 2;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      state[k] = 2;
      ready.Done(k);
    }
  };
  std::thread a(work, true), b(work, false);
  a.join();
  b.join();
  EXPECT_EQ(taken.load(), 40);
  EXPECT_EQ(faults.load(), 0);
  EXPECT_GT(helps.load(), 0);
}

struct Outcome {
  std::vector<uint8_t> image, mask;
  std::vector<int32_t> sources;
  uint64_t passes = 0;
};

// Fills `order` target by target in a random ready order (`shuffle`), or
// with FillReady in two stretches (the second begins where the first ends).
template <class Engine>
Outcome Fill(const reference::RandomCase& c, const EngineParams& params,
             const std::vector<int32_t>& order, int threads, std::mt19937* shuffle,
             int32_t reach) {
  Engine engine(params, threads);
  engine.Start(c.image.data(), c.mask.data());
  const int32_t n = static_cast<int32_t>(order.size());
  if (shuffle == nullptr) {
    engine.FillReady(order, 0, n / 3, c.w, reach);
    engine.FillReady(order, n / 3, n, c.w, reach);
  } else {
    // Any ready target next, at random.
    std::vector<bool> done(order.size(), false);
    for (size_t left = order.size(); left > 0; --left) {
      std::vector<size_t> ready;
      for (size_t k = 0; k < order.size(); ++k) {
        if (done[k]) continue;
        bool free = true;
        for (size_t j = 0; j < k && free; ++j)
          free = done[j] || !Near(order[j], order[k], c.w, reach);
        if (free) ready.push_back(k);
      }
      const size_t k = ready[(*shuffle)() % ready.size()];
      engine.FillPixel(order[k] % c.w, order[k] / c.w);
      done[k] = true;
    }
  }
  Outcome out{std::vector<uint8_t>(c.image.size()), std::vector<uint8_t>(c.mask.size()),
              std::vector<int32_t>(c.mask.size()), engine.passes()};
  engine.PullImage(out.image.data());
  engine.PullMask(out.mask.data());
  engine.PullSources(out.sources.data());
  return out;
}

// Scattered specks, scratches whose targets wait for each other, targets on
// the border, with and without a source mask, filled on 1, 2 and 4 threads
// (4: the run's pool, whose threads the engine uses whatever its own count).
template <class Engine>
void ExpectAnyReadyOrderMatches(int32_t method) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 14; ++trial) {
    // The last trials search wide enough to run in chunks that a thread
    // with no target ready joins.
    const bool wide = trial >= 12;
    const int r = wide ? 4 : 1 + trial % 3, s = wide ? 30 : r + 1 + trial % 4;
    reference::RandomCase c = reference::MakeRandomCase(
        rng, wide ? 80 : 40 + trial, wide ? 64 : 32, r, 2 + trial % 3, trial % 2 ? 12 : 0, 1, 40);
    // Bright bytes under the holes on a dark picture: a bound that still
    // counts them once their pixels are filled passes over good candidates.
    if (trial % 3 == 0)
      for (size_t i = 0; i < c.mask.size(); ++i)
        for (int ch = 0; ch < 3; ++ch)
          c.image[3 * i + ch] = c.mask[i] ? 255 : c.image[3 * i + ch] / 8;
    for (int x = trial % 5; trial % 4 == 1 && x < c.w; x += 9)
      c.mask[x] = c.mask[(c.h - 1) * c.w + x] = 1;
    std::vector<uint8_t> allowed(trial % 4 >= 2 ? c.mask.size() : 0);
    for (auto& a : allowed) a = rng() % 4 == 0 ? 0 : 1;
    FillList list;
    std::vector<uint8_t> mask = c.mask;
    BuildFillList(list, mask.data(), c.w, c.h, c.r);
    EngineParams params;
    params.width = c.w;
    params.height = c.h;
    params.stride = 3 * c.w;
    params.radius = r;
    params.method = method;
    params.search_radius = s;
    params.source_mask = allowed.empty() ? nullptr : allowed.data();
    params.record_sources = true;
    const Outcome want = Fill<Engine>(c, params, list.order, 1, nullptr, -1);  // one by one
    for (int threads : {1, 2, 4}) {
      EngineParams q = params;
      if (threads == 4) q.cpu_pool = std::make_shared<ThreadPool>(threads);
      for (bool random : {true, false}) {
        SCOPED_TRACE(::testing::Message() << (random ? "random order" : "side by side")
                                          << ", trial " << trial << ", " << threads);
        const Outcome got = Fill<Engine>(c, q, list.order, threads == 4 ? 1 : threads,
                                         random ? &rng : nullptr, s + r);
        ASSERT_EQ(got.image, want.image);
        ASSERT_EQ(got.mask, want.mask);
        ASSERT_EQ(got.sources, want.sources);
        ASSERT_EQ(got.passes, want.passes);
      }
    }
  }
}

TEST(Regions, AnyReadyOrderFillsTheSameBytesExhaustive) {
  ExpectAnyReadyOrderMatches<CpuExhaustiveEngine>(kMethodGpu);
}

TEST(Regions, AnyReadyOrderFillsTheSameBytesFast) {
  ExpectAnyReadyOrderMatches<CpuFastEngine>(kMethodGpuFast);
}

}  // namespace
}  // namespace pw
