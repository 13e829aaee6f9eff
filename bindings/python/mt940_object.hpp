// What an MT940 object holds, shared by the files that make one (reading, the class
// itself) and the methods kept beside their own jobs (camt).
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::python {

// What one MT940 object holds. The document is shared with the Statement objects made
// from it, which may outlive this object.
struct Mt940State {
  std::shared_ptr<const StatementDocument> document;  // never null
  std::vector<Diagnostic> diagnostics;                // the bank-file reading's
  std::string source_format = "MT940";                // what was read
  // The forms made for the bank-file reading, which it was read by; MT940(text) and
  // strict=True export the specified ones.
  bool bank_forms = false;
  // The tuple of Statement objects, built on first access and kept; none of them
  // refers back to this object, so no cycle can form.
  PyObject* statements = nullptr;
  // How to read the document again, for pickling: the input object (the str, or the
  // bytes) and the arguments as given. Held rather than rebuilt, so that pickling costs
  // no copy and every Statement of the document shares it.
  PyObject* origin = nullptr;

  Mt940State() = default;
  Mt940State(const Mt940State&) = delete;
  Mt940State& operator=(const Mt940State&) = delete;
  ~Mt940State() {
    Py_XDECREF(statements);
    Py_XDECREF(origin);
  }
};

struct Mt940Object {
  PyObject_HEAD
  Mt940State* state;  // owned; set once at creation, never null afterwards
};

/// The state of an MT940 object; throws InternalError for one without statements.
Mt940State& state_of(PyObject* self);
const StatementDocument& document_of(PyObject* self);
/// A new instance of `type` holding `state`; null with the interpreter's error set.
PyObject* new_mt940(PyTypeObject* type, std::unique_ptr<Mt940State> state);

/// MT940.from_bytes and MT940.from_file (file_reading.cpp).
PyObject* from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* from_file(PyObject* cls, PyObject* args, PyObject* kwargs);
/// MT940.to_camt (camt_methods.cpp).
PyObject* to_camt(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace tallyfold::python
