// patchwell._core, the compiled core of the package patchwell: the
// InpaintMethod enumeration, version, inpaint_file, inpaint, device_info and
// _last_run_stats. The package re-exports all of it.
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fill/engine.h"
#include "image/image_limits.h"
#include "inpaint/source_copy.h"
#include "inpaint/driver.h"
#include "inpaint/estimate.h"
#include "inpaint/feasibility.h"
#include "inpaint/file_entry.h"
#include "inpaint/run_lock.h"
#include "inpaint/version.h"
#include "platform/console.h"
#include "python/arguments.h"
#include "python/call_errors.h"
#include "python/path_arg.h"
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

// The device argument: "auto", "cpu", "cuda" or "cuda:N" with N in decimal
// digits. "cuda" and "cuda:N" are refused up front, with the reason, when
// the device cannot run.
struct DeviceArg {
  Backend backend;
  int cuda_device;  // -1: the first usable device
};

DeviceArg RequestedDevice(const py::object& device_arg) {
  const std::string device = ToStr(device_arg, "device");
  if (device == "auto") return {Backend::Auto, -1};
  if (device == "cpu") return {Backend::Cpu, -1};
  const std::string n = device.rfind("cuda:", 0) == 0 ? device.substr(5) : "";
  const bool numbered = !n.empty() && n.size() <= 9 &&
                        n.find_first_not_of("0123456789") == std::string::npos;
  if (device != "cuda" && !numbered)
    throw py::value_error("device must be 'auto', 'cpu', 'cuda' or 'cuda:N', not '" +
                          device + "'");
  const DeviceArg requested{Backend::Cuda, numbered ? std::stoi(n) : -1};
  ResolveDevice(Backend::Cuda, requested.cuda_device);
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
    throw py::type_error("progress must be None or a callable taking the percent, not " +
                         TypeName(progress));
}

void RequireWritableContiguous(const py::array& a, const char* what) {
  if (!(a.flags() & py::array::c_style))
    throw py::value_error(std::string(what) +
                          " array must be C-contiguous (use numpy.ascontiguousarray)");
  if (!a.writeable())
    throw py::value_error(std::string(what) +
                          " array is read-only; inpaint changes it in place");
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
  py::object sources = py::none();  // an int32 (H, W) array for the source map
};

