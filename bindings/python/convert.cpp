#include "convert.hpp"

#include <string>

namespace tallyfold::python {
namespace {

// Owned for the life of the process: raised from any call, so never released.
PyObject* internal_failure_type = nullptr;

// A class of the standard library, imported on first use and held for the life of the
// process like the module's own types (one interpreter per process, see module.cpp).
PyObject* standard_class(PyObject*& cache, const char* module_name, const char* name) {
  if (!cache) {
    PyRef module(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    cache = PyObject_GetAttrString(module.get(), name);
  }
  return cache;
}

PyObject* decimal_class = nullptr;
PyObject* date_class = nullptr;

}  // namespace

PyRef to_python(std::string_view text) {
  return PyRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef to_python(const std::string& text) { return to_python(std::string_view(text)); }

PyRef to_python(const std::optional<std::string_view>& text) {
  if (!text) return PyRef::borrow(Py_None);
  return to_python(std::string_view(*text));
}

PyRef lenient_to_python(std::string_view text) {
  return PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef count_to_python(std::size_t count) { return PyRef(PyLong_FromSize_t(count)); }

PyRef to_python(double value) { return PyRef(PyFloat_FromDouble(value)); }

PyRef to_python(const Decimal& value) { return to_python(decimal_to_double(value)); }

PyRef to_python(const Date& date) {
  std::string text;
  date.append_iso(text);
  return to_python(std::string_view(text));
}

PyRef to_python(const std::optional<Date>& date) {
  if (!date) return PyRef::borrow(Py_None);
  return to_python(*date);
}

PyRef to_python(const DecodedDetails& details) {
  PyRef dict(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, value] : details) {
    PyRef py_key = to_python(std::string_view(key));
    if (!py_key) return py_key;
    PyRef py_value = to_python(std::string_view(value));
    if (!py_value) return py_value;
    if (PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return PyRef();
  }
  return dict;
}

PyRef to_python(const std::optional<DecodedDetails>& details) {
  if (!details) return PyRef::borrow(Py_None);
  return to_python(*details);
}

PyRef decimal_to_python(const Decimal& value) {
  PyObject* type = standard_class(decimal_class, "decimal", "Decimal");
  if (!type) return PyRef();
  // The canonical text names digits, scale and sign, which is all Decimal needs.
  PyRef text = to_python(value.to_string());
  if (!text) return text;
  return PyRef(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
}

PyRef decimal_to_python(const std::optional<Decimal>& value) {
  if (!value) return PyRef::borrow(Py_None);
  return decimal_to_python(*value);
}

PyRef date_to_python(const Date& date) {
  PyObject* type = standard_class(date_class, "datetime", "date");
  if (!type) return PyRef();
  return PyRef(PyObject_CallFunction(type, "iII", static_cast<int>(date.year()), date.month(), date.day()));
}

PyRef date_to_python(const std::optional<Date>& date) {
  if (!date) return PyRef::borrow(Py_None);
  return date_to_python(*date);
}

PyRef bool_to_python(const std::optional<bool>& value) {
  if (!value) return PyRef::borrow(Py_None);
  return bool_to_python(*value);
}

PyRef bool_to_python(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

bool init_internal_failure() {
  if (internal_failure_type) return true;
  internal_failure_type = PyErr_NewExceptionWithDoc(
      "tallyfold.InternalFailure",
      "A broken internal invariant of tallyfold, or a result object the interpreter could "
      "not create. Not a parse error: derived from BaseException so that handlers for "
      "Exception do not catch it.",
      PyExc_BaseException, nullptr);
  return internal_failure_type != nullptr;
}

void set_internal_failure(std::string_view what) {
  // The type exists once the module is initialised; before that, SystemError stands in.
  PyObject* type = internal_failure_type ? internal_failure_type : PyExc_SystemError;
  PyRef text = to_python(what);
  if (!text) {
    PyErr_Clear();
    PyErr_SetString(type, "internal failure (message not representable)");
    return;
  }
  PyErr_SetObject(type, text.get());
}

void set_value_error(std::string_view display) {
  // An error's value may be a fixed-width cut of the input (six date bytes) that ends
  // inside a multi-byte character; the caller must still get its ValueError.
  PyRef text = lenient_to_python(display);
  if (!text) {
    api_call_failed();
    return;
  }
  PyErr_SetObject(PyExc_ValueError, text.get());
}

void set_error(const ParseError& error) { set_value_error(message(error)); }

void set_error(const LocatedError& error) {
  std::string display;
  if (error.line != 0) display = "line " + std::to_string(error.line) + ": ";
  display += message(error);
  set_value_error(display);
}

PyObject* api_call_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  set_internal_failure("Python API call failed");
  return nullptr;
}

PyObject* finish(PyRef result) {
  if (!result) return api_call_failed();
  return result.release();
}

}  // namespace tallyfold::python
