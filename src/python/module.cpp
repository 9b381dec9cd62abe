// The Python module `patchwell`: the InpaintMethod enumeration, version,
// inpaint_file, inpaint and device_info.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fill/engine.h"
#include "inpaint/driver.h"
#include "inpaint/file_entry.h"
#include "inpaint/run_lock.h"
#include "inpaint/version.h"
#include "platform/console.h"
#include "python/array_arg.h"
#include "python/path_arg.h"
#include "python/run_control.h"

namespace py = pybind11;

namespace pw::python {
namespace {

// The figures of the last run that got as far as the fill (guarded by the
// run mutex).
RunStats& LastRunStats() {
  static RunStats stats;
  return stats;
}

py::dict LastRunStatsDict() {
  std::lock_guard<std::mutex> guard(InpaintRunMutex());
  const RunStats& s = LastRunStats();
  py::dict d;
  d["device"] = s.backend == Backend::Cuda ? "cuda" : "cpu";
  d["targets"] = s.targets;
  d["passes"] = s.passes;
  d["elapsed_ms"] = s.elapsed_ms;
  return d;
}

// Marks the calling thread as running an inpaint. A progress callback that
// started another one would wait for the run it is part of.
class RunningHere {
 public:
  RunningHere() {
    if (running_)
      throw std::runtime_error(
          "patchwell.inpaint cannot be called from a progress callback");
    running_ = true;
  }
  ~RunningHere() { running_ = false; }
  RunningHere(const RunningHere&) = delete;
  RunningHere& operator=(const RunningHere&) = delete;