bool Inpaint(const py::object& image_arg, const py::object& mask_arg,
             const py::object& rad_arg, const py::object& method_arg,
             const py::object& verbose_arg, const py::object& device_arg,
             const py::object& progress, const py::object& search_radius_arg,
             const py::object& source_mask_arg,
             const ArrayRunMode& mode = ArrayRunMode()) {
  const RunningHere running;
  // Every check comes before anything is changed.
  py::array image = ImageArray(image_arg, "image_file");
  MaskArray mask_in = ToMaskArray(mask_arg, "mask_file");
  py::array& mask = mask_in.array;
  const int rad = ToIntInRange(rad_arg, "rad", 0, 127);
  const int method = ToMethod(method_arg, "method");
  const bool verbose = ToBool(verbose_arg, "verbose");
  const DeviceArg requested = RequestedDevice(device_arg);
  CheckProgress(progress);
  const int32_t search_radius = CheckSearchRadius(search_radius_arg);

  // Image: height x width x 3 bytes in packed rows.
  const py::ssize_t height = image.shape(0);
  const py::ssize_t width = image.shape(1);
  const py::ssize_t channels = image.shape(2);
  if (image.ndim() > 3)
    throw py::value_error("image must have shape (height, width, 3), got " +
                          std::to_string(image.ndim()) + " axes");
  if (channels != 3)
    throw py::value_error("image must have 3 channels on axis 2, got " +
                          std::to_string(channels) +
                          " (patchwell.repair takes gray and RGBA pictures)");
  if (static_cast<uint64_t>(height) * static_cast<uint64_t>(width) * 3u >
      0x7FFFFFFFu)
    throw py::value_error("image larger than 2^31 - 1 bytes is not supported");
  RequireWritableContiguous(image, "image");

  // Mask: height x width bytes.
  const py::ssize_t mask_height = mask.shape(0);
  const py::ssize_t mask_width = mask.shape(1);
  if (mask_height != height || mask_width != width) {
    py::print("Mask size do not match!", py::arg("flush") = true);
    return false;
  }
  if (mask.size() != height * width)
    throw py::value_error("mask must hold height x width = " +
                          std::to_string(height * width) + " bytes, got " +
                          std::to_string(mask.size()));
  RequireWritableContiguous(mask, "mask");
  const std::optional<py::array> source_mask =
      CheckSourceMask(source_mask_arg, height, width);
  int32_t* sources = nullptr;
  if (!mode.sources.is_none()) {
    auto map = mode.sources.cast<py::array>();
    if (!py::isinstance<py::array_t<int32_t>>(map) || map.ndim() != 2 ||
        map.shape(0) != height || map.shape(1) != width)
      throw py::value_error("sources must be an int32 array of the image's height and width");
    RequireWritableContiguous(map, "sources");
    sources = static_cast<int32_t*>(map.mutable_data());
  }

  // Binarise in place: 1 marks a hole. A bool mask (True = hole) keeps its
  // meaning and comes back True where a hole is left.
  auto* image_bytes = static_cast<uint8_t*>(image.mutable_data());
  auto* mask_bytes = static_cast<uint8_t*>(mask.mutable_data());
  const int64_t pixels = static_cast<int64_t>(height) * width;
  bool any_nonzero = false;
  if (mask_in.is_bool) {
    for (int64_t i = 0; i < pixels; ++i) mask_bytes[i] = mask_bytes[i] != 0;
  } else {
    for (int64_t i = 0; i < pixels; ++i) {
      any_nonzero = any_nonzero || mask_bytes[i] != 0;
      mask_bytes[i] = mask_bytes[i] > 128 ? 1 : 0;
    }
  }

  RunControl control(progress, mode.fractions);
  InpaintOptions options;
  options.backend = requested.backend;
  options.cuda_device = requested.cuda_device;
  options.search_radius = search_radius;
  options.escape_key = mode.escape_key;
  options.sources = sources;
  if (source_mask)
    options.source_mask = static_cast<const uint8_t*>(source_mask->data());
  if (mode.refuse_impossible) {
    JobShape job;
    job.mask = mask_bytes;
    job.width = static_cast<int32_t>(width);
    job.height = static_cast<int32_t>(height);
    job.radius = rad;
    job.method = method;
    job.search_radius = search_radius;
    job.source_mask = options.source_mask;
    if (auto problem = ImpossibleJob(job, true)) throw py::value_error(*problem);
  }
  control.Attach(options);
  const bool result = RunLocked(control, options, [&] {
    return InpaintImage(image_bytes, mask_bytes, static_cast<int32_t>(width),
                        static_cast<int32_t>(height), rad, method, verbose,
                        options);
  });
  if (!result && any_nonzero &&
      PyErr_WarnEx(PyExc_UserWarning,
                   "the mask has non-zero bytes but none above 128, so "
                   "nothing was filled: inpaint fills the pixels whose mask "
                   "byte is above 128 (mark holes with 255, or pass a bool "
                   "mask with True for holes)",
                   1) != 0)
    throw py::error_already_set();
  return result;
}

