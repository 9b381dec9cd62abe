// The Python module `patchwell`: the InpaintMethod enumeration, version,
// device_info and inpaint.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fill/engine.h"
#include "inpaint/driver.h"
#include "platform/console.h"
#include "python/array_arg.h"
#include "python/run_control.h"

namespace py = pybind11;

namespace pw::python {
namespace {

constexpr const char* kVersion = "Patchwell 1.0.2 (gpu)";

// The fill methods keep process-wide state (the CUDA constant window, the
// device variables): one inpaint at a time.
std::mutex& RunMutex() {
  static std::mutex m;
  return m;
}

// The figures of the last run that got as far as the fill (guarded by
// RunMutex).
RunStats& LastRunStats() {
  static RunStats stats;
  return stats;
}

py::dict LastRunStatsDict() {
  std::lock_guard<std::mutex> guard(RunMutex());
  const RunStats& s = LastRunStats();
  py::dict d;
  d["device"] = s.backend == Backend::Cuda ? "cuda" : "cpu";
  d["targets"] = s.targets;
  d["passes"] = s.passes;
  d["elapsed_ms"] = s.elapsed_ms;
  return d;
}

Backend ParseDevice(const std::string& device) {
  if (device == "auto") return Backend::Auto;
  if (device == "cpu") return Backend::Cpu;
  if (device == "cuda") return Backend::Cuda;
  throw py::value_error("device must be 'auto', 'cpu' or 'cuda', not '" +
                        device + "'");
}

void RequireWritableContiguous(const py::array& a, const char* what) {
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(std::string(what) +
                          " array must be C-contiguous (use numpy.ascontiguousarray)");
  if (!a.writeable())
    throw py::value_error(std::string(what) +
                          " array is read-only; inpaint changes it in place");
}

bool Inpaint(Uint8Array image_arg, Uint8Array mask_arg, int rad, int method,
             bool verbose, const std::string& device, py::object progress) {
  if (rad < 0 || rad > 127)
    throw py::value_error("rad must be between 0 and 127, got " +
                          std::to_string(rad));
  Backend requested = ParseDevice(device);
  // "cuda" is refused up front, with the reason, when no device is usable.
  if (requested == Backend::Cuda) requested = ResolveBackend(Backend::Cuda);
  if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
    throw py::type_error("progress must be None or a callable taking the percent");

  py::array& image = image_arg.array;
  py::array& mask = mask_arg.array;

  // Image: height x width x 3 bytes in packed rows.
  const py::ssize_t height = image.shape(0);
  const py::ssize_t width = image.shape(1);
  const py::ssize_t channels = image.shape(2);
  if (image.ndim() > 3)
    throw py::value_error("image must have shape (height, width, 3), got " +
                          std::to_string(image.ndim()) + " axes");
  if (channels != 3)
    throw py::value_error("image must have 3 channels on axis 2, got " +
                          std::to_string(channels));
  if (static_cast<uint64_t>(height) * static_cast<uint64_t>(width) * 3u >
      0x7FFFFFFFu)
    throw py::value_error("image larger than 2^31 - 1 bytes is not supported");
  RequireWritableContiguous(image, "image");

  // Mask: height x width bytes.
  const py::ssize_t mask_height = mask.shape(0);
  const py::ssize_t mask_width = mask.shape(1);
  if (mask_height != height || mask_width != width) {
    ConsolePrintf("Mask size do not match!");
    return false;
  }
  if (mask.size() != height * width)
    throw py::value_error("mask must hold height x width = " +
                          std::to_string(height * width) + " bytes, got " +
                          std::to_string(mask.size()));
  RequireWritableContiguous(mask, "mask");

  auto* image_bytes = static_cast<uint8_t*>(image.mutable_data());
  auto* mask_bytes = static_cast<uint8_t*>(mask.mutable_data());
  const int64_t pixels = static_cast<int64_t>(height) * width;
  for (int64_t i = 0; i < pixels; ++i)
    mask_bytes[i] = mask_bytes[i] > 128 ? 1 : 0;

  // A progress callback that starts another inpaint would wait for itself.
  thread_local bool in_run = false;
  if (in_run)
    throw std::runtime_error(
        "patchwell.inpaint cannot be called from a progress callback");
  struct RunFlag {
    bool& flag;
    explicit RunFlag(bool& f) : flag(f) { flag = true; }
    ~RunFlag() { flag = false; }
  } run_flag(in_run);

  RunControl control(std::move(progress));
  InpaintOptions options;
  options.backend = requested;
  control.Attach(options);
  bool result = false;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> one_at_a_time(RunMutex());
    options.stats = &LastRunStats();
    result = InpaintImage(image_bytes, mask_bytes, static_cast<int32_t>(width),
                          static_cast<int32_t>(height), rad, method, verbose,
                          options);
  }
  control.Finish();
  return result;
}

}  // namespace
}  // namespace pw::python

PYBIND11_MODULE(patchwell, m) {
  using namespace pw::python;

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const pw::DeviceMemoryError& e) {
      PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const pw::DeviceError& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const pw::BackendUnavailable& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });

  py::enum_<pw::Method>(m, "InpaintMethod")
      .value("InpaintCPU", pw::kMethodCpu)
      .value("InpaintGPU", pw::kMethodGpu)
      .value("InpaintGPUfast", pw::kMethodGpuFast)
      .export_values();

  m.def("version", [] { return std::string(kVersion); }, "return version");

  m.def(
      "inpaint",
      [](Uint8Array image_file, Uint8Array mask_file, int rad,
         pw::Method method, bool verbose, const std::string& device,
         py::object progress) {
        return Inpaint(std::move(image_file), std::move(mask_file), rad,
                       static_cast<int>(method), verbose, device,
                       std::move(progress));
      },
      py::arg("image_file"), py::arg("mask_file"), py::arg("rad"),
      py::arg("method"), py::arg("verbose") = false, py::kw_only(),
      py::arg("device") = "auto", py::arg("progress") = py::none(),
      R"doc(swap red and green channels

Inpaint an RGB image in place.

Parameters
----------
image_file : numpy.ndarray of uint8, shape (height, width, 3)
    The picture, changed in place (a C-contiguous, writable uint8 array;
    other element types are converted to a temporary copy).
mask_file : numpy.ndarray of uint8, shape (height, width)
    Bytes above 128 mark the pixels to fill. Binarised in place to 1/0;
    filled pixels end as 0, pixels that found no source stay 1.
rad : int
    Window radius, 0 to 127; windows are 2 * rad + 1 pixels square.
method : InpaintMethod
    InpaintGPU (exhaustive search), InpaintCPU (the same search, always on
    the CPU) or InpaintGPUfast (pruned search: candidates ranked by window
    mean and scored bucket by bucket; a different result, much faster).
verbose : bool
    Print statistics, progress marks and the elapsed time.
device : {'auto', 'cpu', 'cuda'}, keyword-only
    Where the fill runs; 'auto' uses CUDA when a device is usable.
progress : callable or None, keyword-only
    Called with the percent done (0 first, 100 last); before each call the
    image array holds the pixels filled so far. An exception raised by it
    stops the run and is re-raised.

Returns
-------
bool
    False when nothing was to be filled or the mask size does not match.
)doc");

  m.def("_last_run_stats", &LastRunStatsDict,
        "Figures of the last run: device ('cpu' or 'cuda'), targets "
        "processed, scoring passes of the pruned method, elapsed_ms. For "
        "benchmarks and tests.");

  m.def(
      "device_info", [] { return pw::QueryBackends().description; },
      "One line naming what device='auto' uses, for example "
      "'CPU: 2 threads'.");
}
