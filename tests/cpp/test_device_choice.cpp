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

// Ruled out without a context only where no code of the build can run:
// machine code needs the same major version at or below the device's,
// PTX any version at or below it.
TEST(DeviceChoice, DevicesWithoutCodeAreKnownWithoutAContext) {
  const std::string release = "75-real 80-real 86-real 89-real 90-real 100-real 120";
  EXPECT_TRUE(LacksKernelImage(release, 5, 2));
  EXPECT_TRUE(LacksKernelImage(release, 7, 0));
  EXPECT_FALSE(LacksKernelImage(release, 7, 5));
  EXPECT_FALSE(LacksKernelImage(release, 8, 7));   // 8.6's code runs on 8.7
  EXPECT_FALSE(LacksKernelImage(release, 10, 3));
  EXPECT_TRUE(LacksKernelImage(release, 11, 0));   // 10.0's code does not, 12.0's PTX neither
  EXPECT_FALSE(LacksKernelImage(release, 12, 1));
  EXPECT_FALSE(LacksKernelImage(release, 13, 0));  // 12.0's PTX
  EXPECT_TRUE(LacksKernelImage("90", 8, 9));
  EXPECT_FALSE(LacksKernelImage("90", 9, 0));
  EXPECT_FALSE(LacksKernelImage("90", 10, 0));
  EXPECT_TRUE(LacksKernelImage("90-real", 10, 0));
  EXPECT_TRUE(LacksKernelImage("80-virtual", 7, 5));
  EXPECT_FALSE(LacksKernelImage("80-virtual", 8, 6));
  EXPECT_FALSE(LacksKernelImage("90a", 9, 0));
  for (const char* unknown : {"", "native", "all", "all-major", "75 native"})
    EXPECT_FALSE(LacksKernelImage(unknown, 5, 2)) << unknown;
}

CudaDeviceFacts Unchecked(int index, const char* name, int major, int minor) {
  CudaDeviceFacts f = Device(index, name, major, minor);
  f.pending = true;
  return f;
}

// A context is made only on the device a choice needs: "auto" and "cuda"
// check the devices in order up to the first usable one, "cuda:N" device N.
TEST(DeviceChoice, OnlyTheDeviceToBeUsedIsChecked) {
  std::vector<CudaDeviceFacts> facts = {Device(0, "Old", 5, 2, 209),
                                        Unchecked(1, "A", 9, 0), Unchecked(2, "B", 9, 0),
                                        Unchecked(3, "C", 9, 0)};
  std::vector<int> checked;
  auto check = [&checked](CudaDeviceFacts& f) { checked.push_back(f.index); };
  CheckDevices(facts, -1, check);
  EXPECT_EQ(checked, std::vector<int>{1});
  BackendStatus s = Summary(facts);
  EXPECT_EQ(s.cuda_auto_device, 1);
  EXPECT_EQ(s.description,
            "CUDA: A (compute capability 9.0); cuda:0 Old (compute capability 5.2) not "
            "usable: this build of patchwell has no kernel image for compute capability 5.2 "
            "(it was built for 7.5, 8.0, 8.6, 8.9, 9.0, 10.0, 12.0), cuda:1 A (compute "
            "capability 9.0), cuda:2 B (compute capability 9.0), cuda:3 C (compute "
            "capability 9.0)");

  CheckDevices(facts, -1, check);  // nothing new to learn
  CheckDevices(facts, 3, check);
  CheckDevices(facts, 7, check);   // no such device: nothing to check
  EXPECT_EQ(checked, (std::vector<int>{1, 3}));
  EXPECT_EQ(ChooseDevice(Summary(facts), Backend::Cuda, 3).cuda_device, 3);
  EXPECT_NE(Refusal(Summary(facts), 2).find("is not usable: it has not been checked"),
            std::string::npos);

  // A device whose check fails (PTX this driver cannot compile, say) is
  // passed over for the next; one lost to a fault is not checked again.
  std::vector<CudaDeviceFacts> more = {Unchecked(0, "A", 9, 0), Unchecked(1, "B", 9, 0),
                                       Unchecked(2, "C", 9, 0)};
  more[1].lost_error = "an illegal memory access was encountered";
  checked.clear();
  CheckDevices(more, -1, [&checked](CudaDeviceFacts& f) {
    checked.push_back(f.index);
    if (f.index == 0) f.image_status = 222;
  });
  EXPECT_EQ(checked, (std::vector<int>{0, 2}));
  EXPECT_EQ(Summary(more).cuda_auto_device, 2);
}

}  // namespace
}  // namespace pw
