#include <cerrno>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "arguments.hpp"
#include "convert.hpp"
#include "mt940_object.hpp"
#include "py_ref.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/mt_export.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/read.hpp"
#include "tallyfold/reconcile.hpp"
#include "types.hpp"

namespace tallyfold::python {

Mt940State& state_of(PyObject* self) {
  Mt940State* state = reinterpret_cast<Mt940Object*>(self)->state;
  if (!state || !state->document || state->document->statements.empty()) {
    throw InternalError("MT940 object without statements");
  }
  return *state;
}

const StatementDocument& document_of(PyObject* self) { return *state_of(self).document; }

// A new instance of `type` holding `state`; null with the interpreter's error set.
PyObject* new_mt940(PyTypeObject* type, std::unique_ptr<Mt940State> state) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<Mt940Object*>(self)->state = state.release();
  return self;
}

namespace {

const Statement& first_statement(PyObject* self) { return document_of(self).statements.front(); }

PyObject* mt940_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* text_arg = nullptr;
    PyObject* resolver_arg = nullptr;
    if (!bind_text_and_resolver(args, kwargs, text_arg, resolver_arg)) return nullptr;

    // Borrowed: the caller's frame keeps the str, and so its UTF-8, alive for the call.
    std::string_view text;
    if (!borrow_utf8("text", text_arg, text)) return nullptr;
    // A byte-order mark would hide the first tag, and with it the first statement.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);

    std::string resolver = "auto";
    if (resolver_arg && resolver_arg != Py_None) {
      std::string_view borrowed;
      if (!borrow_utf8("resolver", resolver_arg, borrowed)) return nullptr;
      resolver.assign(borrowed);
    }

    const DecoderChain chain = select_chain(resolver);
    auto parsed = [&] {
      GilRelease unlocked;
      return parse_statements(text, chain);
    }();
    if (!parsed) {
      set_error(parsed.error());
      return nullptr;
    }
    if (parsed->empty()) throw InternalError("parser succeeded without a statement");

    auto state = std::make_unique<Mt940State>();
    state->document = std::make_shared<const StatementDocument>(
        StatementDocument{std::move(*parsed), std::move(resolver)});
    state->origin = Py_BuildValue("(sOO)", "text", text_arg, resolver_arg ? resolver_arg : Py_None);
    if (!state->origin) return nullptr;
    return new_mt940(type, std::move(state));
  });
}

PyObject* get_source_format(PyObject* self, void*) {
  return guarded([&]() -> PyObject* { return to_python(state_of(self).source_format).release(); });
}

PyObject* get_diagnostics(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& diagnostics = state_of(self).diagnostics;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(diagnostics.size())));
    if (!list) return api_call_failed();
    for (std::size_t i = 0; i < diagnostics.size(); ++i) {
      PyObject* item = new_diagnostic(diagnostics[i]);
      if (!item) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    return list.release();
  });
}

PyObject* get_statements(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Mt940State& state = state_of(self);
    if (!state.statements) {
      const auto& statements = state.document->statements;
      const std::vector<StatementCheck> checks = check_statements(statements);
      PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(statements.size())));
      if (!tuple) return api_call_failed();
      for (std::size_t i = 0; i < statements.size(); ++i) {
        PyObject* item = new_statement(state.document, i, checks[i], state.origin);
        if (!item) return nullptr;
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
      }
      // Building may have run other threads (a collection can); the first tuple stays.
      if (!state.statements) state.statements = tuple.release();
    }
    return Py_NewRef(state.statements);
  });
}

void mt940_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Mt940Object*>(self)->state;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

Py_ssize_t mt940_length(PyObject* self) {
  try {
    return static_cast<Py_ssize_t>(first_statement(self).transactions.size());
  } catch (const std::exception& e) {
    set_internal_failure(e.what());
    return -1;
  }
}

PyObject* get_account(PyObject* self, void*) {
  return guarded([&] { return finish(to_python(first_statement(self).account_identification)); });
}

PyObject* get_currency(PyObject* self, void*) {
  return guarded([&] { return finish(to_python(statement_currency(first_statement(self)))); });
}

// The float balances and to_camt053() promise a statement; a report has no balances.
bool refuse_report(PyObject* self) {
  const Statement& s = first_statement(self);
  if (s.kind == StatementKind::Notification) {
    set_value_error("a notification (camt.054) is no statement and has no balances");
    return true;
  }
  if (s.kind != StatementKind::InterimReport) return false;
  if (s.opening_balance_given && s.closing_balance_given) return false;  // a camt report may give both
  set_value_error("an interim report (MT942) has no balances");
  return true;
}

