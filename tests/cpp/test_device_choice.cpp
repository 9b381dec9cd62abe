// Device choice from made-up probe facts: kernel images, device numbers,
// devices ruined by a fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fill/device_choice.h"

namespace pw {
namespace {

constexpr const char* kBuiltFor = "7.5, 8.0, 8.6, 8.9, 9.0, 10.0, 12.0";

CudaDeviceFacts Device(int index, const char* name, int major, int minor,
                       int image_status = 0, const char* lost = "") {
  CudaDeviceFacts f;
  f.index = index;
  f.name = name;
  f.major = major;
  f.minor = minor;
  f.image_status = image_status;
  f.lost_error = lost;
  return f;
}

BackendStatus Summary(const std::vector<CudaDeviceFacts>& facts) {
  std::vector<CudaDeviceStatus> devices;
  for (const CudaDeviceFacts& f : facts) devices.push_back(JudgeCudaDevice(f, kBuiltFor));
  return SummariseDevices(devices, "", "CPU: 2 threads");
}

std::string Refusal(const BackendStatus& s, int device) {
  try {
    ChooseDevice(s, Backend::Cuda, device);
  } catch (const BackendUnavailable& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(DeviceChoice, ArchitecturesReadAsComputeCapabilities) {
  EXPECT_EQ(ComputeCapabilityList("75-real 80-real 86-real 89-real 90-real 100-real 120"),
            kBuiltFor);
  EXPECT_EQ(ComputeCapabilityList(""), "");
}

// A device older than every kernel image of the build (status 209, "no
// kernel image is available"): "auto" stays on the CPU, "cuda" says which
// compute capability is missing.
TEST(DeviceChoice, DeviceWithoutKernelImageIsNotUsed) {
  const BackendStatus s = Summary({Device(0, "GeForce GTX 980", 5, 2, 209)});
  EXPECT_FALSE(s.cuda_usable);
  EXPECT_EQ(ChooseDevice(s, Backend::Auto, -1).backend, Backend::Cpu);
  EXPECT_EQ(s.description,
            "CPU: 2 threads; cuda:0 GeForce GTX 980 (compute capability 5.2) not usable: "
            "this build of patchwell has no kernel image for compute capability 5.2 "
            "(it was built for 7.5, 8.0, 8.6, 8.9, 9.0, 10.0, 12.0)");
  EXPECT_EQ(Refusal(s, -1),
            "no usable CUDA device: CUDA device 0 (GeForce GTX 980, compute capability "
            "5.2): this build of patchwell has no kernel image for compute capability 5.2 "
            "(it was built for 7.5, 8.0, 8.6, 8.9, 9.0, 10.0, 12.0)");
  EXPECT_EQ(Refusal(s, 0).find("CUDA device 0 (GeForce GTX 980, compute capability 5.2) "
                               "is not usable: this build of patchwell has no kernel image "
                               "for compute capability 5.2"),
            0u);
}

TEST(DeviceChoice, DeviceNumbersPickTheirDevice) {
  const BackendStatus s =
      Summary({Device(0, "Old", 6, 1, 98), Device(1, "A", 8, 6), Device(2, "B", 9, 0)});
  EXPECT_EQ(s.cuda_auto_device, 1);
  EXPECT_EQ(s.description,
            "CUDA: A (compute capability 8.6); cuda:0 Old (compute capability 6.1) not "
            "usable: this build of patchwell has no kernel image for compute capability 6.1 "
            "(it was built for 7.5, 8.0, 8.6, 8.9, 9.0, 10.0, 12.0), cuda:1 A (compute "
            "capability 8.6), cuda:2 B (compute capability 9.0)");
  const DeviceChoice any = ChooseDevice(s, Backend::Cuda, -1);
  EXPECT_EQ(any.backend, Backend::Cuda);
  EXPECT_EQ(any.cuda_device, 1);
  EXPECT_EQ(ChooseDevice(s, Backend::Cuda, 2).cuda_device, 2);
  EXPECT_EQ(ChooseDevice(s, Backend::Cpu, 2).backend, Backend::Cpu);
  EXPECT_EQ(Refusal(s, 3),
            "CUDA device 3 does not exist: the CUDA runtime reports 3 devices (cuda:0 to "
            "cuda:2)");
  EXPECT_EQ(Refusal(SummariseDevices({}, "CUDA driver version is insufficient", "CPU"), 0),
            "no usable CUDA device: CUDA driver version is insufficient");

  // One device that works: named alone.
  EXPECT_EQ(Summary({Device(0, "A", 8, 6)}).description, "CUDA: A (compute capability 8.6)");
}

// A device whose context a fault ruined: "auto" takes another device, or
// the CPU with word of the fault; "cuda" asks for a restart.
TEST(DeviceChoice, DeviceRuinedByAFaultIsLeftAlone) {
  const char* fault = "an illegal memory access was encountered";
  const BackendStatus both = Summary({Device(0, "A", 8, 6, 0, fault), Device(1, "B", 9, 0)});
  const DeviceChoice other = ChooseDevice(both, Backend::Auto, -1);
  EXPECT_EQ(other.cuda_device, 1);
  EXPECT_FALSE(other.fell_back_after_fault);

  const BackendStatus one = Summary({Device(0, "A", 8, 6, 0, fault)});
  const DeviceChoice cpu = ChooseDevice(one, Backend::Auto, -1);
  EXPECT_EQ(cpu.backend, Backend::Cpu);
  EXPECT_TRUE(cpu.fell_back_after_fault);
  EXPECT_EQ(cpu.fault,
            "CUDA device 0 (A, compute capability 8.6): it failed earlier in this process "
            "(an illegal memory access was encountered) and cannot be used again: restart "
            "the process to use it");
  EXPECT_EQ(one.description,
            "CPU: 2 threads; cuda:0 A (compute capability 8.6) failed earlier: restart the "
            "process to use it");
  for (int device : {-1, 0})
    EXPECT_NE(Refusal(one, device).find("restart the process to use it"), std::string::npos);
  // A device without a context is not usable either, and says why.
  CudaDeviceFacts no_context = Device(0, "C", 9, 0);
  no_context.context_error = "out of memory";
  EXPECT_EQ(JudgeCudaDevice(no_context, kBuiltFor).reason,
            "cannot create a context: out of memory");
}

}  // namespace
}  // namespace pw
