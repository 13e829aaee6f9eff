// The one conversion layer between core values and Python objects, and the mapping of
// core failures to Python exceptions. The type files use only these.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::python {

/// A str made from the full byte length of UTF-8 `text`, embedded NULs included.
/// Null with the interpreter's error set when that fails.
PyRef to_python(std::string_view text);
PyRef to_python(const std::string& text);
/// None when absent.
PyRef to_python(const std::optional<std::string_view>& text);
/// A str of `text` with every ill-formed UTF-8 sequence replaced by U+FFFD: for texts
/// that quote bytes of a file (messages, reprs).
PyRef lenient_to_python(std::string_view text);
/// An int.
PyRef count_to_python(std::size_t count);
/// A float.
PyRef to_python(double value);
/// A float of the exact decimal, through decimal_to_double (-0.0 stays -0.0).
PyRef to_python(const Decimal& value);
/// The "%Y-%m-%d" text of the date.
PyRef to_python(const Date& date);
/// None when absent.
PyRef to_python(const std::optional<Date>& date);
/// A new dict of str to str.
PyRef to_python(const DecodedDetails& details);
/// None when absent.
PyRef to_python(const std::optional<DecodedDetails>& details);
/// A decimal.Decimal with the digits and scale of `value` (-0.00 stays -0.00).
PyRef decimal_to_python(const Decimal& value);
/// None when absent.
PyRef decimal_to_python(const std::optional<Decimal>& value);
/// A datetime.date.
PyRef date_to_python(const Date& date);
/// None when absent.
PyRef date_to_python(const std::optional<Date>& date);
/// True, False, or None when absent.
PyRef bool_to_python(const std::optional<bool>& value);
/// True or False. Named apart so that a pointer never converts to it by accident.
PyRef bool_to_python(bool value);

/// The str (or None) of each text back as a view of its UTF-8, borrowed from the object;
/// false with the interpreter's error set for anything else.
bool text_from_python(PyObject* value, std::string_view& out);
bool text_from_python(PyObject* value, std::optional<std::string_view>& out);
/// Seconds since 1970 of `created`: a datetime (naive ones are UTC), a str as
/// parse_timestamp reads it, or an int; None is the core's default creation time.
/// Nullopt with the interpreter's error set for anything else (datetime.cpp).
std::optional<std::int64_t> creation_time(PyObject* created);
/// The Decimal of a canonical text (Decimal::to_string), digits and scale as written.
std::optional<Decimal> decimal_from_text(std::string_view text);
/// The Date of a "%Y-%m-%d" text.
std::optional<Date> date_from_text(std::string_view text);
/// The mark of "D", "C", "RD" or "RC".
std::optional<DebitCreditMark> mark_from_text(std::string_view text);
/// Raises ValueError for a pickled state that no object of `kind` wrote; returns null.
PyObject* bad_state(const char* kind);

/// Value semantics for a class whose instances are fully described by a state tuple
/// (the one they pickle): equal when of one type with equal states, hashed as the state.
template <PyObject* (*state)(PyObject*)>
PyObject* compare_states(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  PyRef left(state(a));
  PyRef right(state(b));
  if (!left || !right) return nullptr;
  return PyObject_RichCompare(left.get(), right.get(), op);
}
template <PyObject* (*state)(PyObject*)>
Py_hash_t hash_state(PyObject* self) {
  PyRef value(state(self));
  if (!value) return -1;
  return PyObject_Hash(value.get());
}
/// (tallyfold._restore, (kind, state)) for __reduce__; null with the error set.
PyObject* reduce_to(const char* kind, PyRef state);

/// Creates the module's exception types once per process. False with the interpreter's
/// error set when they cannot be created.
bool init_exceptions();
/// tallyfold.InternalFailure and tallyfold.ParseError (borrowed; null before init_exceptions).
PyObject* internal_failure_class();
PyObject* parse_error_class();
/// Raises the internal-failure exception (derived directly from BaseException, so that
/// handlers for Exception do not swallow a broken invariant) with `what`.
void set_internal_failure(std::string_view what);
/// Raises ValueError whose single argument is the display text of `error`.
void set_error(const ParseError& error);
/// Raises tallyfold.ParseError (a ValueError) "line N: TEXT" with the display text of
/// `error` and its `line`; an error of the file as a whole (line 0) gives the text alone
/// and the line None. Without `line_in_message`, the text is the display text alone.
void set_error(const LocatedError& error, bool line_in_message = true);
/// Each of a writer's warnings as UserWarning, which a caller may turn into errors;
/// false when one was.
bool warn_all(const std::vector<std::string>& warnings);
/// Raises ValueError with `text`, decoded leniently: it may quote bytes of the input.
void set_value_error(std::string_view text);
/// Ends a call whose result object could not be created: a pending MemoryError stays as
/// it is; any other is printed to standard error and replaced by the internal failure
/// "Python API call failed". Returns null.
PyObject* api_call_failed();
/// Hands `result` to Python, or ends the call through api_call_failed when it is null.
PyObject* finish(PyRef result);

/// Runs `body`, which returns a new reference or null with an error set, and turns
/// any C++ exception escaping it into MemoryError (std::bad_alloc) or the internal
/// failure. For every slot function.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_failure(e.what());
  } catch (...) {
    set_internal_failure("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace tallyfold::python
