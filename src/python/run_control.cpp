#include "python/run_control.h"

#include <utility>

namespace py = pybind11;

namespace pw::python {

RunControl::RunControl(py::object progress, bool fractions)
    : progress_(std::move(progress)), fractions_(fractions) {}

void RunControl::Report(int percent, double fraction) {
  std::lock_guard<std::mutex> guard(queue_mutex_);
  queue_.emplace_back(percent, fraction);
}

void RunControl::Attach(InpaintOptions& options) {
  if (!progress_.is_none()) options.progress = this;
  options.on_wait = [this](InpaintContext& ctx) { Poll(ctx); };
}

void RunControl::Stop(InpaintContext* ctx) {
  // Keep the pending Python error to raise it once the run has ended.
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  error_type_ = py::reinterpret_steal<py::object>(type);
  error_value_ = py::reinterpret_steal<py::object>(value);
  error_trace_ = py::reinterpret_steal<py::object>(trace);
  failed_ = true;
  if (ctx != nullptr) ctx->cancel = true;
}

void RunControl::Deliver(InpaintContext* ctx) {
  // Messages first, so that they come before what the callback prints.
  if (!console_.Drain()) {
    Stop(ctx);
    return;
  }
  std::vector<std::pair<int, double>> pending;
  {
    std::lock_guard<std::mutex> guard(queue_mutex_);
    pending.swap(queue_);
  }
  for (const auto& [percent, fraction] : pending) {
    if (failed_ || progress_.is_none()) return;
    // While the callback runs the worker does not rewrite the image.
    std::unique_lock<std::mutex> preview;
    if (ctx != nullptr) {
      py::gil_scoped_release unlocked;
      preview = std::unique_lock<std::mutex>(ctx->preview_lock);
    }
    PyObject* result =
        fractions_ ? PyObject_CallFunction(progress_.ptr(), "d", fraction)
                   : PyObject_CallFunction(progress_.ptr(), "i", percent);
    if (result == nullptr) {
      Stop(ctx);
      return;
    }
    Py_DECREF(result);
  }
}

void RunControl::Poll(InpaintContext& ctx) {
  py::gil_scoped_acquire locked;
  if (failed_) return;
  if (PyErr_CheckSignals() != 0) {
    Stop(&ctx);
    return;
  }
  Deliver(&ctx);
}

bool RunControl::StopRequested() {
  py::gil_scoped_acquire locked;
  if (!failed_ && PyErr_CheckSignals() != 0) Stop(nullptr);
  return failed_;
}

bool RunControl::SettleAfterRun() {
  py::gil_scoped_acquire locked;
  if (!failed_) Deliver(nullptr);
  return failed_;
}

void RunControl::Finish() {
  if (!failed_) Deliver(nullptr);
  if (!failed_ && !console_.Finish()) Stop(nullptr);
  if (failed_) {
    // What the run printed before it stopped still reaches the stream.
    if (!console_.Finish()) PyErr_Clear();
    PyErr_Restore(error_type_.release().ptr(), error_value_.release().ptr(),
                  error_trace_.release().ptr());
    throw py::error_already_set();
  }
}

void RunControl::FinishAfterError() noexcept {
  // The C++ exception in flight is not a pending Python error, but keep any
  // that is.
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  if (!console_.Finish()) PyErr_Clear();
  PyErr_Restore(type, value, trace);
}

}  // namespace pw::python
