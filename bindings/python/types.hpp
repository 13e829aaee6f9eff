// The Python classes of the module. Each type object is created once per process, on
// first use, and lives until the process ends.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "tallyfold/arrow.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/reconcile.hpp"
#include "tallyfold/transaction_id.hpp"

namespace tallyfold::python {

/// The MT940 class (borrowed), or null with the interpreter's error set.
PyObject* mt940_type();
/// The Transaction class (borrowed), or null with the interpreter's error set.
PyObject* transaction_type();
/// The Statement, Balance and Diagnostic classes (borrowed), or null likewise.
PyObject* statement_type();
PyObject* balance_type();
PyObject* diagnostic_type();

/// A new Transaction holding its own snapshot of `record`, with its id (from
/// transaction_ids of its statement; none for the exact reading, which has no ids);
/// null with the interpreter's error set when allocation fails.
PyObject* new_transaction(const Transaction& record, const TransactionId* id);
/// The ids of the statement's transactions when the bank-file reading's decoders read
/// them; none (an empty list) for the exact reading.
inline std::vector<TransactionId> ids_of(const Statement& s) {
  const bool bank = !s.transactions.empty() && s.transactions.front().rules == FieldRules::Bank;
  return bank ? transaction_ids(s) : std::vector<TransactionId>();
}

/// A new Statement for statement `index` of `document`, which it keeps alive; `check`
/// is that statement's reconciliation, `origin` how its MT940 reads the document again.
/// Null with the interpreter's error set on failure.
PyObject* new_statement(std::shared_ptr<const StatementDocument> document, std::size_t index,
                        const StatementCheck& check, PyObject* origin);
/// A new Balance holding a copy of `balance`; null likewise.
PyObject* new_balance(const Balance& balance);
/// A new Diagnostic holding a copy of `diagnostic`; null likewise.
PyObject* new_diagnostic(const Diagnostic& diagnostic);

/// A new MT940 read again from the origin an MT940 pickles; null with the interpreter's
/// error set (ValueError for what no MT940 pickled).
PyObject* read_again(PyObject* origin);
/// The document an MT940 holds.
std::shared_ptr<const StatementDocument> shared_document(PyObject* mt940);

/// tallyfold._restore (borrowed), which every pickled object of the module names; null
/// with the interpreter's error set.
PyObject* restore_function();
/// The _restore of each kind from its pickled state; null with the interpreter's error
/// set (ValueError for a state no such object pickled).
PyObject* restore_statement(PyObject* state);
PyObject* restore_transaction(PyObject* state);
PyObject* restore_balance(PyObject* state);
PyObject* restore_diagnostic(PyObject* state);

/// A PyCapsule "arrow_array_stream" of `table` of `document`, which the stream keeps
/// alive; null with the interpreter's error set.
PyObject* arrow_stream(std::shared_ptr<const StatementDocument> document, ArrowTable table);
/// __arrow_c_stream__(requested_schema=None) of a document: its transactions table.
PyObject* arrow_stream_method(std::shared_ptr<const StatementDocument> document, PyObject* args, PyObject* kwargs);
/// The StatementsTable class (borrowed), and a new instance for `document`; null with
/// the interpreter's error set.
PyObject* statements_table_type();
PyObject* new_statements_table(std::shared_ptr<const StatementDocument> document);
/// The same for the TransactionDetailsTable class: the payments of batch entries.
PyObject* transaction_details_table_type();
PyObject* new_transaction_details_table(std::shared_ptr<const StatementDocument> document);

}  // namespace tallyfold::python
