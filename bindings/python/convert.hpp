// The one conversion layer between core values and Python objects, and the mapping of
// core failures to Python exceptions. The type files use only these.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>

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

/// Creates the internal-failure exception type once per process. False with the
/// interpreter's error set when it cannot be created.
bool init_internal_failure();
/// Raises the internal-failure exception (derived directly from BaseException, so that
/// handlers for Exception do not swallow a broken invariant) with `what`.
void set_internal_failure(std::string_view what);
/// Raises ValueError whose single argument is the display text of `error`.
void set_error(const ParseError& error);
/// Raises ValueError "line N: TEXT" with the display text of `error`; an error of the
/// file as a whole (line 0) gives the text alone.
void set_error(const LocatedError& error);
/// Raises ValueError with `text`, decoded leniently: it may quote bytes of the input.
void set_value_error(std::string_view text);
/// Ends a call whose result object could not be created: prints the pending error to
/// standard error, raises the internal failure "Python API call failed", returns null.
PyObject* api_call_failed();
/// Hands `result` to Python, or ends the call through api_call_failed when it is null.
PyObject* finish(PyRef result);

/// Runs `body`, which returns a new reference or null with an error set, and turns
/// any C++ exception escaping it into the internal failure. For every slot function.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    set_internal_failure(e.what());
  } catch (...) {
    set_internal_failure("unknown C++ exception");
  }
  return nullptr;
}

}  // namespace tallyfold::python