 private:
  static thread_local bool running_;
};
thread_local bool RunningHere::running_ = false;

Backend ParseDevice(const std::string& device) {
  if (device == "auto") return Backend::Auto;
  if (device == "cpu") return Backend::Cpu;
  if (device == "cuda") return Backend::Cuda;
  throw py::value_error("device must be 'auto', 'cpu' or 'cuda', not '" +
                        device + "'");
}

// The radius as a Python int of any size: out of range is a ValueError,
// however large.
int CheckRadius(const py::int_& rad) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(rad.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || value < 0 || value > 127)
    throw py::value_error("rad must be between 0 and 127, got " +
                          std::string(py::repr(rad)));
  return static_cast<int>(value);
}

// The device argument; "cuda" is refused up front, with the reason, when no
// device is usable.
Backend RequestedBackend(const std::string& device) {
  Backend requested = ParseDevice(device);
  if (requested == Backend::Cuda) requested = ResolveBackend(Backend::Cuda);
  return requested;
}

// search_radius: None (the whole image) or an int >= 0; values past the
// int32 range mean the whole image as well.
int32_t CheckSearchRadius(const py::object& value) {
  if (value.is_none()) return -1;
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
    throw py::type_error("search_radius must be an int or None, not " +
                         std::string(py::str(py::type::of(value).attr("__name__"))));
  const py::int_ number = py::reinterpret_steal<py::int_>(PyNumber_Index(value.ptr()));
  if (!number) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow < 0 || (overflow == 0 && v < 0))
    throw py::value_error("search_radius must be 0 or more, got " +
                          std::string(py::repr(number)));
  if (overflow > 0 || v > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(v);
}

// source_mask: None, or a C-contiguous bool or uint8 array of height x width
// (non-zero allows a centre). It is only read.
std::optional<py::array> CheckSourceMask(const py::object& value,
                                         py::ssize_t height, py::ssize_t width) {
  if (value.is_none()) return std::nullopt;
  if (!py::isinstance<py::array>(value))
    throw py::type_error("source_mask must be a numpy array of bool or uint8, or None");
  py::array a = py::reinterpret_borrow<py::array>(value);
  const char kind = a.dtype().kind();
  if (a.itemsize() != 1 || (kind != 'b' && kind != 'u'))
    throw py::type_error("source_mask must be of dtype bool or uint8, not " +
                         std::string(py::str(a.dtype())) +
                         " (use source_mask.astype(bool))");
  if (a.ndim() != 2 || a.shape(0) != height || a.shape(1) != width) {
    std::string shape = "(";
    for (py::ssize_t k = 0; k < a.ndim(); ++k)
      shape += (k ? ", " : "") + std::to_string(a.shape(k));
    throw py::value_error("source_mask must have shape (height, width) = (" +
                          std::to_string(height) + ", " + std::to_string(width) +
                          "), got " + shape + (a.ndim() == 1 ? ",)" : ")"));
  }
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(
        "source_mask array must be C-contiguous (use numpy.ascontiguousarray)");
  return a;
}

void CheckProgress(const py::object& progress) {
  if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
    throw py::type_error("progress must be None or a callable taking the percent");
}

void RequireWritableContiguous(const py::array& a, const char* what) {
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(std::string(what) +
                          " array must be C-contiguous (use numpy.ascontiguousarray)");
  if (!a.writeable())
    throw py::value_error(std::string(what) +
                          " array is read-only; inpaint changes it in place");
}

bool Inpaint(Uint8Array image_arg, Uint8Array mask_arg, const py::int_& rad_arg, int method,
             bool verbose, const std::string& device, py::object progress,
             const py::object& search_radius_arg, const py::object& source_mask_arg) {
  const RunningHere running;
  const int rad = CheckRadius(rad_arg);
  const Backend requested = RequestedBackend(device);
  CheckProgress(progress);
  const int32_t search_radius = CheckSearchRadius(search_radius_arg);

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
  const std::optional<py::array> source_mask =
      CheckSourceMask(source_mask_arg, height, width);

  auto* image_bytes = static_cast<uint8_t*>(image.mutable_data());
  auto* mask_bytes = static_cast<uint8_t*>(mask.mutable_data());
  const int64_t pixels = static_cast<int64_t>(height) * width;
  for (int64_t i = 0; i < pixels; ++i)
    mask_bytes[i] = mask_bytes[i] > 128 ? 1 : 0;

  RunControl control(std::move(progress));
  InpaintOptions options;
  options.backend = requested;
  options.search_radius = search_radius;
  if (source_mask)
    options.source_mask = static_cast<const uint8_t*>(source_mask->data());
  control.Attach(options);
  bool result = false;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> one_at_a_time(InpaintRunMutex());
    options.stats = &LastRunStats();
    result = InpaintImage(image_bytes, mask_bytes, static_cast<int32_t>(width),
                          static_cast<int32_t>(height), rad, method, verbose,
                          options);
  }
  control.Finish();
  return result;
}