bool InpaintFileEntry(const PathArg& image_file, const OptionalPathArg& mask_file,
                      const OptionalPathArg& out_file, const py::object& rad_arg,
                      const py::object& method_arg, const py::object& verbose_arg,
                      const py::object& device_arg, const py::object& progress,
                      const py::object& search_radius_arg,
                      const OptionalPathArg& source_mask_file,
                      const py::object& quality_arg) {
  const RunningHere running;
  const int rad = ToIntInRange(rad_arg, "rad", 0, 127);
  const int method = ToMethod(method_arg, "method");
  const bool verbose = ToBool(verbose_arg, "verbose");
  const DeviceArg requested = RequestedDevice(device_arg);
  CheckProgress(progress);
  RunControl control(progress);
  FileRunOptions options;
  options.inpaint.backend = requested.backend;
  options.inpaint.cuda_device = requested.cuda_device;
  options.inpaint.search_radius = CheckSearchRadius(search_radius_arg);
  if (source_mask_file.present) options.source_mask_file = source_mask_file.path;
  options.quality = ToIntInRange(quality_arg, "quality", 1, 100);
  options.mask_from_alpha = !mask_file.present;
  control.Attach(options.inpaint);
  // A run stopped by Ctrl+C or by the progress callback raises instead of
  // writing a half-filled picture; Ctrl+C also ends a long decode.
  options.abandoned = [&control] { return control.SettleAfterRun(); };
  options.stop_requested = [&control] { return control.StopRequested(); };
  return RunLocked(control, options.inpaint, [&] {
    return InpaintFile(image_file.path, mask_file.path, out_file.get(), rad,
                       method, verbose, options);
  });
}

// The argument of set_max_image_pixels: an integer-like object of 1 or
// more; beyond 64 bits it is as good as no limit.
int64_t PixelLimit(const py::object& value) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::type_error("pixels must be an integer or None, not " +
                         TypeName(value));
  }
  const auto number = py::reinterpret_steal<py::object>(index);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow < 0 || (overflow == 0 && v < 1))
    throw py::value_error("pixels must be at least 1, got " +
                          std::string(py::repr(number)));
  return overflow > 0 ? Common::kNoPixelLimit : static_cast<int64_t>(v);
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

py::dict RepairFileEntry(const PathArg& image_file, const PathArg& mask_file,
                         const PathArg& out_file, const py::object& rad_arg,
                         const py::object& method_arg,
                         const py::object& device_arg,
                         const py::object& search_radius_arg,
                         const OptionalPathArg& source_mask_file,
                         bool overwrite, const py::object& quality_arg) {
  const RunningHere running;
  const int rad = ToIntInRange(rad_arg, "rad", 0, 127);
  const int method = ToMethod(method_arg, "method");
  const DeviceArg requested = RequestedDevice(device_arg);
  RunControl control{py::none()};
  FileRunOptions options;
  options.inpaint.backend = requested.backend;
  options.inpaint.cuda_device = requested.cuda_device;
  options.inpaint.search_radius = CheckSearchRadius(search_radius_arg);
  options.inpaint.escape_key = false;
  options.skip_empty_mask = true;
  options.quality = ToIntInRange(quality_arg, "quality", 1, 100);
  // Batch outputs: a link in the output folder is replaced, never followed;
  // without overwrite an output that appears meanwhile is left alone.
  options.follow_output_links = false;
  options.replace_output = overwrite;
  options.copy_when_nothing_to_fill = true;
  options.refuse_impossible = true;
  if (source_mask_file.present) options.source_mask_file = source_mask_file.path;
  control.Attach(options.inpaint);
  options.abandoned = [&control] { return control.SettleAfterRun(); };
  options.stop_requested = [&control] { return control.StopRequested(); };
  FileRunResult result;
  RunLocked(control, options.inpaint, [&] {
    result = RunFileInpaint(image_file.path, mask_file.path, &out_file.path,
                            rad, method, false, options);
    return result.status == FileRunStatus::Saved;
  });
  py::dict d;
  d["status"] = FileRunStatusName(result.status);
  d["holes"] = result.holes;
  d["unfilled"] = result.unfilled;
  d["no_source"] = result.no_source;
  d["problem"] = result.problem;
  d["error"] = result.save_error != 0 ? std::strerror(result.save_error) : "";
  d["size"] = py::make_tuple(result.image_width, result.image_height);
  d["mask_size"] = py::make_tuple(result.mask_width, result.mask_height);
  d["declared_size"] =
      py::make_tuple(result.declared_width, result.declared_height);
  return d;
}

const char* const kInpaintDoc = R"doc(Inpaint an RGB image in place.

