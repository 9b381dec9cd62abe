#include "python/settings.h"

#include <optional>

#include <pybind11/stl.h>

#include "fill/cpu/thread_count.h"
#include "fill/device_choice.h"
#include "fill/engine.h"
#include "image/image_limits.h"
#include "inpaint/entry.h"

namespace py = pybind11;

namespace pw::python {
namespace {

py::dict LastRunStatsDict() {
  RunStats s;
  {
    py::gil_scoped_release unlocked;
    s = LastRunStats();
  }
  py::dict d;
  d["device"] = s.backend == Backend::Cuda ? "cuda" : "cpu";
  d["targets"] = s.targets;
  d["no_source"] = s.no_source;
  d["passes"] = s.passes;
  d["regions"] = s.regions;
  d["launches"] = s.launches;
  d["sweeps"] = s.sweeps;
  d["elapsed_ms"] = s.elapsed_ms;
  return d;
}

}  // namespace

void BindSettings(py::module_& m) {
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

  m.def("_usable_cpus", [] { return pw::QueryUsableCpus().count; },
        R"doc(Count the CPUs this process may use.

Returns
-------
int
    The machine's cores, narrowed by the CPU affinity and a container's
    (cgroup) CPU quota; at least 1.
)doc");

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
    device ('cpu' or 'cuda'), targets (pixels processed), no_source (of
    those, the ones that found no source), passes (scoring passes of
    InpaintGPUfast), regions (independent regions of a bounded search, 1
    otherwise), launches (kernel launches on CUDA) and elapsed_ms.
)doc");

  m.def("_cuda_usable", &pw::CudaUsable,
        R"doc(Tell whether a CUDA device can run now.

Returns
-------
bool
    True when device='auto' runs on CUDA, as device_info() describes.
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

}  // namespace pw::python
