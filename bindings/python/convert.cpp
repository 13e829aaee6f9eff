#include "convert.hpp"

#include "types.hpp"

#include <string>

namespace tallyfold::python {
namespace {

// Owned for the life of the process: raised from any call, so never released.
PyObject* internal_failure_type = nullptr;
PyObject* parse_error_type = nullptr;

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

bool text_from_python(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "expected str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool text_from_python(PyObject* value, std::optional<std::string_view>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  std::string_view text;
  if (!text_from_python(value, text)) return false;
  out = text;
  return true;
}

std::optional<Decimal> decimal_from_text(std::string_view text) {
  const bool negative = text.starts_with('-');
  if (negative) text.remove_prefix(1);
  uint128 mantissa = 0;
  int scale = -1;
  bool digits = false;
  for (const char c : text) {
    if (c == '.' && scale < 0 && digits) {
      scale = 0;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (mantissa > Decimal::kMaxMantissa / 10) return std::nullopt;
    mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
    digits = true;
    if (scale >= 0) ++scale;
  }
  if (!digits || scale == 0) return std::nullopt;
  return Decimal::from_parts(mantissa, scale < 0 ? 0 : scale, negative);
}

std::optional<Date> date_from_text(std::string_view text) {
  // Four-digit years only: every date of the model prints so.
  return Date::from_iso(text);
}

std::optional<DebitCreditMark> mark_from_text(std::string_view text) {
  for (const auto mark : {DebitCreditMark::Debit, DebitCreditMark::Credit, DebitCreditMark::ReversalDebit,
                          DebitCreditMark::ReversalCredit}) {
    if (mark_text(mark) == text) return mark;
  }
  return std::nullopt;
}

PyObject* bad_state(const char* kind) {
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
    return nullptr;
  }
  PyErr_Clear();
  PyErr_Format(PyExc_ValueError, "not a pickled tallyfold %s", kind);
  return nullptr;
}

PyObject* reduce_to(const char* kind, PyRef state) {
  if (!state) return nullptr;
  PyObject* restore = restore_function();
  if (!restore) return nullptr;
  return Py_BuildValue("(O(sO))", restore, kind, state.get());
}

bool init_exceptions() {
  if (!internal_failure_type) {
    internal_failure_type = PyErr_NewExceptionWithDoc(
        "tallyfold.InternalFailure",
        "A broken internal invariant of tallyfold, or a result object the interpreter could "
        "not create for a reason other than memory. Not a parse error: derived from "
        "BaseException so that handlers for Exception do not catch it.",
        PyExc_BaseException, nullptr);
    if (!internal_failure_type) return false;
  }
  if (!parse_error_type) {
    // A class attribute, so that a ParseError raised by hand has a line too.
    PyRef attributes(Py_BuildValue("{sO}", "line", Py_None));
    if (!attributes) return false;
    parse_error_type = PyErr_NewExceptionWithDoc(
        "tallyfold.ParseError",
        "A statement file that cannot be read. `line` is the 1-based line of the file the "
        "error arose on, or None when it concerns the file as a whole.",
        PyExc_ValueError, attributes.get());
    if (!parse_error_type) return false;
  }
  return true;
}

PyObject* internal_failure_class() { return internal_failure_type; }
PyObject* parse_error_class() { return parse_error_type; }

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

void set_error(const LocatedError& error, bool line_in_message) {
  std::string display;
  if (error.line != 0 && line_in_message) display = "line " + std::to_string(error.line) + ": ";
  // The exact reading's message is the one MT940(text) gives, values unshortened.
  display += line_in_message ? message(error) : message(error.error);
  if (!parse_error_type) {
    set_value_error(display);
    return;
  }
  PyRef text = lenient_to_python(display);
  PyRef line = error.line != 0 ? count_to_python(error.line) : PyRef::borrow(Py_None);
  if (!text || !line) {
    api_call_failed();
    return;
  }
  PyRef exception(PyObject_CallFunctionObjArgs(parse_error_type, text.get(), nullptr));
  if (!exception || PyObject_SetAttrString(exception.get(), "line", line.get()) < 0) {
    api_call_failed();
    return;
  }
  PyErr_SetObject(parse_error_type, exception.get());
}

PyObject* api_call_failed() {
  // Memory running out is the caller's to handle like anywhere else in Python.
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  if (PyErr_Occurred()) PyErr_Print();
  set_internal_failure("Python API call failed");
  return nullptr;
}

bool warn_all(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) {
    if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) < 0) return false;
  }
  return true;
}

PyObject* finish(PyRef result) {
  if (!result) return api_call_failed();
  return result.release();
}

}  // namespace tallyfold::python