Fills the pixels that the mask marks, one at a time in a fixed onion-peel
order, each with the centre of the best-matching window of the image. The
result is the same on every device, byte for byte. For a call that leaves
its inputs alone and takes gray, RGBA and any mask, see patchwell.repair.

Parameters
----------
image_file : numpy.ndarray of uint8, shape (height, width, 3)
    The picture, changed in place: a C-contiguous, writable uint8 array.
    Any other element type is a TypeError (convert it first, or use
    patchwell.repair).
mask_file : numpy.ndarray, shape (height, width)
    The pixels to fill. uint8: bytes above 128 mark them; the array is
    binarised in place to 1/0, filled pixels end 0 and pixels that found no
    source stay 1. bool: True marks them and stays True where a pixel is
    left unfilled. Other element types are converted to a temporary uint8
    copy (bytes above 128 mark pixels) and the caller's array is untouched.
rad : int
    Window radius, 0 to 127 (any integer-like object); windows are
    2 * rad + 1 pixels square.
method : InpaintMethod
    InpaintGPU (exhaustive search), InpaintCPU (the same search, always on
    the CPU) or InpaintGPUfast (pruned search).
verbose : bool, default False
    Print statistics, progress marks and the elapsed time to sys.stdout.
device : {'auto', 'cpu', 'cuda', 'cuda:N'}, keyword-only
    Where the fill runs; 'auto' and 'cuda' use the first usable CUDA device
    ('auto' the CPU when there is none), 'cuda:N' CUDA device N.
progress : callable or None, keyword-only
    Called on the calling thread with the percent done (0 first, 100 last);
    before each call the image array holds the pixels filled so far. An
    exception raised by it stops the run and is re-raised. It must not wait
    for an inpaint running in another thread: runs take turns, and that one
    waits for this one to end.
search_radius : int or None, keyword-only
    Take sources only from windows centred within this many pixels of the
    pixel being filled, in both axes (|cx - x| <= S and |cy - y| <= S).
    None searches the whole image.
source_mask : numpy.ndarray of bool or uint8, shape (height, width), or None, keyword-only
    Take sources only from pixels where it is non-zero (True): a
    C-contiguous array, never changed.

Returns
-------
bool
    False when nothing was to be filled ("Nothing to inpaint!"; a uint8 mask
    with non-zero bytes but none above 128 also warns) or the mask's size
    differs from the image's ("Mask size do not match!"), True otherwise.

Raises
------
TypeError
    An argument of the wrong type, an image that is not uint8.
IndexError, ValueError
    Missing axes; a third axis other than 3; a non-contiguous or read-only
    array; a radius outside 0..127; an unknown device.
RuntimeError
    device='cuda' without a usable device, a CUDA error, or a call from a
    progress callback.
KeyboardInterrupt
    Ctrl+C stops the run; the arrays hold the pixels filled so far.

Notes
-----
The interpreter lock is released while the fill runs. Calls from several
threads take turns (one run at a time per process); a waiting call does
not hold the interpreter lock.
)doc";

const char* const kInpaintFileDoc = R"doc(Inpaint an image file and write the result to another file.

Parameters
----------
image_file : str or os.PathLike
    The picture to repair. Its extension picks the format: .png, .jpg,
    .jpeg, .bmp, .ppm, .txt or .dat.
mask_file : str, os.PathLike or None
    A picture of the same size; pixels whose gray value is above 128 are
    filled. Any readable format. None takes the holes from the image's
    alpha channel (alpha below 128) and writes the result without alpha.
out_file : str, os.PathLike or None, default None
    Where to write the result; its extension picks the format (.png, .jpg,
    .jpeg, .bmp, .ppm, .pgm, .pbm, .txt, .dat, .cpp, .cxx). None or ""
    writes next to image_file with "_inpaint" before the extension. A name
    that cannot be written fails before the run.
rad : int
    Window radius, 0 to 127; windows are 2 * rad + 1 pixels square. Pass it
    by keyword when out_file is left out.
