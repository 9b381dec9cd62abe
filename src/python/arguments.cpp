#include "python/arguments.h"

#include <cstring>

#include "fill/engine.h"

namespace py = pybind11;

namespace pw::python {

std::string TypeName(const py::handle& value) {
  return Py_TYPE(value.ptr())->tp_name;
}

namespace {

// How to turn an array of the given element type into uint8 pixels.
std::string ConversionHint(const py::array& a) {
  const char kind = a.dtype().kind();
  const size_t size = static_cast<size_t>(a.dtype().itemsize());
  if (kind == 'f')
    return "scale floats in [0, 1] to 0..255 first: "
           "numpy.clip(numpy.rint(image * 255), 0, 255).astype(numpy.uint8)";
  if (kind == 'u' && size == 2)
    return "keep the high byte of 16-bit samples: (image >> 8).astype(numpy.uint8)";
  if (kind == 'b')  // bool
    return "image.astype(numpy.uint8) * 255";
  return "numpy.clip(image, 0, 255).astype(numpy.uint8)";
}

}  // namespace

py::array ImageArray(const py::object& value, const char* what) {
  if (py::array_t<uint8_t>::check_(value))
    return py::reinterpret_borrow<py::array>(value);
  if (py::isinstance<py::array>(value)) {
    const auto a = py::reinterpret_borrow<py::array>(value);
    throw py::type_error(std::string(what) + " must be a uint8 array, not " +
                         std::string(py::str(a.dtype())) + " (" +
                         ConversionHint(a) + ")");
  }
  throw py::type_error(std::string(what) + " must be a numpy uint8 array, not " +
                       TypeName(value) +
                       " (numpy.asarray(image, dtype=numpy.uint8))");
}

MaskArray ToMaskArray(const py::object& value, const char* what) {
  MaskArray mask;
  if (py::array_t<uint8_t>::check_(value)) {
    mask.array = py::reinterpret_borrow<py::array>(value);
    return mask;
  }
  if (py::array_t<bool>::check_(value)) {
    mask.array = py::reinterpret_borrow<py::array>(value);
    mask.is_bool = true;
    return mask;
  }
  auto copy = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(value);
  if (!copy)
    throw py::type_error(std::string(what) +
                         " must be an array of numbers or bools, not " +
                         TypeName(value));
  mask.array = std::move(copy);
  mask.converted = true;
  return mask;
}

int ToIntInRange(const py::object& value, const char* what, int low, int high) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::type_error(std::string(what) + " must be an integer, not " +
                         TypeName(value));
  }
  const auto number = py::reinterpret_steal<py::object>(index);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || v < low || v > high)
    throw py::value_error(std::string(what) + " must be between " +
                          std::to_string(low) + " and " + std::to_string(high) +
                          ", got " + std::string(py::repr(number)));
  return static_cast<int>(v);
}

bool ToBool(const py::object& value, const char* what) {
  PyObject* p = value.ptr();
  if (p == Py_True) return true;
  if (p == Py_False || p == Py_None) return false;
  const char* type = Py_TYPE(p)->tp_name;
  const bool numeric = std::strcmp(type, "numpy.bool") == 0 ||
                       std::strcmp(type, "numpy.bool_") == 0 ||
                       (Py_TYPE(p)->tp_as_number != nullptr &&
                        Py_TYPE(p)->tp_as_number->nb_bool != nullptr);
  if (!numeric)
    throw py::type_error(std::string(what) + " must be a bool, not " + type);
  const int truth = PyObject_IsTrue(p);
  if (truth < 0) throw py::error_already_set();
  return truth != 0;
}

std::string ToStr(const py::object& value, const char* what) {
  if (!PyUnicode_Check(value.ptr()))
    throw py::type_error(std::string(what) + " must be a str, not " +
                         TypeName(value));
  return value.cast<std::string>();
}

int32_t ToMethod(const py::object& value, const char* what) {
  if (!py::isinstance<Method>(value))
    throw py::type_error(std::string(what) +
                         " must be a patchwell.InpaintMethod member "
                         "(InpaintGPU, InpaintGPUfast or InpaintCPU), not " +
                         TypeName(value));
  return static_cast<int32_t>(value.cast<Method>());
}

}  // namespace pw::python
