// The two Python classes of the module. Each type object is created once per process,
// on first use, and lives until the process ends.
#pragma once

#include <Python.h>

#include "tallyfold/model.hpp"

namespace tallyfold::python {

/// The MT940 class (borrowed), or null with the interpreter's error set.
PyObject* mt940_type();
/// The Transaction class (borrowed), or null with the interpreter's error set.
PyObject* transaction_type();

/// A new Transaction holding its own snapshot of `record`; null with the interpreter's
/// error set when allocation fails.
PyObject* new_transaction(const Transaction& record);

}  // namespace tallyfold::python