method : InpaintMethod
    InpaintGPU (exhaustive search), InpaintCPU (the same search, always on
    the CPU) or InpaintGPUfast (pruned search). Pass it by keyword when
    out_file is left out.
verbose : bool, default False
    Print statistics, progress marks, the elapsed time and the output name
    to sys.stdout.
device : {'auto', 'cpu', 'cuda', 'cuda:N'}, keyword-only
    Where the fill runs; 'auto' and 'cuda' use the first usable CUDA device
    ('auto' the CPU when there is none), 'cuda:N' CUDA device N.
progress : callable or None, keyword-only
    Called with the percent done (0 first, 100 last). An exception raised by
    it stops the run and is re-raised; nothing is written then. It must not
    wait for an inpaint running in another thread.
search_radius : int or None, keyword-only
    Take sources only from windows centred within this many pixels of the
    pixel being filled, in both axes. None searches the whole image.
source_mask : str, os.PathLike or None, keyword-only
    A picture of the image's size; sources are taken only from pixels
    whose gray value is above 128.
quality : int, default 80, keyword-only
    JPEG quality of the output, 1 to 100.

Returns
-------
bool
    True when the image was inpainted and written. False, with a message,
    when a file could not be read ("Error openning image: ...", "Error
    openning mask: ..."; a file over the pixel limit of
    set_max_image_pixels also gets the reason on standard error), the
    mask's size differs, nothing was to be filled ("Nothing to inpaint!")
    or the output could not be written ("Error saving image: ...").