PyObject* get_opening_balance(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    if (refuse_report(self)) return nullptr;
    return finish(to_python(first_statement(self).opening_balance.signed_amount()));
  });
}

PyObject* get_closing_balance(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    if (refuse_report(self)) return nullptr;
    return finish(to_python(first_statement(self).closing_balance.signed_amount()));
  });
}

PyObject* get_resolver_used(PyObject* self, void*) {
  return guarded([&] { return finish(to_python(document_of(self).resolver)); });
}

PyObject* get_transactions(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& records = first_statement(self).transactions;
    const std::vector<TransactionId> ids = ids_of(first_statement(self));
    PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return api_call_failed();
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = new_transaction(records[i], ids.empty() ? nullptr : &ids[i]);
      if (!item) return nullptr;  // the partial list goes with `list`
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    return list.release();
  });
}

PyObject* export_result(Result<std::string> text) {
  if (!text) {
    set_error(text.error());
    return nullptr;
  }
  return finish(to_python(std::string_view(*text)));
}

// A document read from a file exports the bank-file form; MT940(text) its fixed one.
bool bank_form(PyObject* self) { return state_of(self).bank_forms; }

PyObject* to_json(PyObject* self, PyObject*) {
  return guarded([&] {
    const bool bank = bank_form(self);
    return export_result(export_json(document_of(self).statements, JsonOptions{bank, bank}));
  });
}

PyObject* to_csv(PyObject* self, PyObject*) {
  return guarded([&] {
    const bool bank = bank_form(self);
    return export_result(export_csv(document_of(self).statements, CsvOptions{CsvDialect::Standard, bank, bank}));
  });
}

PyObject* to_camt053(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (refuse_report(self)) return nullptr;
    return finish(to_python(std::string_view(export_camt053(document_of(self).statements))));
  });
}

PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return arrow_stream_method(state_of(self).document, args, kwargs); });
}

// Unpickled through tallyfold._restore, which reads the same input again.
PyObject* mt940_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    PyObject* restore = restore_function();
    if (!restore) return nullptr;
    return Py_BuildValue("(O(sO))", restore, "MT940", state_of(self).origin);
  });
}

PyObject* statements_table(PyObject* self, PyObject*) {
  return guarded([&] { return new_statements_table(state_of(self).document); });
}

PyObject* transaction_details_table(PyObject* self, PyObject*) {
  return guarded([&] { return new_transaction_details_table(state_of(self).document); });
}


PyObject* to_mt940(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"line_ending", nullptr};
    const char* line_ending = "\r\n";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$s:to_mt940", const_cast<char**>(keywords), &line_ending)) {
      return nullptr;
    }
    const std::string_view eol = line_ending;
    if (eol != "\r\n" && eol != "\n") {
      set_value_error("line_ending must be \"\\r\\n\" or \"\\n\"");
      return nullptr;
    }
    auto document = export_mt(document_of(self).statements, MtOptions{eol == "\r\n"});
    if (!document) {
      set_error(document.error());
      return nullptr;
    }
    if (!warn_all(document->warnings)) return nullptr;
    return finish(to_python(std::string_view(document->text)));
  });
}