bool InpaintFileEntry(const PathArg& image_file, const PathArg& mask_file,
                      const OptionalPathArg& out_file, const py::int_& rad_arg, int method,
                      bool verbose, const std::string& device,
                      py::object progress, const py::object& search_radius_arg,
                      const OptionalPathArg& source_mask_file) {
  const RunningHere running;
  const int rad = CheckRadius(rad_arg);
  const Backend requested = RequestedBackend(device);
  CheckProgress(progress);
  RunControl control(std::move(progress));
  FileRunOptions options;
  options.inpaint.backend = requested;
  options.inpaint.search_radius = CheckSearchRadius(search_radius_arg);
  if (source_mask_file.present) options.source_mask_file = source_mask_file.path;
  control.Attach(options.inpaint);
  // A run stopped by Ctrl+C or by the progress callback raises instead of
  // writing a half-filled picture.
  options.abandoned = [&control] { return control.SettleAfterRun(); };
  bool result = false;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> one_at_a_time(InpaintRunMutex());
    options.inpaint.stats = &LastRunStats();
    result = InpaintFile(image_file.path, mask_file.path, out_file.get(), rad,
                         method, verbose, options);
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

  m.def("version", [] { return std::string(pw::kVersionText); },
        "return version");

  m.def(
      "inpaint_file",
      [](const PathArg& image_file, const PathArg& mask_file,
         const OptionalPathArg& out_file, const py::int_& rad, pw::Method method,
         bool verbose, const std::string& device, py::object progress,
         const py::object& search_radius, const OptionalPathArg& source_mask) {
        return InpaintFileEntry(image_file, mask_file, out_file, rad,
                                static_cast<int>(method), verbose, device,
                                std::move(progress), search_radius, source_mask);
      },
      py::arg("image_file"), py::arg("mask_file"),
      py::arg("out_file") = py::none(), py::arg("rad"), py::arg("method"),
      py::arg("verbose") = false, py::kw_only(), py::arg("device") = "auto",
      py::arg("progress") = py::none(), py::arg("search_radius") = py::none(),
      py::arg("source_mask") = py::none(),
      R"doc(load weights

Inpaint an image file and write the result to another file.

Parameters
----------
image_file : str
    The picture to repair. Its extension picks the format: .png, .jpg,
    .jpeg, .bmp, .ppm, .txt or .dat.
mask_file : str
    A picture of the same size; pixels whose gray value is above 128 are
    filled. Any readable format.
out_file : str or None
    Where to write the result; its extension picks the format (.png, .jpg,
    .bmp, .ppm, .pgm, .pbm, .txt, .dat, .cpp, .cxx). None or "" writes next
    to image_file with "_inpaint" before the extension.
rad : int
    Window radius, 0 to 127; windows are 2 * rad + 1 pixels square. Pass it
    by keyword when out_file is left out.
method : InpaintMethod
    InpaintGPU (exhaustive search), InpaintCPU (the same search, always on
    the CPU) or InpaintGPUfast (pruned search).
verbose : bool
    Print statistics, progress marks, the elapsed time and the output name.
device : {'auto', 'cpu', 'cuda'}, keyword-only
    Where the fill runs; 'auto' uses CUDA when a device is usable.
progress : callable or None, keyword-only
    Called with the percent done (0 first, 100 last). An exception raised by
    it stops the run and is re-raised; nothing is written then.
search_radius : int or None, keyword-only
    Take sources only from windows centred within this many pixels of the
    pixel being filled, in both axes. None searches the whole image.
source_mask : str or None, keyword-only
    A picture of the image's size; sources are taken only from pixels
    whose gray value is above 128.

Returns
-------
bool
    True when the image was inpainted and written. False, with a message,
    when a file could not be read ("Error openning image: ...", "Error
    openning mask: ..."), the mask's size differs, nothing was to be filled
    ("Nothing to inpaint!") or the output could not be written ("Error
    saving image: ...").
)doc");

  m.def(
      "inpaint",
      [](Uint8Array image_file, Uint8Array mask_file, const py::int_& rad,
         pw::Method method, bool verbose, const std::string& device,
         py::object progress, const py::object& search_radius,
         const py::object& source_mask) {
        return Inpaint(std::move(image_file), std::move(mask_file), rad,
                       static_cast<int>(method), verbose, device,
                       std::move(progress), search_radius, source_mask);
      },
      py::arg("image_file"), py::arg("mask_file"), py::arg("rad"),
      py::arg("method"), py::arg("verbose") = false, py::kw_only(),
      py::arg("device") = "auto", py::arg("progress") = py::none(),
      py::arg("search_radius") = py::none(), py::arg("source_mask") = py::none(),
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
    the CPU) or InpaintGPUfast (pruned search).
verbose : bool
    Print statistics, progress marks and the elapsed time.
device : {'auto', 'cpu', 'cuda'}, keyword-only
    Where the fill runs; 'auto' uses CUDA when a device is usable.
progress : callable or None, keyword-only
    Called with the percent done (0 first, 100 last); before each call the
    image array holds the pixels filled so far. An exception raised by it
    stops the run and is re-raised.
search_radius : int or None, keyword-only
    Take sources only from windows centred within this many pixels of the
    pixel being filled, in both axes (|cx - x| <= S and |cy - y| <= S).
    None searches the whole image.
source_mask : numpy.ndarray of bool or uint8, shape (height, width), or None, keyword-only
    Take sources only from pixels where it is non-zero (True). Never
    changed.

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
