#include "fill/device_choice.h"

#include <sstream>
#include <string>

namespace pw {

namespace {

// CUDA runtime statuses of a kernel query on a device the build has no
// usable code for (CUDA's own numbers).
constexpr int kInvalidDeviceFunction = 98;
constexpr int kNoKernelImageForDevice = 209;
constexpr int kInvalidPtx = 218;
constexpr int kUnsupportedPtxVersion = 222;

std::string Capability(const CudaDeviceFacts& f) {
  return std::to_string(f.major) + "." + std::to_string(f.minor);
}

std::string Named(const CudaDeviceStatus& d) {
  return "CUDA device " + std::to_string(d.index) + " (" + d.name +
         ", compute capability " + d.capability + ")";
}

}  // namespace

CudaDeviceStatus JudgeCudaDevice(const CudaDeviceFacts& f,
                                 const std::string& built_for) {
  CudaDeviceStatus d;
  d.index = f.index;
  d.name = f.name;
  d.capability = Capability(f);
  d.description = f.name + " (compute capability " + d.capability + ")";
  if (!f.context_error.empty()) {
    d.reason = "cannot create a context: " + f.context_error;
  } else if (f.image_status == kNoKernelImageForDevice ||
             f.image_status == kInvalidDeviceFunction ||
             f.image_status == kInvalidPtx ||
             f.image_status == kUnsupportedPtxVersion) {
    d.reason = "this build of patchwell has no kernel image for compute "
               "capability " + Capability(f);
    if (!built_for.empty()) d.reason += " (it was built for " + built_for + ")";
  } else if (f.image_status != 0) {
    d.reason = "cannot load the kernels: " + f.image_error;
  } else if (!f.lost_error.empty()) {
    d.lost = true;
    d.reason = "it failed earlier in this process (" + f.lost_error +
               ") and cannot be used again: restart the process to use it";
  } else if (f.pending) {
    d.pending = true;
    d.reason = "it has not been checked";
  } else {
    d.usable = true;
  }
  return d;
}

bool LacksKernelImage(const std::string& cmake_architectures, int major,
                      int minor) {
  std::istringstream in(cmake_architectures);
  std::string item;
  bool any = false;
  while (in >> item) {
    size_t digits = 0;
    while (digits < item.size() && item[digits] >= '0' && item[digits] <= '9')
      ++digits;
    // "native", "all": anything may be there.
    if (digits < 2 || digits > 4) return false;
    const int x = std::stoi(item.substr(0, digits - 1));
    const int y = item[digits - 1] - '0';
    // "-real" is machine code only, "-virtual" PTX only, a bare number both;
    // an arch-specific "90a" or family "100f" is taken as both, so that it
    // never rules a device out.
    const std::string kind = item.substr(digits);
    const bool real = kind != "-virtual";
    const bool ptx = kind != "-real";
    if (real && x == major && y <= minor) return false;
    if (ptx && (x < major || (x == major && y <= minor))) return false;
    any = true;
  }
  return any;
}

void CheckDevices(std::vector<CudaDeviceFacts>& devices, int wanted,
                  const std::function<void(CudaDeviceFacts&)>& check) {
  auto check_once = [&check](CudaDeviceFacts& f) {
    if (!f.pending) return;
    check(f);
    f.pending = false;
  };
  if (wanted >= 0) {
    if (static_cast<size_t>(wanted) < devices.size())
      check_once(devices[static_cast<size_t>(wanted)]);
    return;
  }
  for (CudaDeviceFacts& f : devices) {
    if (!f.lost_error.empty()) continue;
    check_once(f);
    if (JudgeCudaDevice(f, "").usable) return;
  }
}

std::string ComputeCapabilityList(const std::string& cmake_architectures) {
  std::istringstream in(cmake_architectures);
  std::string item, out;
  while (in >> item) {
    std::string digits;
    for (char c : item) {
      if (c < '0' || c > '9') break;
      digits += c;
    }
    if (digits.size() < 2) continue;
    if (!out.empty()) out += ", ";
    out += digits.substr(0, digits.size() - 1) + "." + digits.back();
  }
  return out;
}

BackendStatus SummariseDevices(const std::vector<CudaDeviceStatus>& devices,
                               const std::string& runtime_error,
                               const std::string& cpu_description) {
  BackendStatus s;
  s.cuda_devices = devices;
  bool all_usable = true;
  for (const CudaDeviceStatus& d : devices) {
    all_usable = all_usable && (d.usable || d.pending);
    if (d.usable && s.cuda_auto_device < 0) s.cuda_auto_device = d.index;
  }
  s.cuda_usable = s.cuda_auto_device >= 0;
  if (devices.empty()) {
    s.cuda_reason = runtime_error.empty() ? "the CUDA runtime reports no device"
                                          : runtime_error;
  } else if (!s.cuda_usable) {
    for (const CudaDeviceStatus& d : devices) {
      if (!s.cuda_reason.empty()) s.cuda_reason += "; ";
      s.cuda_reason += Named(d) + ": " + d.reason;
    }
  }
  s.description = s.cuda_usable
                      ? "CUDA: " + devices[s.cuda_auto_device].description
                      : cpu_description;
  // A single device that runs is named above; otherwise list them all.
  if (devices.size() > 1 || (!devices.empty() && !all_usable)) {
    std::string list;
    for (const CudaDeviceStatus& d : devices) {
      list += list.empty() ? "; " : ", ";
      list += "cuda:" + std::to_string(d.index) + " " + d.description;
      if (d.lost) list += " failed earlier: restart the process to use it";
      else if (!d.usable && !d.pending) list += " not usable: " + d.reason;
    }
    s.description += list;
  }
  return s;
}

DeviceChoice ChooseDevice(const BackendStatus& s, Backend requested,
                          int cuda_device) {
  DeviceChoice c;
  if (requested == Backend::Cpu) return c;
  if (requested == Backend::Auto) {
    if (s.cuda_usable) {
      c.backend = Backend::Cuda;
      c.cuda_device = s.cuda_auto_device;
      return c;
    }
    for (const CudaDeviceStatus& d : s.cuda_devices)
      if (d.lost) {
        c.fell_back_after_fault = true;
        c.fault = Named(d) + ": " + d.reason;
        break;
      }
    return c;
  }
  if (cuda_device < 0) {
    if (!s.cuda_usable)
      throw BackendUnavailable("no usable CUDA device: " + s.cuda_reason);
    c.backend = Backend::Cuda;
    c.cuda_device = s.cuda_auto_device;
    return c;
  }
  const size_t n = s.cuda_devices.size();
  if (n == 0) throw BackendUnavailable("no usable CUDA device: " + s.cuda_reason);
  if (static_cast<size_t>(cuda_device) >= n)
    throw BackendUnavailable(
        "CUDA device " + std::to_string(cuda_device) +
        " does not exist: the CUDA runtime reports " +
        (n == 1 ? std::string("1 device (cuda:0)")
                : std::to_string(n) + " devices (cuda:0 to cuda:" +
                      std::to_string(n - 1) + ")"));
  const CudaDeviceStatus& d = s.cuda_devices[static_cast<size_t>(cuda_device)];
  if (!d.usable)
    throw BackendUnavailable(Named(d) + " is not usable: " + d.reason);
  c.backend = Backend::Cuda;
  c.cuda_device = cuda_device;
  return c;
}

}  // namespace pw
