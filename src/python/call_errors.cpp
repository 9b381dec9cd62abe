#include "python/call_errors.h"

#include <memory>
#include <string>
#include <vector>

#include "python/arguments.h"

namespace py = pybind11;

namespace pw::python {
namespace {

struct Parameter {
  std::string name;
  bool has_default = false;
  bool keyword_only = false;
};

struct Shape {
  std::string name;       // the function's name
  std::string signature;  // its first docstring line, "name(a: int, ...) -> bool"
  std::vector<Parameter> parameters;
};

// Splits the parameter list of a pybind11 signature line at the top-level
// commas; brackets and quoted defaults may hold commas of their own.
std::vector<std::string> SplitParameters(const std::string& list) {
  std::vector<std::string> parts;
  std::string current;
  int depth = 0;
  char quote = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (quote != 0) {
      if (c == '\\' && i + 1 < list.size()) {
        current += c;
        c = list[++i];
      } else if (c == quote) {
        quote = 0;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '[' || c == '(' || c == '{') {
      ++depth;
    } else if (c == ']' || c == ')' || c == '}') {
      --depth;
    } else if (c == ',' && depth == 0) {
      parts.push_back(current);
      current.clear();
      continue;
    }
    current += c;
  }
  if (!current.empty()) parts.push_back(current);
  for (std::string& p : parts) {
    const size_t first = p.find_first_not_of(' ');
    p = first == std::string::npos ? std::string() : p.substr(first);
  }
  return parts;
}

Shape ParseShape(const py::cpp_function& impl) {
  Shape shape;
  shape.name = py::str(impl.attr("__name__"));
  const std::string doc = py::str(impl.attr("__doc__"));
  shape.signature = doc.substr(0, doc.find('\n'));
  const size_t open = shape.signature.find('(');
  const size_t close = shape.signature.rfind(") ->");
  if (open == std::string::npos || close == std::string::npos || close < open)
    return shape;
  bool keyword_only = false;
  for (const std::string& part :
       SplitParameters(shape.signature.substr(open + 1, close - open - 1))) {
    if (part == "*") {
      keyword_only = true;
      continue;
    }
    Parameter p;
    p.name = part.substr(0, part.find_first_of(":= "));
    p.has_default = part.find(" = ") != std::string::npos;
    p.keyword_only = keyword_only;
    shape.parameters.push_back(p);
  }
  return shape;
}

// A parameter the unknown keyword was probably meant to be: mask for
// mask_file, radius for rad.
std::string Suggestion(const Shape& shape, const std::string& keyword) {
  for (const Parameter& p : shape.parameters) {
    const bool related =
        p.name.compare(0, keyword.size(), keyword) == 0 ||
        keyword.compare(0, p.name.size(), p.name) == 0;
    if (related && !p.name.empty()) return " (did you mean '" + p.name + "'?)";
  }
  return "";
}

std::string Explain(const Shape& shape, const py::args& args,
                    const py::kwargs& kwargs) {
  const std::string who = shape.name + "()";
  size_t positional = 0;
  for (const Parameter& p : shape.parameters)
    if (!p.keyword_only) ++positional;
  if (args.size() > positional)
    return who + " takes at most " + std::to_string(positional) +
           " positional arguments (" + std::to_string(args.size()) + " given)";

  std::vector<py::handle> bound(shape.parameters.size());
  for (size_t i = 0; i < args.size(); ++i) bound[i] = args[i];
  for (const auto& item : kwargs) {
    const std::string key = py::str(item.first);
    size_t i = 0;
    while (i < shape.parameters.size() && shape.parameters[i].name != key) ++i;
    if (i == shape.parameters.size())
      return who + " got an unexpected keyword argument '" + key + "'" +
             Suggestion(shape, key);
    if (bound[i]) return who + " got multiple values for argument '" + key + "'";
    bound[i] = item.second;
  }
  for (size_t i = 0; i < shape.parameters.size(); ++i) {
    const Parameter& p = shape.parameters[i];
    if (bound[i] || p.has_default) continue;
    // After a parameter with a default it can only come by keyword.
    bool after_default = false;
    for (size_t j = 0; j < i; ++j)
      after_default = after_default || shape.parameters[j].has_default;
    return who + " missing required argument '" + p.name + "'" +
           (after_default ? " (pass it by keyword: " + p.name + "=...)"
                          : std::string());
  }
  // Every argument is there: one of them has a type the function refuses.
  std::string got;
  for (size_t i = 0; i < shape.parameters.size(); ++i) {
    if (!bound[i]) continue;
    if (!got.empty()) got += ", ";
    got += shape.parameters[i].name + ": " + TypeName(bound[i]);
  }
  return who + " got an argument of the wrong type (" + got + "); expected " +
         shape.signature;
}

bool IsRefusedCall(const py::error_already_set& error, const Shape& shape) {
  if (!error.matches(PyExc_TypeError)) return false;
  const std::string text = py::str(error.value());
  const std::string mark = shape.name + "(): incompatible function arguments";
  return text.compare(0, mark.size(), mark) == 0;
}

}  // namespace

void DefineFunction(py::module_& m, const py::cpp_function& impl) {
  auto shape = std::make_shared<const Shape>(ParseShape(impl));
  const std::string doc = py::str(impl.attr("__doc__"));
  py::options options;
  options.disable_function_signatures();  // impl's docstring has it already
  const py::object target = impl;
  py::cpp_function entry(
      [target, shape](py::args args, py::kwargs kwargs) -> py::object {
        PyObject* result = PyObject_Call(target.ptr(), args.ptr(), kwargs.ptr());
        if (result != nullptr) return py::reinterpret_steal<py::object>(result);
        py::error_already_set error;
        if (IsRefusedCall(error, *shape))
          throw py::type_error(Explain(*shape, args, kwargs));
        throw error;
      },
      py::name(shape->name.c_str()), py::scope(m), doc.c_str());
  m.add_object(shape->name.c_str(), entry);
}

}  // namespace pw::python
