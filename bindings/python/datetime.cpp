// Times given from Python: datetime objects, ISO 8601 texts and seconds.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "convert.hpp"
#include "py_ref.hpp"
#include "tallyfold/iso20022.hpp"

namespace tallyfold::python {

std::optional<std::int64_t> creation_time(PyObject* created) {
  if (created == Py_None) return default_creation_time();
  if (PyUnicode_Check(created)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(created, &size);
    if (!text) return std::nullopt;
    const auto seconds = parse_timestamp(std::string_view(text, static_cast<std::size_t>(size)));
    if (!seconds) set_value_error("created: not a time such as 2026-01-31T12:00:00Z: " + std::string(text, size));
    return seconds;
  }
  if (PyLong_Check(created)) {
    const long long seconds = PyLong_AsLongLong(created);
    if (seconds == -1 && PyErr_Occurred()) return std::nullopt;
    return seconds;
  }
  if (PyObject_HasAttrString(created, "utcoffset") && PyObject_HasAttrString(created, "timestamp")) {
    PyRef moment = PyRef::borrow(created);
    PyRef offset(PyObject_CallMethod(created, "utcoffset", nullptr));
    if (!offset) return std::nullopt;
    if (offset.get() == Py_None) {
      PyRef module(PyImport_ImportModule("datetime"));
      if (!module) return std::nullopt;
      PyRef timezone(PyObject_GetAttrString(module.get(), "timezone"));
      if (!timezone) return std::nullopt;
      PyRef utc(PyObject_GetAttrString(timezone.get(), "utc"));
      PyRef replace(PyObject_GetAttrString(created, "replace"));
      PyRef no_args(PyTuple_New(0));
      PyRef keywords(Py_BuildValue("{sO}", "tzinfo", utc.get()));
      if (!utc || !replace || !no_args || !keywords) return std::nullopt;
      moment = PyRef(PyObject_Call(replace.get(), no_args.get(), keywords.get()));
      if (!moment) return std::nullopt;
    }
    PyRef timestamp(PyObject_CallMethod(moment.get(), "timestamp", nullptr));
    if (!timestamp) return std::nullopt;
    const double value = PyFloat_AsDouble(timestamp.get());
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::int64_t>(std::floor(value));
  }
  PyErr_SetString(PyExc_TypeError, "created must be a datetime, a str, an int or None");
  return std::nullopt;
}

}  // namespace tallyfold::python
