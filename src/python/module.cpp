// patchwell._core, the compiled core of the package patchwell: the
// InpaintMethod enumeration, version, device_info and the typed entry points
// behind the package's inpaint, inpaint_file, repair and batches. The
// package converts and checks the arguments; the entries here check only
// what keeps them inside the buffers they are given (python/arrays.h). The
// work of a run is the entry layer's (inpaint/entry.h); this file binds.
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "fill/cpu/thread_count.h"
#include "fill/device_choice.h"
#include "fill/engine.h"
#include "fill/radius.h"
#include "image/image_files.h"
#include "inpaint/auto_fill.h"
#include "inpaint/driver.h"
#include "inpaint/entry.h"
#include "inpaint/estimate.h"
#include "inpaint/feasibility.h"
#include "inpaint/file_entry.h"
#include "inpaint/run_lock.h"
#include "inpaint/version.h"
#include "platform/console.h"
#include "python/arrays.h"
#include "python/detect_bindings.h"
#include "detect/image_damage.h"
#include "python/run_control.h"
#include "python/settings.h"
#include "python/smooth_bindings.h"

namespace py = pybind11;

namespace pw::python {
namespace {

// Runs `body` (which calls InpaintImage or a file entry) under the run lock,
// with the interpreter lock released and the console going to sys.stdout.
// Another thread's call waits here with the interpreter lock released, so a
// progress callback of the running call is never blocked by it.
template <class Body>
auto RunLocked(RunControl& control, InpaintOptions& options, const Body& body) {
  decltype(body()) result{};
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

bool InpaintArrays(py::array image, py::array mask, int rad, Method method,
                   bool verbose, const std::string& device, int cuda_device,
                   const py::object& progress,
                   const std::optional<int32_t>& search_radius,
                   const std::optional<py::array>& source_mask,
                   const std::optional<py::array>& sources,
                   const std::optional<py::array>& targets,
                   const ArrayRunMode& mode) {
  const RunningHere running;
  // Every check comes before anything is changed.
  const Buffers b = CheckedBuffers(image, mask, source_mask);
  const RequestedDevice requested = RequestDevice(device, cuda_device);
  const std::optional<int32_t> domain = CheckedSearchRadius(search_radius);
  int32_t* map = CheckedSourceMap(sources, b);
  const uint8_t* hole_part = CheckedTargets(targets, b);
  RunControl control(progress, mode.fractions);
  InpaintOptions options = PrepareArrayRun(
      {b.mask, b.bool_mask, b.width, b.height, rad, method, requested, domain,
       b.source_mask, map},
      mode);
  // The hole part of method auto: the other holes stay for the smooth fill.
  options.targets = hole_part;
  options.defer_blind_targets = hole_part != nullptr;
  control.Attach(options);
  return RunLocked(control, options, [&] {
    return InpaintImage(b.image, b.mask, b.width, b.height, rad, method, verbose, options);
  });
}

// Runs a file entry with the package's progress and stop requests: a run
// stopped by Ctrl+C or by the progress callback raises instead of writing
// a half-filled picture; Ctrl+C also ends a long decode.
template <class Body>
auto RunFile(const py::object& progress, FileRunOptions& options, const std::string& device,
             int cuda_device, const std::optional<int32_t>& search_radius, int quality,
             const Body& body) {
  const RequestedDevice requested = RequestDevice(device, cuda_device);
  RunControl control(progress);
  options.inpaint.backend = requested.backend;
  options.inpaint.cuda_device = requested.cuda_device;
  options.inpaint.search_radius = CheckedSearchRadius(search_radius);
  SetPackageQuality(options, quality);
  control.Attach(options.inpaint);
  options.abandoned = [&control] { return control.SettleAfterRun(); };
  options.stop_requested = [&control] { return control.StopRequested(); };
  return RunLocked(control, options.inpaint, body);
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
  FileRunOptions options = FileRunOptions::InpaintFile(mask_file.has_value());
  options.source_mask_file = source_mask_file;
  FileRunResult result;
  const bool written =
      RunFile(progress, options, device, cuda_device, search_radius, quality, [&] {
        return InpaintFile(image_file, mask_file.value_or(std::string()),
                           out_file ? &*out_file : nullptr, rad, method, verbose,
                           options, &result);
      });
  return py::make_tuple(written, result.holes, result.no_source, result.no_source_causes);
}

// The file entry without its printed messages, for batch work: how the run
// ended, with the figures and the words of its status record.
py::dict RepairFileEntry(const std::string& image_file, const std::string& mask_file,
                         const std::string& out_file, int rad, int method,
                         const std::string& device, int cuda_device,
                         const std::optional<int32_t>& search_radius,
                         const std::optional<std::string>& source_mask_file,
                         bool overwrite, int quality, bool default_search_radius,
                         unsigned find) {
  const RunningHere running;
  if (method < kMethodCpu || method > kMethodAuto)
    throw py::value_error("unknown method number " + std::to_string(method));
  FileRunOptions options = FileRunOptions::Batch(overwrite);
  options.source_mask_file = source_mask_file;
  options.default_search_radius = default_search_radius;
  if (find != 0)  // the damage found is filled too (with no mask file, alone)
    options.add_holes = [find](const Common::CImage& image, uint8_t* mask) {
      detect::AddFoundDamage(image, find, 1.0, mask);
    };
  const FileRunResult result =
      RunFile(py::none(), options, device, cuda_device, search_radius, quality, [&] {
        return RunFileInpaint(image_file, mask_file, &out_file, rad, method, false, options);
      });
  const FileRunReport report = ReportFileRun(
      result, {image_file, mask_file, source_mask_file, rad, result.search_radius},
      ReportStyle::Batch);
  py::dict d;
  d["status"] = FileRunStatusName(result.status);
  d["message"] = py::bytes(report.message);
  d["holes"] = result.holes;
  d["unfilled"] = result.unfilled;
  d["no_source"] = result.no_source;
  d["problem"] = result.problem;
  d["reason"] = result.refusal;
  d["error"] = result.save_error != 0 ? std::strerror(result.save_error) : "";
  d["size"] = py::make_tuple(result.image_width, result.image_height);
  d["mask_size"] = py::make_tuple(result.mask_width, result.mask_height);
  d["orientation"] = result.orientation;
  d["declared_size"] = py::make_tuple(result.declared_width, result.declared_height);
  return d;
}

using Bytes = py::array_t<uint8_t, py::array::c_style>;

// A two-axis mask, and optional targets of its shape (returned, or null).
const uint8_t* CheckedMaskAndTargets(const Bytes& mask, const std::optional<Bytes>& targets) {
  if (mask.ndim() != 2) throw py::value_error("mask must have two axes");
  if (targets && (targets->ndim() != 2 || targets->shape(0) != mask.shape(0) ||
                  targets->shape(1) != mask.shape(1)))
    throw py::value_error("targets must have the mask's shape");
  return targets ? targets->data() : nullptr;
}

}  // namespace
}  // namespace pw::python

PYBIND11_MODULE(_core, m) {
  using namespace pw::python;
  using pw::ArrayRunMode;

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
  m.attr("_MAX_RADIUS") = pw::kMaxRadius;

  m.def("version", [] { return std::string(pw::kVersionText); },
        R"doc(return version

Returns
-------
str
    The version text, "Patchwell X.Y.Z (gpu)" with the package's version.
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
                 const std::optional<py::array>& sources,
                 const std::optional<py::array>& targets) {
            return InpaintArrays(std::move(image), std::move(mask), rad, method,
                                 verbose, device, cuda_device, progress,
                                 search_radius, source_mask, sources, targets, mode);
          },
          py::arg("image"), py::arg("mask"), py::arg("rad"), py::arg("method"),
          py::arg("verbose"), py::kw_only(), py::arg("device"),
          py::arg("cuda_device"), py::arg("progress"), py::arg("search_radius"),
          py::arg("source_mask"), py::arg("sources") = py::none(),
          py::arg("targets") = py::none(), doc);
  };
  array_entry("_inpaint_array", ArrayRunMode::Inpaint(),
              "patchwell.inpaint on checked arguments: fills the holes of "
              "`image` in place; `mask` (uint8: bytes above 128 mark holes, "
              "bool: True) is binarised in place.");
  array_entry("_repair_array", ArrayRunMode::Repair(),
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
        "no_source, causes), causes for _no_source_reason.");

  m.def("_repair_file", &RepairFileEntry, py::arg("image_file"),
        py::arg("mask_file"), py::arg("out_file"), py::arg("rad"),
        py::arg("method"), py::kw_only(), py::arg("device") = "auto",
        py::arg("cuda_device") = -1, py::arg("search_radius") = py::none(),
        py::arg("source_mask") = py::none(), py::arg("overwrite") = false,
        py::arg("quality") = 80, py::arg("default_search_radius") = false,
        py::arg("find") = 0,
        R"doc(Inpaint an image file into out_file and tell how it went, printing nothing.

The work of inpaint_file for batch runs (patchwell.batch): the same steps
and the same pixels, but a mask that marks nothing copies the image file to
out_file, Escape is not watched, a job in which no hole can find a source is
refused before the run, a link at out_file is replaced rather than followed,
and without overwrite an existing out_file is left alone. The outcome comes
back as a dict: status ('saved', 'copied', 'impossible', 'output_exists',
'image_unreadable', 'image_too_large', 'image_empty', 'no_alpha',
'mask_unreadable', 'mask_too_large', 'mask_size_differs', 'mask_unusable',
'source_mask_unreadable', 'source_mask_too_large',
'source_mask_size_differs', 'output_unusable', 'nothing_to_inpaint',
'abandoned' or 'not_saved'), message (bytes in the file system's encoding:
the words of a batch record, empty for 'saved' with every hole filled),
holes, unfilled and no_source (pixel counts), problem (why a job is
impossible), reason (why a reader refused an input, or ''), error (the
system's reason a save failed), size and mask_size ((width, height) of the
image and of the mask that failed), orientation (the image's EXIF
orientation) and declared_size (what a file over the pixel limit declared).
)doc");

  m.def("_picture_extensions",
        [](bool written) { return Common::FileExtensions(written, true); },
        py::kw_only(), py::arg("written") = false,
        "The extensions (lower case, with the dot) of the picture files that are "
        "read, or with written=True written: the core's own table.");

  m.def("_copy_from_sources", &CopyFromSources, py::arg("image"), py::arg("sources"),
        "Copies every pixel of image (all its samples) from its source along the "
        "fill order, as the source map of a run names them.");

  m.def("_no_source_reason", &pw::NoSourceReason, py::arg("radius"),
        py::arg("search_radius"), py::arg("source_mask"), py::arg("causes"),
        "Why holes of a run found no source, in a few words.");

  using Flags = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>;
  m.def(
      "_no_source_causes",
      [](const Flags& unfilled, int radius, pw::Method method, std::optional<int32_t> search_radius,
         const std::optional<Flags>& source_mask) {
        if (unfilled.ndim() != 2) throw py::value_error("unfilled must have two axes");
        const auto height = static_cast<int32_t>(unfilled.shape(0));
        const auto width = static_cast<int32_t>(unfilled.shape(1));
        if (source_mask && source_mask->size() != unfilled.size())
          throw py::value_error("source_mask must have the size of unfilled");
        return pw::NoSourceCauses({unfilled.data(), width, height, radius,
                                   static_cast<int32_t>(method),
                                   pw::SearchDomain(search_radius, width, height),
                                   source_mask ? source_mask->data() : nullptr});
      },
      py::arg("unfilled"), py::arg("radius"), py::arg("method"), py::arg("search_radius"),
      py::arg("source_mask"),
      "What kept the pixels still True in `unfilled` (bools, as a run left them) "
      "from finding a source, for _no_source_reason.");

  m.def("_search_radius_problem", &pw::SearchRadiusProblem, py::arg("radius"),
        py::arg("search_radius"),
        "Why a search radius cannot work with a window radius (at or below "
        "it), None when it can: what every run refuses up front.");

  m.def("_forecast",
        [](const Bytes& mask, int radius, int method, std::optional<int32_t> search_radius,
           bool cuda, const std::optional<Bytes>& targets) {
          const uint8_t* hole_part = CheckedMaskAndTargets(mask, targets);
          const auto height = static_cast<int32_t>(mask.shape(0));
          const auto width = static_cast<int32_t>(mask.shape(1));
          pw::RunForecast f;
          {
            py::gil_scoped_release unlocked;
            f = cuda ? pw::ForecastCudaRun(mask.data(), width, height, radius, method,
                                           search_radius, hole_part)
                     : pw::ForecastRun(mask.data(), width, height, radius, method,
                                       search_radius, pw::CpuThreadCount(), hole_part);
          }
          return py::dict(py::arg("targets") = f.targets, py::arg("pairs") = f.pairs,
                          py::arg("seconds") = f.seconds);
        },
        py::arg("mask"), py::arg("radius"), py::arg("method"),
        py::arg("search_radius"), py::arg("cuda"), py::arg("targets") = py::none(),
        "The forecast of a run: targets, (target, centre) pairs and seconds; "
        "mask holds 1 at the holes.");

  m.attr("_METHOD_AUTO") = pw::kMethodAuto;
  m.def("_auto_radius_problem", &pw::AutoRadiusProblem, py::arg("radius"),
        "Why method auto cannot run with this radius, or None.");
  m.def("_default_search_radius",
        [](const Bytes& mask, const std::optional<Bytes>& targets, int radius) {
          const uint8_t* hole_part = CheckedMaskAndTargets(mask, targets);
          const auto height = static_cast<int32_t>(mask.shape(0));
          const auto width = static_cast<int32_t>(mask.shape(1));
          py::gil_scoped_release unlocked;
          return pw::DefaultSearchRadius(mask.data(), hole_part, width, height, radius);
        },
        py::arg("mask"), py::arg("targets"), py::arg("radius"),
        "The default search radius of a run: mask holds 1 at the holes, targets "
        "(or None) limits them to the searched ones.");

  BindSettings(m);
  BindSmoothFill(m);
  BindDetect(m);
}