PyGetSetDef kGetSet[] = {
    {"account", get_account, nullptr, nullptr, nullptr},
    {"currency", get_currency, nullptr, nullptr, nullptr},
    {"opening_balance", get_opening_balance, nullptr, nullptr, nullptr},
    {"closing_balance", get_closing_balance, nullptr, nullptr, nullptr},
    {"resolver_used", get_resolver_used, nullptr, nullptr, nullptr},
    {"transactions", get_transactions, nullptr, nullptr, nullptr},
    {"diagnostics", get_diagnostics, nullptr, nullptr, nullptr},
    {"statements", get_statements, nullptr, nullptr, nullptr},
    {"source_format", get_source_format, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// "name($self)\n--\n\n" publishes the text signature and leaves no docstring text.
PyMethodDef kMethods[] = {
    {"to_json", to_json, METH_NOARGS, "to_json($self)\n--\n\n"},
    {"to_csv", to_csv, METH_NOARGS, "to_csv($self)\n--\n\n"},
    {"to_camt053", to_camt053, METH_NOARGS, "to_camt053($self)\n--\n\n"},
    {"to_camt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&to_camt)), METH_VARARGS | METH_KEYWORDS,
     "to_camt($self, /, version='08', created=None, *, entry_status='booked', split_accounts=False)\n--\n\n"
     "One ISO 20022 document valid against its official schema: camt.053 for statements,\n"
     "camt.052 for MT942 interim reports, in version \"02\", \"06\" or \"08\". `created` (a\n"
     "datetime, naive ones in UTC; an ISO 8601 str; seconds) is its creation time, by\n"
     "default SOURCE_DATE_EPOCH when set, else now. A statement that cannot be written\n"
     "validly is left out with a UserWarning; ValueError when none can be, or when the\n"
     "document mixes statements and interim reports. entry_status='pending' writes the\n"
     "entries of interim reports as pending. split_accounts=True returns a dict of one\n"
     "document per account, keyed by the account as the document holds it."},
    {"to_mt940", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&to_mt940)), METH_VARARGS | METH_KEYWORDS,
     "to_mt940($self, /, *, line_ending='\\r\\n')\n--\n\n"
     "The statements as SWIFT MT940 text, interim reports as MT942: bare messages with\n"
     "lines of at most 65 characters in SWIFT's character set (other characters in their\n"
     "nearest form). A statement that cannot be written without inventing or losing a\n"
     "value is left out with a UserWarning; ValueError when none can be written."},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A PyCapsule \"arrow_array_stream\" of every transaction of every statement, one row\n"
     "each: pyarrow.table(doc), polars.DataFrame(doc) and DuckDB read it directly."},
    {"__reduce__", mt940_reduce, METH_NOARGS, nullptr},
    {"statements_table", statements_table, METH_NOARGS,
     "statements_table($self)\n--\n\n"
     "Every statement with its balances, as an object with __arrow_c_stream__."},
    {"transaction_details_table", transaction_details_table, METH_NOARGS,
     "transaction_details_table($self)\n--\n\n"
     "Every payment of the entries that book several together (camt TxDtls), one row\n"
     "each, as an object with __arrow_c_stream__."},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_bytes)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_bytes($cls, /, data, *, encoding=None, strict=False, resolver=None)\n--\n\n"
     "Reads the bytes of a statement file as the command does by default: charset detection\n"
     "(or `encoding`), unwrapping and the bank-file reading. With strict=True, decodes them\n"
     "(from `encoding`, else as UTF-8) and reads the text exactly as MT940(text) does.\n"
     "Raises ValueError \"line N: message\" when the file cannot be read."},
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_file)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, /, path, *, encoding=None, strict=False, resolver=None)\n--\n\n"
     "Reads the file at `path` (a str or os.PathLike), or an open binary file, as\n"
     "from_bytes reads its bytes; a file that cannot be opened raises OSError."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "MT940(text, resolver=None)\n"
    "--\n"
    "\n"
    "A parsed MT940 bank statement.\n"
    "\n"
    "Constructed from raw MT940 text, it keeps all parsed data in native memory and\n"
    "supports inspection and export to JSON, CSV and camt.053 XML without re-parsing.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&mt940_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&mt940_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(&mt940_length)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.MT940",
    static_cast<int>(sizeof(Mt940Object)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* read_again(PyObject* origin) {
  const char* how = nullptr;
  PyObject* data = nullptr;
  PyObject* encoding = Py_None;
  PyObject* strict = Py_False;
  PyObject* resolver = Py_None;
  if (!PyTuple_Check(origin) ||
      !PyArg_ParseTuple(origin, "sO|OOO:_restore", &how, &data, &encoding, &strict, &resolver)) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "not a pickled tallyfold document");
    }
    return nullptr;
  }
  PyObject* type = mt940_type();
  if (!type) return nullptr;
  if (std::string_view(how) == "text") return PyObject_CallFunctionObjArgs(type, data, encoding, nullptr);
  if (std::string_view(how) != "bytes") {
    PyErr_SetString(PyExc_ValueError, "not a pickled tallyfold document");
    return nullptr;
  }
  PyRef method(PyObject_GetAttrString(type, "from_bytes"));
  PyRef args(PyTuple_Pack(1, data));
  PyRef keywords(Py_BuildValue("{sOsOsO}", "encoding", encoding, "strict", strict, "resolver", resolver));
  if (!method || !args || !keywords) return nullptr;
  return PyObject_Call(method.get(), args.get(), keywords.get());
}

std::shared_ptr<const StatementDocument> shared_document(PyObject* mt940) { return state_of(mt940).document; }

PyObject* mt940_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = PyType_FromSpec(&kSpec);
  return type;
}

}  // namespace tallyfold::python
