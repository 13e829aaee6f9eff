// The Python classes of the module. Each type object is created once per process, on
// first use, and lives until the process ends.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/reconcile.hpp"

namespace tallyfold::python {

/// The MT940 class (borrowed), or null with the interpreter's error set.
PyObject* mt940_type();
/// The Transaction class (borrowed), or null with the interpreter's error set.
PyObject* transaction_type();
/// The Statement, Balance and Diagnostic classes (borrowed), or null likewise.
PyObject* statement_type();
PyObject* balance_type();
PyObject* diagnostic_type();

/// A new Transaction holding its own snapshot of `record`, read by `reading`; null with
/// the interpreter's error set when allocation fails.
PyObject* new_transaction(const Transaction& record, Reading reading);

/// A new Statement for statement `index` of `document`, which it keeps alive; `check`
/// is that statement's reconciliation. Null with the interpreter's error set on failure.
PyObject* new_statement(std::shared_ptr<const StatementDocument> document, std::size_t index,
                        const StatementCheck& check);
/// A new Balance holding a copy of `balance`; null likewise.
PyObject* new_balance(const Balance& balance);
/// A new Diagnostic holding a copy of `diagnostic`; null likewise.
PyObject* new_diagnostic(const Diagnostic& diagnostic);

}  // namespace tallyfold::python
