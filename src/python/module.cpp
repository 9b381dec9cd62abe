// patchwell._core, the compiled core of the package patchwell: the
// InpaintMethod enumeration, version, device_info and the typed entry points
// behind the package's inpaint, inpaint_file, repair and batches. The
// package converts and checks the arguments; the entries here check only
// what keeps them inside the buffers they are given (types, shapes,
// contiguity, writability, sizes).
#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "fill/cpu/thread_count.h"
#include "fill/device_choice.h"
#include "fill/engine.h"
#include "image/image_files.h"
#include "image/image_limits.h"
#include "inpaint/source_copy.h"
#include "inpaint/driver.h"
#include "inpaint/estimate.h"
#include "inpaint/feasibility.h"
#include "inpaint/file_entry.h"
#include "inpaint/run_lock.h"
#include "inpaint/version.h"
#include "platform/console.h"
#include "python/run_control.h"

namespace py = pybind11;

namespace pw::python {
namespace {

// The figures of the last run that got as far as the fill, under a lock of
// their own: a reader (another thread, a progress callback) never waits for
// a run, and a run never waits for the interpreter lock while holding it.
std::mutex* g_stats_mutex = nullptr;
RunStats g_last_stats;
std::once_flag g_stats_once;

std::mutex& StatsMutex() {
  std::call_once(g_stats_once, [] {
    g_stats_mutex = new std::mutex;
    // A forked child must not inherit it held by a thread it lacks.
    pthread_atfork(nullptr, nullptr, [] { g_stats_mutex = new std::mutex; });
  });
  return *g_stats_mutex;
}

// Collects one run's figures and publishes them when the run has reached
// InpaintImage (which resets them first), on every way out.
class StatsRecorder {
 public:
  StatsRecorder() { stats_.targets = -1; }  // not reached yet
  ~StatsRecorder() {
    if (stats_.targets < 0) return;
    std::lock_guard<std::mutex> guard(StatsMutex());
    g_last_stats = stats_;
  }
  StatsRecorder(const StatsRecorder&) = delete;
  StatsRecorder& operator=(const StatsRecorder&) = delete;
  RunStats* get() { return &stats_; }

