// What a run does when its threads cannot start, as under a process limit.
// These tests need the pthread_create shim of fail_thread_start.c
// preloaded; CTest runs them so (ThreadStartFailure) and skips them
// elsewhere.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <system_error>
#include <vector>

#include "fill/cpu/thread_count.h"
#include "fill/cpu/thread_pool.h"
#include "inpaint/driver.h"

namespace pw {
namespace {

using AllowStarts = void (*)(int);

AllowStarts Shim() {
  return reinterpret_cast<AllowStarts>(
      dlsym(RTLD_DEFAULT, "pw_fail_thread_starts_after"));
}

TEST(ThreadStartFailure, RunsRaiseWithTheBuffersUnchanged) {
  const AllowStarts allow = Shim();
  if (allow == nullptr) GTEST_SKIP() << "needs the pthread_create shim";
  const int w = 40, h = 30;
  std::vector<uint8_t> image(w * h * 3), mask(w * h, 0);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  for (int i = 0; i < 50; ++i) mask[i * 23] = 1;
  InpaintOptions options;
  options.backend = Backend::Cpu;
  options.escape_key = false;
  // No thread at all (the worker), then the worker but no pool helper; the
  // whole picture, and regions on crops (a search radius).
  for (int allowed : {0, 1, 10, 11}) {
    if (allowed >= 10) options.search_radius = 4;
    allowed %= 10;
    if (allowed == 1 && CpuThreadCount() < 2) continue;
    std::vector<uint8_t> img = image, msk = mask;
    allow(allowed);
    try {
      InpaintImage(img.data(), msk.data(), w, h, 2, kMethodGpu, false, options);
      ADD_FAILURE() << "a run without its threads reported success";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("cannot start"), std::string::npos)
          << e.what();
    }
    allow(-1);
    EXPECT_EQ(img, image) << allowed;
    EXPECT_EQ(msk, mask) << allowed;
  }
}

TEST(ThreadStartFailure, APoolEndsTheHelpersItStartedAndThrows) {
  const AllowStarts allow = Shim();
  if (allow == nullptr) GTEST_SKIP() << "needs the pthread_create shim";
  allow(2);
  EXPECT_THROW(ThreadPool pool(5), std::system_error);
  allow(-1);
  ThreadPool pool(3);
  int sum = 0;
  pool.ParallelFor(1, [&](int chunk, int) { sum += chunk + 1; });
  EXPECT_EQ(sum, 1);
}

}  // namespace
}  // namespace pw