Raises
------
TypeError, ValueError, RuntimeError, KeyboardInterrupt
    As for inpaint; ValueError also when mask_file is None and the image
    has no alpha channel, or for a quality outside 1..100. Ctrl+C also
    ends a long decode.
)doc";

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

  DefineFunction(m, py::cpp_function(
      [](const PathArg& image_file, const OptionalPathArg& mask_file,
         const OptionalPathArg& out_file, const IntArg& rad,
         const MethodArg& method, const BoolArg& verbose, const StrArg& device,
         py::object progress, const py::object& search_radius,
         const OptionalPathArg& source_mask, const IntArg& quality) {
        return InpaintFileEntry(image_file, mask_file, out_file, rad.value,
                                method.value, verbose.value, device.value,
                                progress, search_radius, source_mask,
                                quality.value);
      },
      py::name("inpaint_file"),
      py::arg("image_file"), py::arg("mask_file"),
      py::arg("out_file") = py::none(), py::arg("rad"), py::arg("method"),
      py::arg("verbose") = false, py::kw_only(), py::arg("device") = "auto",
      py::arg("progress") = py::none(), py::arg("search_radius") = py::none(),
      py::arg("source_mask") = py::none(), py::arg("quality") = 80,
      kInpaintFileDoc));

  DefineFunction(m, py::cpp_function(
      [](const ArrayArg& image_file, const ArrayArg& mask_file,
         const IntArg& rad, const MethodArg& method, const BoolArg& verbose,
         const StrArg& device, py::object progress,
         const py::object& search_radius, const py::object& source_mask) {
        return Inpaint(image_file.value, mask_file.value, rad.value,
                       method.value, verbose.value, device.value, progress,
                       search_radius, source_mask);
      },
      py::name("inpaint"),
      py::arg("image_file"), py::arg("mask_file"), py::arg("rad"),
      py::arg("method"), py::arg("verbose") = false, py::kw_only(),
      py::arg("device") = "auto", py::arg("progress") = py::none(),
      py::arg("search_radius") = py::none(), py::arg("source_mask") = py::none(),
      kInpaintDoc));

  DefineFunction(m, py::cpp_function(
      [](const PathArg& image_file, const PathArg& mask_file,
         const PathArg& out_file, const IntArg& rad, const MethodArg& method,
         const StrArg& device, const py::object& search_radius,
         const OptionalPathArg& source_mask, const BoolArg& overwrite,
         const IntArg& quality) {
        return RepairFileEntry(image_file, mask_file, out_file, rad.value,
                               method.value, device.value, search_radius,
                               source_mask, ToBool(overwrite.value, "overwrite"),
                               quality.value);
      },
      py::name("_repair_file"),
      py::arg("image_file"), py::arg("mask_file"), py::arg("out_file"),
      py::arg("rad"), py::arg("method"), py::kw_only(),
      py::arg("device") = "auto", py::arg("search_radius") = py::none(),
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
no_source (pixel counts), problem (why a job is impossible), error (the
system's reason a save failed), size and mask_size ((width, height) of the
image and of the mask that failed).
Raises what inpaint_file raises.
)doc"));

  DefineFunction(m, py::cpp_function(
      [](const ArrayArg& image, const ArrayArg& mask, const IntArg& rad,
         const MethodArg& method, const BoolArg& verbose, const StrArg& device,
         py::object progress, const py::object& search_radius,
         const py::object& source_mask, const py::object& sources) {
        ArrayRunMode mode;
        mode.sources = sources;
        mode.escape_key = false;
        mode.fractions = true;
        mode.refuse_impossible = true;
        return Inpaint(image.value, mask.value, rad.value, method.value,
                       verbose.value, device.value, progress, search_radius,
                       source_mask, mode);
      },
      py::name("_repair_array"),
      py::arg("image"), py::arg("mask"), py::arg("rad"), py::arg("method"),
      py::arg("verbose") = false, py::kw_only(), py::arg("device") = "auto",
      py::arg("progress") = py::none(), py::arg("search_radius") = py::none(),
      py::arg("source_mask") = py::none(), py::arg("sources") = py::none(),
      R"doc(inpaint for patchwell.repair: the same fill, but Escape is not
watched, progress receives the share done as a float in [0, 1], and a job in
which no hole can find a source raises ValueError before the run. sources,
an int32 array of the image's height and width, receives the source map:
the flat index of the pixel each pixel was copied from, -1 where none.
)doc"));

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

  m.def("set_num_threads", [](const py::object& threads) {
        if (threads.is_none()) {
          pw::SetCpuThreadCount(0);
          return;
        }
        pw::SetCpuThreadCount(ToIntInRange(threads, "threads", 1, pw::kMaxCpuThreads));
      }, py::arg("threads"),
      R"doc(Set how many threads the CPU backend runs from the next run on.

Parameters
----------
threads : int or None
    1 to 256; None returns to the default: the environment variable
    PATCHWELL_NUM_THREADS when it holds a whole number above 0, else every
    core. Processes that share a machine's cores (batch workers, cluster
    workers) each take their part.
)doc");

  m.def("_thread_override", []() -> py::object {
        const int n = pw::CpuThreadOverride();
        return n > 0 ? py::object(py::int_(n)) : py::object(py::none());
      }, "The count set by set_num_threads, None when none is set.");

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

  m.def(
      "set_max_image_pixels",
      [](const py::object& pixels) {
        if (pixels.is_none()) {
          Common::SetMaxImagePixels(Common::kNoPixelLimit);
          return;
        }
        Common::SetMaxImagePixels(PixelLimit(pixels));
      },
      py::arg("pixels"),
      R"doc(Set the most pixels (width x height) an input file may declare.

inpaint_file refuses larger files from their header, before it decodes
them, as a guard against decompression bombs (a few bytes of PNG or JPEG
can declare gigapixels), like Pillow's Image.MAX_IMAGE_PIXELS. The limit
holds for the whole process.

Parameters
----------
pixels : int or None
    The limit, 1 or more; the default is 2**28 = 268435456. None removes
    it (a picture still has to stay below 2**31 - 1 bytes).
)doc");

  m.def(
      "max_image_pixels",
      []() -> py::object {
        const int64_t n = Common::MaxImagePixels();
        if (n == Common::kNoPixelLimit) return py::none();
        return py::int_(n);
      },
      R"doc(The pixel limit of inpaint_file's readers (see set_max_image_pixels).

Returns
-------
int or None
    The most pixels an input file may declare, None when unlimited.
)doc");
}