 private:
  RunStats stats_;
};

py::dict LastRunStatsDict() {
  RunStats s;
  {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> guard(StatsMutex());
    s = g_last_stats;
  }
  py::dict d;
  d["device"] = s.backend == Backend::Cuda ? "cuda" : "cpu";
  d["targets"] = s.targets;
  d["no_source"] = s.no_source;
  d["passes"] = s.passes;
  d["regions"] = s.regions;
  d["launches"] = s.launches;
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

// The device of a run: "auto", "cpu" or "cuda" with a device number (-1:
// the first usable one). A CUDA device that cannot run is refused here,
// with the reason, before anything is changed.
struct Device {
  Backend backend;
  int cuda_device;
};

Device RequestedDevice(const std::string& name, int cuda_device) {
  if (name == "auto") return {Backend::Auto, -1};
  if (name == "cpu") return {Backend::Cpu, -1};
  if (name != "cuda")
    throw py::value_error("device must be 'auto', 'cpu' or 'cuda', not '" + name + "'");
  if (cuda_device < -1)
    throw py::value_error("cuda_device must be -1 or a device number");
  ResolveDevice(Backend::Cuda, cuda_device);
  return {Backend::Cuda, cuda_device};
}

int32_t SearchRadius(const std::optional<int32_t>& search_radius) {
  if (!search_radius) return -1;
  if (*search_radius < 0)
    throw py::value_error("search_radius must be 0 or more, got " +
                          std::to_string(*search_radius));
  return *search_radius;
}

// One byte per element: uint8, or bool where `bools` allows it.
bool IsByteArray(const py::array& a, bool bools) {
  const char kind = a.dtype().kind();
  return a.itemsize() == 1 && (kind == 'u' || (bools && kind == 'b'));
}

void RequireContiguous(const py::array& a, const char* what) {
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(std::string(what) +
                          " array must be C-contiguous (use numpy.ascontiguousarray)");
}

void RequireWritableContiguous(const py::array& a, const char* what) {
  RequireContiguous(a, what);
  if (!a.writeable())
    throw py::value_error(std::string(what) +
                          " array is read-only; inpaint changes it in place");
}

// The arrays of an array run, checked to be what the fill addresses: an
// image of height x width x 3 bytes and a mask of height x width bytes in
// packed rows, both writable, and a source mask of height x width bytes.
struct Buffers {
  uint8_t* image;
  uint8_t* mask;
  bool bool_mask;  // True marks a hole instead of bytes above 128
  const uint8_t* source_mask;
  int32_t width;
  int32_t height;
};

Buffers CheckedBuffers(py::array& image, py::array& mask,
                       const std::optional<py::array>& source_mask) {
  if (!IsByteArray(image, false))
    throw py::type_error("image must be a uint8 array");
  if (image.ndim() != 3)
    throw py::value_error("image must have shape (height, width, 3), got " +
                          std::to_string(image.ndim()) + " axes");
  if (image.shape(2) != 3)
    throw py::value_error("image must have 3 channels on axis 2, got " +
                          std::to_string(image.shape(2)) +
                          " (patchwell.repair takes gray and RGBA pictures)");
  const py::ssize_t height = image.shape(0);
  const py::ssize_t width = image.shape(1);
  if (static_cast<uint64_t>(height) * static_cast<uint64_t>(width) * 3u > 0x7FFFFFFFu)
    throw py::value_error("image larger than 2^31 - 1 bytes is not supported");
  RequireWritableContiguous(image, "image");

  if (!IsByteArray(mask, true))
    throw py::type_error("mask must be a uint8 or bool array");
  if (mask.size() != height * width)
    throw py::value_error("mask must hold height x width = " +
                          std::to_string(height * width) + " bytes, got " +
                          std::to_string(mask.size()));
  RequireWritableContiguous(mask, "mask");

  const uint8_t* allowed = nullptr;
  if (source_mask) {
    const py::array& a = *source_mask;
    if (!IsByteArray(a, true))
      throw py::type_error("source_mask must be a bool or uint8 array");
    if (a.ndim() != 2 || a.shape(0) != height || a.shape(1) != width) {
      std::string shape = "(";
      for (py::ssize_t k = 0; k < a.ndim(); ++k)
        shape += (k ? ", " : "") + std::to_string(a.shape(k));
      throw py::value_error("source_mask must have shape (height, width) = (" +
                            std::to_string(height) + ", " + std::to_string(width) +
                            "), got " + shape + (a.ndim() == 1 ? ",)" : ")"));
    }
    RequireContiguous(a, "source_mask");
    allowed = static_cast<const uint8_t*>(a.data());
  }
  return {static_cast<uint8_t*>(image.mutable_data()),
          static_cast<uint8_t*>(mask.mutable_data()),
          mask.dtype().kind() == 'b', allowed, static_cast<int32_t>(width),
          static_cast<int32_t>(height)};
}

// Runs `body` (which calls InpaintImage or InpaintFile) under the run lock,
// with the interpreter lock released and the console going to sys.stdout.
// Another thread's call waits here with the interpreter lock released, so a
// progress callback of the running call is never blocked by it.
template <class Body>
bool RunLocked(RunControl& control, InpaintOptions& options, const Body& body) {
  bool result = false;
  try {
    py::gil_scoped_release unlocked;
    std::lock_guard<std::mutex> one_at_a_time(InpaintRunMutex());
    ScopedConsoleRedirect to_python(control.console());
    StatsRecorder stats;
    options.stats = stats.get();
    result = body();
  } catch (...) {
    control.FinishAfterError();
    throw;
  }
  control.Finish();
  return result;
}

// How an array run differs between inpaint and the package's repair:
// repair does not listen to Escape, reports fractions of the work done, and
// refuses a job in which no hole can find a source.
struct ArrayRunMode {
  bool escape_key = true;
  bool fractions = false;
  bool refuse_impossible = false;
};

bool InpaintArrays(py::array image, py::array mask, int rad, Method method,
                   bool verbose, const std::string& device, int cuda_device,
                   const py::object& progress,
                   const std::optional<int32_t>& search_radius,
                   const std::optional<py::array>& source_mask,
                   const std::optional<py::array>& sources_arg,
                   const ArrayRunMode& mode) {
  const RunningHere running;
  // Every check comes before anything is changed.
  const Buffers b = CheckedBuffers(image, mask, source_mask);
  const Device requested = RequestedDevice(device, cuda_device);
  const int32_t domain = SearchRadius(search_radius);
  int32_t* sources = nullptr;
  if (sources_arg) {
    py::array map = *sources_arg;
    if (!py::isinstance<py::array_t<int32_t>>(map) || map.ndim() != 2 ||
        map.shape(0) != b.height || map.shape(1) != b.width)
      throw py::value_error("sources must be an int32 array of the image's height and width");
    RequireWritableContiguous(map, "sources");
    sources = static_cast<int32_t*>(map.mutable_data());
  }

  // Binarise in place: 1 marks a hole. A bool mask (True = hole) keeps its
  // meaning and comes back True where a hole is left.
  const int64_t pixels = static_cast<int64_t>(b.height) * b.width;
  for (int64_t i = 0; i < pixels; ++i)
    b.mask[i] = b.bool_mask ? b.mask[i] != 0 : b.mask[i] > 128;

  RunControl control(progress, mode.fractions);
  InpaintOptions options;
  options.backend = requested.backend;
  options.cuda_device = requested.cuda_device;
  options.search_radius = domain;
  options.escape_key = mode.escape_key;
  options.source_mask = b.source_mask;
  options.sources = sources;
  if (mode.refuse_impossible) {
    const JobShape job{b.mask, b.width, b.height, rad, method,
                       options.search_radius, options.source_mask};
    if (auto problem = ImpossibleJob(job, true)) throw py::value_error(*problem);
  }
  control.Attach(options);
  return RunLocked(control, options, [&] {
    return InpaintImage(b.image, b.mask, b.width, b.height, rad, method,
                        verbose, options);
  });
}

// inpaint_file's work: (written, holes, no_source), the counts for the
// warning about holes left.
py::tuple InpaintFileEntry(const std::string& image_file,
                      const std::optional<std::string>& mask_file,
                      const std::optional<std::string>& out_file, int rad,
                      Method method, bool verbose, const std::string& device,
                      int cuda_device, const py::object& progress,
                      const std::optional<int32_t>& search_radius,
                      const std::optional<std::string>& source_mask_file,
                      int quality) {
  const RunningHere running;
  const Device requested = RequestedDevice(device, cuda_device);
  RunControl control(progress);
  FileRunOptions options;
  options.inpaint.backend = requested.backend;
  options.inpaint.cuda_device = requested.cuda_device;
  options.inpaint.search_radius = SearchRadius(search_radius);
  options.source_mask_file = source_mask_file;
  // 0 (the package's "keep"): the quantisation of a JPEG input.
  options.keep_jpeg_quality = quality == 0;
  options.quality = quality == 0 ? Common::kDefaultJpegQuality : quality;
  options.mask_from_alpha = !mask_file;
  control.Attach(options.inpaint);
  // A run stopped by Ctrl+C or by the progress callback raises instead of
  // writing a half-filled picture; Ctrl+C also ends a long decode.
  options.abandoned = [&control] { return control.SettleAfterRun(); };
  options.stop_requested = [&control] { return control.StopRequested(); };
  FileRunResult result;
  const bool written = RunLocked(control, options.inpaint, [&] {
    return InpaintFile(image_file, mask_file.value_or(std::string()),
                       out_file ? &*out_file : nullptr, rad, method, verbose,
                       options, &result);
  });
  return py::make_tuple(written, result.holes, result.no_source);
}

// The file entry without its printed messages, for batch work: how the run
// ended, as a name, with the figures a status record needs. Escape is not
// watched (a batch has many runs, and workers have no terminal).
const char* FileRunStatusName(FileRunStatus status) {
  switch (status) {
    case FileRunStatus::Saved: return "saved";
    case FileRunStatus::ImageUnreadable: return "image_unreadable";
    case FileRunStatus::ImageTooLarge: return "image_too_large";
    case FileRunStatus::ImageEmpty: return "image_empty";
    case FileRunStatus::NoAlpha: return "no_alpha";
    case FileRunStatus::MaskUnreadable: return "mask_unreadable";
    case FileRunStatus::MaskTooLarge: return "mask_too_large";
    case FileRunStatus::MaskSizeDiffers: return "mask_size_differs";
    case FileRunStatus::MaskUnusable: return "mask_unusable";
    case FileRunStatus::SourceMaskUnreadable: return "source_mask_unreadable";
    case FileRunStatus::SourceMaskSizeDiffers: return "source_mask_size_differs";
    case FileRunStatus::SourceMaskTooLarge: return "source_mask_too_large";
    case FileRunStatus::OutputUnusable: return "output_unusable";
    case FileRunStatus::NothingToInpaint: return "nothing_to_inpaint";
    case FileRunStatus::Abandoned: return "abandoned";
    case FileRunStatus::NotSaved: return "not_saved";
    case FileRunStatus::Copied: return "copied";
    case FileRunStatus::Impossible: return "impossible";
    case FileRunStatus::OutputExists: return "output_exists";
  }
  return "failed";
}

py::dict RepairFileEntry(const std::string& image_file, const std::string& mask_file,
                         const std::string& out_file, int rad, Method method,
                         const std::string& device, int cuda_device,
                         const std::optional<int32_t>& search_radius,
                         const std::optional<std::string>& source_mask_file,
                         bool overwrite, int quality) {
  const RunningHere running;
  const Device requested = RequestedDevice(device, cuda_device);
  RunControl control{py::none()};
  FileRunOptions options;
  options.inpaint.backend = requested.backend;
  options.inpaint.cuda_device = requested.cuda_device;
  options.inpaint.search_radius = SearchRadius(search_radius);
  options.inpaint.escape_key = false;
  options.skip_empty_mask = true;
  // 0 (the package's "keep"): the quantisation of a JPEG input.
  options.keep_jpeg_quality = quality == 0;
  options.quality = quality == 0 ? Common::kDefaultJpegQuality : quality;
  // Batch outputs: a link in the output folder is replaced, never followed;
  // without overwrite an output that appears meanwhile is left alone.
  options.follow_output_links = false;
  options.replace_output = overwrite;
  options.copy_when_nothing_to_fill = true;
  options.refuse_impossible = true;
  options.source_mask_file = source_mask_file;
  control.Attach(options.inpaint);
  options.abandoned = [&control] { return control.SettleAfterRun(); };
  options.stop_requested = [&control] { return control.StopRequested(); };
  FileRunResult result;
  RunLocked(control, options.inpaint, [&] {
    result = RunFileInpaint(image_file, mask_file, &out_file, rad, method,
                            false, options);
    return result.status == FileRunStatus::Saved;
  });
  py::dict d;
  d["status"] = FileRunStatusName(result.status);
  d["holes"] = result.holes;
  d["unfilled"] = result.unfilled;
  d["no_source"] = result.no_source;
  d["problem"] = result.problem;
  d["reason"] = result.refusal;
  d["error"] = result.save_error != 0 ? std::strerror(result.save_error) : "";
  d["size"] = py::make_tuple(result.image_width, result.image_height);
  d["mask_size"] = py::make_tuple(result.mask_width, result.mask_height);
  d["orientation"] = result.orientation;
  d["declared_size"] =
      py::make_tuple(result.declared_width, result.declared_height);
  return d;
}

}  // namespace
}  // namespace pw::python

PYBIND11_MODULE(_core, m) {
  using namespace pw::python;

  m.doc() = "The compiled core of patchwell; import patchwell instead.";

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

  auto method_type =
      py::enum_<pw::Method>(m, "InpaintMethod",
                            "The fill method: InpaintGPU (exhaustive "
                            "search), InpaintGPUfast (pruned search) or "
                            "InpaintCPU (exhaustive search on the CPU).")
          .value("InpaintCPU", pw::kMethodCpu)
          .value("InpaintGPU", pw::kMethodGpu)
          .value("InpaintGPUfast", pw::kMethodGpuFast)
          .export_values();
  // Shown, pickled and documented under the package's name.
  method_type.attr("__module__") = "patchwell";

  m.attr("__version__") = PATCHWELL_VERSION;

  m.def("version", [] { return std::string(pw::kVersionText); },
        R"doc(return version

Returns
-------
str
    The version text, "Patchwell 1.0.2 (gpu)".
)doc");

  // The entries of inpaint and patchwell.repair: device is "auto", "cpu" or
  // "cuda" (with cuda_device, -1 for the first usable one), search_radius
  // None for the whole image.
  const auto array_entry = [&m](const char* name, ArrayRunMode mode,
                                const char* doc) {
    m.def(name,
          [mode](py::array image, py::array mask, int rad, pw::Method method,
                 bool verbose, const std::string& device, int cuda_device,
                 const py::object& progress,
                 const std::optional<int32_t>& search_radius,
                 const std::optional<py::array>& source_mask,
                 const std::optional<py::array>& sources) {
            return InpaintArrays(std::move(image), std::move(mask), rad, method,
                                 verbose, device, cuda_device, progress,
                                 search_radius, source_mask, sources, mode);
          },
          py::arg("image"), py::arg("mask"), py::arg("rad"), py::arg("method"),
          py::arg("verbose"), py::kw_only(), py::arg("device"),
          py::arg("cuda_device"), py::arg("progress"), py::arg("search_radius"),
          py::arg("source_mask"), py::arg("sources") = py::none(), doc);
  };
  array_entry("_inpaint_array", ArrayRunMode(),
              "patchwell.inpaint on checked arguments: fills the holes of "
              "`image` in place; `mask` (uint8: bytes above 128 mark holes, "
              "bool: True) is binarised in place.");
  ArrayRunMode repair_mode;
  repair_mode.escape_key = false;
  repair_mode.fractions = true;
  repair_mode.refuse_impossible = true;
  array_entry("_repair_array", repair_mode,
              "_inpaint_array for patchwell.repair: Escape is not watched, progress "
              "receives the share done as a float in [0, 1], and a job in "
              "which no hole can find a source raises ValueError before the run. "
              "`sources`, an int32 array of the image's height and width, "
              "receives the source map: the flat index of the pixel each pixel "
              "was copied from, -1 where none.");

  // File names are bytes in the file system's encoding (a str is taken as
  // UTF-8).
  m.def("_inpaint_file", &InpaintFileEntry, py::arg("image_file"),
        py::arg("mask_file"), py::arg("out_file"), py::arg("rad"),
        py::arg("method"), py::arg("verbose"), py::kw_only(), py::arg("device"),
        py::arg("cuda_device"), py::arg("progress"), py::arg("search_radius"),
        py::arg("source_mask"), py::arg("quality"),
        "patchwell.inpaint_file on checked arguments: (written, holes, "
        "no_source).");

  m.def("_repair_file", &RepairFileEntry, py::arg("image_file"),
        py::arg("mask_file"), py::arg("out_file"), py::arg("rad"),
        py::arg("method"), py::kw_only(), py::arg("device") = "auto",
        py::arg("cuda_device") = -1, py::arg("search_radius") = py::none(),
        py::arg("source_mask") = py::none(), py::arg("overwrite") = false,
        py::arg("quality") = 80,
        R"doc(Inpaint an image file into out_file and tell how it went, printing nothing.

The work of inpaint_file for batch runs (patchwell.batch): the same steps
and the same pixels, but a mask that marks nothing copies the image file to
out_file, Escape is not watched, a job in which no hole can find a source is
refused before the run, a link at out_file is replaced rather than followed,
and without overwrite an existing out_file is left alone. The outcome comes
back as a dict: status ('saved', 'copied', 'impossible', 'output_exists',
'image_unreadable', 'image_empty', 'mask_unreadable', 'mask_size_differs',
'mask_unusable', 'source_mask_unreadable', 'source_mask_size_differs',
'output_unusable', 'abandoned' or 'not_saved'), holes, unfilled and
no_source (pixel counts), problem (why a job is impossible), reason (why
a reader refused an input, or ''), error (the system's reason a save failed), size and mask_size ((width, height) of the
image and of the mask that failed).
)doc");

  m.def("_picture_extensions",
        [](bool written) { return Common::FileExtensions(written, true); },
        py::kw_only(), py::arg("written") = false,
        "The extensions (lower case, with the dot) of the picture files that are "
        "read, or with written=True written: the core's own table.");

  m.def("_copy_from_sources",
        [](py::array image, const py::array& sources_arg) {
          if (!py::isinstance<py::array_t<int32_t>>(sources_arg) || sources_arg.ndim() != 2)
            throw py::value_error("sources must be a two-axis int32 array");
          const auto sources = sources_arg.cast<py::array_t<int32_t, py::array::c_style>>();
          RequireWritableContiguous(image, "image");
          if (image.ndim() < 2 || image.shape(0) != sources.shape(0) ||
              image.shape(1) != sources.shape(1))
            throw py::value_error("image and sources must have the same height and width");
          const auto height = static_cast<int32_t>(image.shape(0));
          const auto width = static_cast<int32_t>(image.shape(1));
          const int64_t pixels = int64_t{width} * height;
          const size_t pixel_bytes =
              pixels > 0 ? static_cast<size_t>(image.nbytes() / pixels) : 0;
          std::vector<int32_t> resolved(sources.data(), sources.data() + pixels);
          for (const int32_t s : resolved)
            if (s < -1 || s >= pixels)
              throw py::value_error("sources holds an index outside the image");
          py::gil_scoped_release unlocked;
          pw::ResolveSources(resolved.data(), pixels);
          pw::CopyFromResolvedSources(static_cast<uint8_t*>(image.mutable_data()), width,
                                      height, width * pixel_bytes, pixel_bytes,
                                      resolved.data());
        },
        py::arg("image"), py::arg("sources"),
        "Copies every pixel of image (all its samples) from its source along the "
        "fill order, as the source map of a run names them.");

  m.def("_no_source_reason",
        [](int radius, int search_radius, bool source_mask) {
          return pw::NoSourceReason(radius, search_radius, source_mask);
        },
        py::arg("radius"), py::arg("search_radius"), py::arg("source_mask"),
        "Why holes of a run found no source, in a few words.");

  m.def("_forecast",
        [](const py::array_t<uint8_t, py::array::c_style>& mask, int radius,
           int method, int search_radius, bool cuda) {
          if (mask.ndim() != 2)
            throw py::value_error("mask must have two axes");
          const auto height = static_cast<int32_t>(mask.shape(0));
          const auto width = static_cast<int32_t>(mask.shape(1));
          pw::RunForecast f;
          {
            py::gil_scoped_release unlocked;
            f = cuda ? pw::ForecastCudaRun(mask.data(), width, height, radius,
                                           method, search_radius)
                     : pw::ForecastRun(mask.data(), width, height, radius,
                                       method, search_radius,
                                       pw::CpuThreadCount());
          }
          py::dict d;
          d["targets"] = f.targets;
          d["pairs"] = f.pairs;
          d["seconds"] = f.seconds;
          return d;
        },
        py::arg("mask"), py::arg("radius"), py::arg("method"),
        py::arg("search_radius"), py::arg("cuda"),
        "The forecast of a run: targets, (target, centre) pairs and seconds; "
        "mask holds 1 at the holes.");

  m.attr("_MAX_THREADS") = pw::kMaxCpuThreads;
  m.def("_set_num_threads", &pw::SetCpuThreadCount, py::arg("threads"),
        "set_num_threads on a checked count; 0 returns to the default.");

  m.def("_thread_override", []() -> std::optional<int> {
        const int n = pw::CpuThreadOverride();
        return n > 0 ? std::optional<int>(n) : std::nullopt;
      }, "The count set by set_num_threads, None when none is set.");

  m.def("_thread_variable", []() -> std::optional<int> {
        const int n = pw::CpuThreadVariable();
        return n > 0 ? std::optional<int>(n) : std::nullopt;
      }, "The count PATCHWELL_NUM_THREADS sets, None when it sets none.");

  m.def("get_num_threads", [] { return pw::CpuThreadCount(); },
        R"doc(Tell how many threads the CPU backend runs.

Returns
-------
int
    The count of set_num_threads, else PATCHWELL_NUM_THREADS, else the
    number of cores.
)doc");

  m.def("_last_run_stats", &LastRunStatsDict,
        R"doc(Figures of the last run that reached the fill, for benchmarks and tests.

Safe to call at any time, from any thread or a progress callback; during a
run it gives the previous run's figures.

Returns
-------
dict
    device ('cpu' or 'cuda'), targets (pixels processed), passes (scoring
    passes of InpaintGPUfast) and elapsed_ms.
)doc");

  m.def(
      "device_info", [] { return pw::QueryBackends().description; },
      R"doc(Name the device that device='auto' uses.

Returns
-------
str
    One line, for example 'CPU: 2 threads' or 'CUDA: NAME (compute
    capability X.Y)'. With several CUDA devices, or one that cannot run,
    each follows as 'cuda:N NAME (compute capability X.Y)', with why it
    cannot run.
)doc");

  m.def("_set_max_image_pixels",
        [](const std::optional<int64_t>& pixels) {
          Common::SetMaxImagePixels(pixels.value_or(Common::kNoPixelLimit));
        },
        py::arg("pixels"),
        "set_max_image_pixels on a checked limit; None: no limit.");

  m.def(
      "max_image_pixels",
      []() -> std::optional<int64_t> {
        const int64_t n = Common::MaxImagePixels();
        if (n == Common::kNoPixelLimit) return std::nullopt;
        return n;
      },
      R"doc(The pixel limit of inpaint_file's readers (see set_max_image_pixels).

Returns
-------
int or None
    The most pixels an input file may declare, None when unlimited.
)doc");
}
