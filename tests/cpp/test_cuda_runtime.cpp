// The CUDA runtime support on the emulated device: the probe, device
// numbers, a device ruined by a fault, and allocation sizes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fill/cuda/cuda_common.h"
#include "fill/device_choice.h"
#include "fill/engine.h"
#include "inpaint/driver.h"

namespace pw {
namespace {

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A 24 x 20 picture with a few pixels to fill.
struct Picture {
  int w = 24, h = 20;
  std::vector<uint8_t> image = std::vector<uint8_t>(24 * 20 * 3);
  std::vector<uint8_t> mask = std::vector<uint8_t>(24 * 20, 0);
  Picture() {
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 % 251);
    for (int i : {50, 51, 210, 333}) mask[i] = 1;
  }
  bool Inpaint(const InpaintOptions& options) {
    return InpaintImage(image.data(), mask.data(), w, h, 2, kMethodGpu, false, options);
  }
};

InpaintOptions On(Backend backend, int device = -1, RunStats* stats = nullptr) {
  InpaintOptions o;
  o.backend = backend;
  o.cuda_device = device;
  o.escape_key = false;
  o.stats = stats;
  return o;
}

TEST(EmulatedDevice, IsTheOneUsableDeviceAndSelectedByNumber) {
  const BackendStatus s = QueryBackends();
  ASSERT_EQ(s.cuda_devices.size(), 1u);
  EXPECT_TRUE(s.cuda_usable);
  EXPECT_EQ(s.description.rfind("CUDA: emulated on ", 0), 0u) << s.description;
  EXPECT_TRUE(Has(s.description, "(compute capability ")) << s.description;

  RunStats stats;
  Picture p;
  EXPECT_TRUE(p.Inpaint(On(Backend::Cuda, 0, &stats)));
  EXPECT_EQ(stats.backend, Backend::Cuda);
  EXPECT_EQ(stats.targets, 4);
  try {
    Picture().Inpaint(On(Backend::Cuda, 1));
    FAIL() << "device 1 does not exist";
  } catch (const BackendUnavailable& e) {
    EXPECT_STREQ(e.what(),
                 "CUDA device 1 does not exist: the CUDA runtime reports 1 device (cuda:0)");
  }
}

// After an illegal address the context is gone for good: the run fails as
// any CUDA error does, "auto" moves to the CPU with one warning, and "cuda"
// says that only a restart helps. Ordinary errors change nothing.
TEST(EmulatedDevice, FaultThatRuinsTheContextRetiresTheDevice) {
  EXPECT_THROW(cuda::cuda_check_status(cudaErrorInvalidValue, "test", 1, "stamp"),
               DeviceError);
  ASSERT_TRUE(QueryBackends().cuda_usable);
  EXPECT_FALSE(cuda::cuda_status_is_sticky(cudaErrorInvalidValue));
  EXPECT_FALSE(cuda::cuda_status_is_sticky(cudaErrorMemoryAllocation));
  EXPECT_TRUE(cuda::cuda_status_is_sticky(cudaErrorLaunchFailure));

  // The fault strikes on the worker, after the upload, before the first fill.
  struct Fault : ProgressSink {
    void Report(int percent, double) override {
      if (percent == 0) cuda::emulation::inject_sticky_fault(cudaErrorIllegalAddress);
    }
  } fault;
  InpaintOptions options = On(Backend::Cuda);
  options.progress = &fault;
  Picture p;
  try {
    p.Inpaint(options);
    FAIL() << "the run went on after the fault";
  } catch (const DeviceError& e) {
    // Found pending at the next check, as a kernel's fault is.
    EXPECT_STREQ(e.what(), "CUDA Error Prev: an illegal memory access was encountered");
  }
  cuda::emulation::inject_sticky_fault(cudaSuccess);  // it would stay broken

  RunStats stats;
  for (int run = 0; run < 2; ++run) {
    ::testing::internal::CaptureStderr();
    Picture q;
    EXPECT_TRUE(q.Inpaint(On(Backend::Auto, -1, &stats)));
    EXPECT_EQ(stats.backend, Backend::Cpu);
    const std::string warning = ::testing::internal::GetCapturedStderr();
    if (run == 0)
      EXPECT_EQ(warning,
                "patchwell: warning: CUDA device 0 (" + QueryBackends().cuda_devices[0].name +
                    ", compute capability 7.0): it failed earlier in this process (an illegal memory access was "
                    "encountered) and cannot be used again: restart the process to use "
                    "it; running on the CPU instead\n");
    else
      EXPECT_EQ(warning, "") << "the warning comes once";
  }
  for (int device : {-1, 0}) {
    try {
      Picture().Inpaint(On(Backend::Cuda, device));
      FAIL() << "device " << device << " ran after the fault";
    } catch (const BackendUnavailable& e) {
      EXPECT_TRUE(Has(e.what(), "restart the process")) << e.what();
    }
  }
  EXPECT_TRUE(Has(QueryBackends().description, "cuda:0 emulated on ")) << QueryBackends().description;
  EXPECT_EQ(QueryBackends().description.rfind("CPU: ", 0), 0u);
}

// 2^29 + 1 ints are 2^31 + 4 bytes: requested and counted in 64 bits, not
// wrapped to 4 (the count holds refused requests too).
TEST(EmulatedDevice, AllocationSizesDoNotWrap) {
  const int64_t bytes = (int64_t{1} << 31) + 4;
  const int64_t before = cuda::cuda_allocated_bytes;
  int* p = cuda::cuda_alloc_ints((1 << 29) + 1);
  EXPECT_EQ(cuda::cuda_allocated_bytes - before, bytes);
  if (p != nullptr) {
    p[(1 << 29)] = 7;  // the last int is there
    cuda::cuda_free_counted(p, bytes);
  }
  EXPECT_EQ(cuda::cuda_alloc_ints(-1), nullptr);
}

}  // namespace
}  // namespace pw
