// How the module's functions take their arguments: as a Python function would, with
// the interpreter's own wording for what does not fit.
#pragma once

#include <Python.h>

#include <string_view>

#include "py_ref.hpp"
#include "tallyfold/read.hpp"

namespace tallyfold::python {

/// Binds MT940's (text, resolver=None), positional or by keyword; both are borrowed and
/// `resolver` stays null when not given. False with TypeError set as CPython words it.
bool bind_text_and_resolver(PyObject* args, PyObject* kwargs, PyObject*& text, PyObject*& resolver);

/// The UTF-8 bytes of a str argument, borrowed from the object. TypeError for another
/// type; lone surrogates leave the interpreter's UnicodeEncodeError set.
bool borrow_utf8(const char* argument, PyObject* value, std::string_view& out);

/// Raises TypeError "FUNCTION() argument 'ARGUMENT' must be EXPECTED, not 'TYPE'SUFFIX".
void set_argument_type_error(const char* function, const char* argument, const char* expected,
                             PyObject* value, const char* suffix = "");

/// The keyword-only options of the class methods that read files (encoding, strict,
/// resolver), checked before any reading: ValueError for an unknown name.
bool convert_options(const char* function, PyObject* encoding, int strict, PyObject* resolver,
                     ReadOptions& options);

/// The bytes of a bytes-like object: borrowed from a bytes object, which cannot change
/// while the lock is released; any other buffer is copied first, since its owner could
/// resize or rewrite it meanwhile. `keep` holds the bytes object the view points into.
bool borrow_bytes(const char* function, const char* argument, PyObject* data, PyRef& keep,
                  std::string_view& out);

}  // namespace tallyfold::python
