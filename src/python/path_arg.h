// File name arguments of inpaint_file: a str or an os.PathLike object, in
// the file system's encoding (so names that are not valid UTF-8 on disk
// still open). OptionalPathArg also takes None, the absent name. Both show
// as `str` in the signature.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

namespace pw::python {

struct PathArg {
  std::string path;
};

struct OptionalPathArg {
  std::string path;
  bool present = false;
  const std::string* get() const { return present ? &path : nullptr; }
};

// Converts str / os.PathLike to bytes in the file system encoding; false
// (with no Python error pending) for anything else.
inline bool LoadPath(pybind11::handle src, std::string& out) {
  if (!PyUnicode_Check(src.ptr()) &&
      PyObject_HasAttrString(src.ptr(), "__fspath__") == 0)
    return false;
  PyObject* fs = PyOS_FSPath(src.ptr());
  if (fs == nullptr) {
    PyErr_Clear();
    return false;
  }
  auto fs_obj = pybind11::reinterpret_steal<pybind11::object>(fs);
  PyObject* bytes = nullptr;
  if (PyBytes_Check(fs)) {
    bytes = fs;
    Py_INCREF(bytes);
  } else {
    bytes = PyUnicode_EncodeFSDefault(fs);
    if (bytes == nullptr) {
      PyErr_Clear();
      return false;
    }
  }
  auto bytes_obj = pybind11::reinterpret_steal<pybind11::object>(bytes);
  out.assign(PyBytes_AS_STRING(bytes),
             static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  return true;
}

}  // namespace pw::python

namespace pybind11::detail {

template <>
struct type_caster<pw::python::PathArg> {
  PYBIND11_TYPE_CASTER(pw::python::PathArg, const_name("str"));
  bool load(handle src, bool) { return pw::python::LoadPath(src, value.path); }
};

template <>
struct type_caster<pw::python::OptionalPathArg> {
  PYBIND11_TYPE_CASTER(pw::python::OptionalPathArg, const_name("str"));
  bool load(handle src, bool) {
    if (src.is_none()) {
      value.present = false;
      value.path.clear();
      return true;
    }
    value.present = pw::python::LoadPath(src, value.path);
    return value.present;
  }
};

}  // namespace pybind11::detail
