#include "arguments.hpp"

#include <string>
#include <utility>

#include "convert.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/decode.hpp"

namespace tallyfold::python {
namespace {

constexpr const char* kFunction = "MT940.__new__()";

void set_type_error(PyRef message) {
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

void set_conversion_error(const char* argument, PyObject* value) {
  PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!type_name) return;
  set_type_error(PyRef(PyUnicode_FromFormat(
      "argument '%s': '%S' object cannot be converted to 'PyString'", argument, type_name.get())));
}

}  // namespace

bool bind_text_and_resolver(PyObject* args, PyObject* kwargs, PyObject*& text, PyObject*& resolver) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (given > 2) {
    set_type_error(PyRef(PyUnicode_FromFormat(
        "%s takes from 1 to 2 positional arguments but %zd were given", kFunction, given)));
    return false;
  }
  if (given >= 1) text = PyTuple_GetItem(args, 0);
  if (given >= 2) resolver = PyTuple_GetItem(args, 1);

  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyObject** slot = nullptr;
      Py_ssize_t position = 0;
      if (PyUnicode_Check(key)) {
        if (PyUnicode_CompareWithASCIIString(key, "text") == 0) {
          slot = &text;
          position = 0;
        } else if (PyUnicode_CompareWithASCIIString(key, "resolver") == 0) {
          slot = &resolver;
          position = 1;
        }
      }
      if (!slot) {
        set_type_error(PyRef(PyUnicode_FromFormat(
            "%s got an unexpected keyword argument '%S'", kFunction, key)));
        return false;
      }
      if (given > position) {
        set_type_error(PyRef(PyUnicode_FromFormat(
            "%s got multiple values for argument '%S'", kFunction, key)));
        return false;
      }
      *slot = value;
    }
  }

  if (!text) {
    set_type_error(PyRef(PyUnicode_FromFormat(
        "%s missing 1 required positional argument: 'text'", kFunction)));
    return false;
  }
  return true;
}

bool borrow_utf8(const char* argument, PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    set_conversion_error(argument, value);
    return false;
  }
  return text_from_python(value, out);
}

void set_argument_type_error(const char* function, const char* argument, const char* expected,
                             PyObject* value, const char* suffix) {
  PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not '%U'%s", function, argument, expected,
               type_name.get(), suffix);
}

bool convert_options(const char* function, PyObject* encoding, int strict, PyObject* resolver,
                     ReadOptions& options) {
  options.strict = strict != 0;
  if (resolver != Py_None) {
    std::string_view name;
    if (!PyUnicode_Check(resolver)) {
      set_argument_type_error(function, "resolver", "str or None", resolver);
      return false;
    }
    if (!borrow_utf8("resolver", resolver, name)) return false;
    if (auto unknown = unknown_resolver(name)) {
      set_value_error(*unknown);
      return false;
    }
    options.resolver.assign(name);
  }
  if (encoding != Py_None) {
    std::string_view name;
    if (!PyUnicode_Check(encoding)) {
      set_argument_type_error(function, "encoding", "str or None", encoding);
      return false;
    }
    if (!borrow_utf8("encoding", encoding, name)) return false;
    auto resolved = named_encoding(name);
    if (!resolved) {
      set_value_error(resolved.error().message);
      return false;
    }
    options.encoding = std::move(*resolved);
  }
  return true;
}

bool borrow_bytes(const char* function, const char* argument, PyObject* data, PyRef& keep,
                  std::string_view& out) {
  if (!PyBytes_Check(data)) {
    PyRef view(PyMemoryView_FromObject(data));
    if (!view) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      const char* hint = PyUnicode_Check(data) ? " (a str is read with MT940(text))" : "";
      set_argument_type_error(function, argument, "a bytes-like object", data, hint);
      return false;
    }
    data = PyObject_Bytes(view.get());
    if (!data) return false;
    keep = PyRef(data);
  } else {
    keep = PyRef::borrow(data);
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return false;
  out = std::string_view(bytes, static_cast<std::size_t>(size));
  return true;
}

}  // namespace tallyfold::python
