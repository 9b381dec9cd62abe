#include "python/console_queue.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace pw::python {
namespace {

// Writes text to sys.stdout or sys.stderr and flushes it; no stream (None,
// as under pythonw) drops it, as print() does. False with the error pending
// when the stream raised.
bool WriteTo(const char* name, const std::string& text) {
  PyObject* stream = PySys_GetObject(name);  // borrowed
  if (stream == nullptr || stream == Py_None) return true;
  PyObject* str = PyUnicode_DecodeUTF8(text.data(),
                                       static_cast<Py_ssize_t>(text.size()),
                                       "replace");
  if (str == nullptr) return false;
  PyObject* result = PyObject_CallMethod(stream, "write", "O", str);
  Py_DECREF(str);
  if (result == nullptr) return false;
  Py_DECREF(result);
  result = PyObject_CallMethod(stream, "flush", nullptr);
  if (result == nullptr) return false;
  Py_DECREF(result);
  return true;
}

}  // namespace

void ConsoleQueue::Write(FILE* stream, const char* text, size_t size) {
  const bool to_stderr = stream == stderr;
  std::lock_guard<std::mutex> guard(mutex_);
  if (!pending_.empty() && pending_.back().first == to_stderr)
    pending_.back().second.append(text, size);
  else
    pending_.emplace_back(to_stderr, std::string(text, size));
}

bool ConsoleQueue::Drain() {
  std::vector<std::pair<bool, std::string>> pending;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    pending.swap(pending_);
  }
  for (const auto& [to_stderr, text] : pending) {
    if (text.empty()) continue;
    if (!to_stderr) line_open_ = text.back() != '\n';
    if (!WriteTo(to_stderr ? "stderr" : "stdout", text)) return false;
  }
  return true;
}

bool ConsoleQueue::Finish() {
  if (!Drain()) return false;
  if (!line_open_) return true;
  line_open_ = false;
  return WriteTo("stdout", "\n");
}

}  // namespace pw::python
