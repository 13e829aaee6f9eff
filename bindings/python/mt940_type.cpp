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

#include "convert.hpp"
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
namespace {

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

const Statement& first_statement(PyObject* self) { return document_of(self).statements.front(); }

// --- argument binding -------------------------------------------------------------

constexpr const char* kFunction = "MT940.__new__()";

void set_type_error(PyRef message) {
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// Binds (text, resolver=None) as a Python function would; both are borrowed.
bool bind_arguments(PyObject* args, PyObject* kwargs, PyObject*& text, PyObject*& resolver) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (given > 2) {
    set_type_error(PyRef(PyUnicode_FromFormat(
        "%s takes from 1 to 2 positional arguments but %zd were given", kFunction, given)));
    return false;
  }
  if (given >= 1) text = PyTuple_GetItem(args, 0);
  if (given >= 2) resolver = PyTuple_GetItem(args, 1);

  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyObject** slot = nullptr;
      Py_ssize_t position = 0;
      if (PyUnicode_Check(key)) {
        if (PyUnicode_CompareWithASCIIString(key, "text") == 0) {
          slot = &text;
          position = 0;
        } else if (PyUnicode_CompareWithASCIIString(key, "resolver") == 0) {
          slot = &resolver;
          position = 1;
        }
      }
      if (!slot) {
        set_type_error(PyRef(PyUnicode_FromFormat(
            "%s got an unexpected keyword argument '%S'", kFunction, key)));
        return false;
      }
      if (given > position) {
        set_type_error(PyRef(PyUnicode_FromFormat(
            "%s got multiple values for argument '%S'", kFunction, key)));
        return false;
      }
      *slot = value;
    }
  }

  if (!text) {
    set_type_error(PyRef(PyUnicode_FromFormat(
        "%s missing 1 required positional argument: 'text'", kFunction)));
    return false;
  }
  return true;
}

void set_conversion_error(const char* argument, PyObject* value) {
  PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!type_name) return;
  set_type_error(PyRef(PyUnicode_FromFormat(
      "argument '%s': '%S' object cannot be converted to 'PyString'", argument, type_name.get())));
}

// The UTF-8 bytes of a str argument, borrowed from the object. Lone surrogates leave the
// interpreter's UnicodeEncodeError set.
bool borrow_utf8(const char* argument, PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    set_conversion_error(argument, value);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// --- slots ------------------------------------------------------------------------

PyObject* mt940_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* text_arg = nullptr;
    PyObject* resolver_arg = nullptr;
    if (!bind_arguments(args, kwargs, text_arg, resolver_arg)) return nullptr;

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

// --- MT940.from_bytes and MT940.from_file ------------------------------------------

// Raises TypeError "FUNCTION() argument 'ARGUMENT' must be EXPECTED, not 'TYPE'SUFFIX".
void set_argument_type_error(const char* function, const char* argument, const char* expected,
                             PyObject* value, const char* suffix = "") {
  PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not '%U'%s", function, argument, expected,
               type_name.get(), suffix);
}

// The keyword-only options both class methods take, checked before any reading.
bool convert_options(const char* function, PyObject* encoding, int strict, PyObject* resolver,
                     ReadOptions& options) {
  options.strict = strict != 0;
  if (resolver != Py_None) {
    std::string_view name;
    if (!PyUnicode_Check(resolver)) {
      set_argument_type_error(function, "resolver", "str or None", resolver);
      return false;
    }
    if (!borrow_utf8("resolver", resolver, name)) return false;
    if (auto unknown = unknown_resolver(name)) {
      set_value_error(*unknown);
      return false;
    }
    options.resolver.assign(name);
  }
  if (encoding != Py_None) {
    std::string_view name;
    if (!PyUnicode_Check(encoding)) {
      set_argument_type_error(function, "encoding", "str or None", encoding);
      return false;
    }
    if (!borrow_utf8("encoding", encoding, name)) return false;
    auto resolved = named_encoding(name);
    if (!resolved) {
      set_value_error(resolved.error().message);
      return false;
    }
    options.encoding = std::move(*resolved);
  }
  return true;
}

// The bytes of a bytes-like object: borrowed from a bytes object, which cannot change
// while the lock is released; any other buffer is copied first, since its owner could
// resize or rewrite it meanwhile. `keep` holds the bytes object the view points into.
bool borrow_bytes(const char* function, const char* argument, PyObject* data, PyRef& keep,
                  std::string_view& out) {
  if (!PyBytes_Check(data)) {
    PyRef view(PyMemoryView_FromObject(data));
    if (!view) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      const char* hint = PyUnicode_Check(data) ? " (a str is read with MT940(text))" : "";
      set_argument_type_error(function, argument, "a bytes-like object", data, hint);
      return false;
    }
    data = PyObject_Bytes(view.get());
    if (!data) return false;
    keep = PyRef(data);
  } else {
    keep = PyRef::borrow(data);
  }
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return false;
  out = std::string_view(bytes, static_cast<std::size_t>(size));
  return true;
}

// The keyword options of a reading as the caller gave them, kept for pickling.
struct GivenOptions {
  PyObject* encoding;
  int strict;
  PyObject* resolver;
};

// Reads `bytes` (of the bytes object `data`), or the file at `path`, with the lock
// released and makes the MT940 of the result.
PyObject* read_document(PyTypeObject* type, PyObject* data, std::string_view bytes, const std::string* path,
                        ReadOptions options, PyObject* path_object, const GivenOptions& given) {
  std::string file_bytes;
  int file_error = 0;
  auto outcome = [&]() -> std::optional<Result<StatementFile, ReadError>> {
    GilRelease unlocked;
    if (path) {
      auto read = read_whole_file(*path);
      if (!read) {
        file_error = read.error();
        return std::nullopt;
      }
      file_bytes = std::move(*read);
      bytes = file_bytes;
    }
    return read_statement_file(bytes, options);
  }();
  if (!outcome) {
    errno = file_error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_object);
  }
  if (!*outcome) {
    const ReadError& error = outcome->error();
    if (error.not_utf8) {
      set_error(LocatedError{error.error.line, EncodingError{message(error.error) +
                                                             "; name its encoding, for example encoding=\"latin-1\""}});
    } else {
      set_error(error.error, error.line_in_message);
    }
    return nullptr;
  }
  if (outcome->value().statements.empty()) throw InternalError("reading succeeded without a statement");
  auto state = std::make_unique<Mt940State>();
  state->document = std::make_shared<const StatementDocument>(
      StatementDocument{std::move(outcome->value().statements), std::move(options.resolver)});
  state->diagnostics = std::move(outcome->value().diagnostics);
  state->bank_forms = !options.strict;
  state->source_format = std::move(outcome->value().source_format);
  PyRef read_bytes;
  if (!data) {
    read_bytes = PyRef(PyBytes_FromStringAndSize(file_bytes.data(), static_cast<Py_ssize_t>(file_bytes.size())));
    if (!read_bytes) return nullptr;
    data = read_bytes.get();
  }
  state->origin = Py_BuildValue("(sOOOO)", "bytes", data, given.encoding, given.strict ? Py_True : Py_False,
                                given.resolver);
  if (!state->origin) return nullptr;
  return new_mt940(type, std::move(state));
}

PyObject* from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"data", "encoding", "strict", "resolver", nullptr};
    PyObject* data = nullptr;
    PyObject* encoding = Py_None;
    int strict = 0;
    PyObject* resolver = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OpO:from_bytes", const_cast<char**>(keywords), &data,
                                     &encoding, &strict, &resolver)) {
      return nullptr;
    }
    ReadOptions options;
    if (!convert_options("from_bytes", encoding, strict, resolver, options)) return nullptr;
    PyRef keep;
    std::string_view bytes;
    if (!borrow_bytes("from_bytes", "data", data, keep, bytes)) return nullptr;
    return read_document(reinterpret_cast<PyTypeObject*>(cls), keep.get(), bytes, nullptr, std::move(options),
                         nullptr, GivenOptions{encoding, strict, resolver});
  });
}

PyObject* from_file(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"path", "encoding", "strict", "resolver", nullptr};
    PyObject* path = nullptr;
    PyObject* encoding = Py_None;
    int strict = 0;
    PyObject* resolver = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OpO:from_file", const_cast<char**>(keywords), &path,
                                     &encoding, &strict, &resolver)) {
      return nullptr;
    }
    ReadOptions options;
    if (!convert_options("from_file", encoding, strict, resolver, options)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);

    // An open file: its read() gives the bytes, which must be bytes (binary mode).
    if (!PyUnicode_Check(path) && !PyBytes_Check(path) && PyObject_HasAttrString(path, "read")) {
      PyRef content(PyObject_CallMethod(path, "read", nullptr));
      if (!content) return nullptr;
      if (PyUnicode_Check(content.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "from_file() needs a file opened in binary mode ('rb'): read() returned str");
        return nullptr;
      }
      PyRef keep;
      std::string_view bytes;
      if (!borrow_bytes("from_file", "path.read()", content.get(), keep, bytes)) return nullptr;
      return read_document(type, keep.get(), bytes, nullptr, std::move(options), nullptr,
                           GivenOptions{encoding, strict, resolver});
    }

    PyRef fspath(PyOS_FSPath(path));
    if (!fspath) return nullptr;
    PyRef encoded;
    if (PyUnicode_Check(fspath.get())) {
      encoded = PyRef(PyUnicode_EncodeFSDefault(fspath.get()));
    } else {
      encoded = PyRef::borrow(fspath.get());
    }
    if (!encoded) return nullptr;
    char* name = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &name, &size) < 0) return nullptr;
    if (std::string_view(name, static_cast<std::size_t>(size)).find('\0') != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError, "from_file() path holds a NUL character");
      return nullptr;
    }
    const std::string file(name, static_cast<std::size_t>(size));
    return read_document(type, nullptr, {}, &file, std::move(options), fspath.get(),
                         GivenOptions{encoding, strict, resolver});
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

// Seconds since 1970 of `created`: a datetime (naive ones are UTC), a string as
// parse_timestamp reads it, or a number; None is the core's default creation time.
std::optional<std::int64_t> creation_time(PyObject* created) {
  if (created == Py_None) return default_creation_time();
  if (PyUnicode_Check(created)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(created, &size);
    if (!text) return std::nullopt;
    const auto seconds = parse_timestamp(std::string_view(text, static_cast<std::size_t>(size)));
    if (!seconds) set_value_error("created: not a time such as 2026-01-31T12:00:00Z: " + std::string(text, size));
    return seconds;
  }
  if (PyLong_Check(created)) {
    const long long seconds = PyLong_AsLongLong(created);
    if (seconds == -1 && PyErr_Occurred()) return std::nullopt;
    return seconds;
  }
  if (PyObject_HasAttrString(created, "utcoffset") && PyObject_HasAttrString(created, "timestamp")) {
    PyRef moment = PyRef::borrow(created);
    PyRef offset(PyObject_CallMethod(created, "utcoffset", nullptr));
    if (!offset) return std::nullopt;
    if (offset.get() == Py_None) {
      PyRef module(PyImport_ImportModule("datetime"));
      if (!module) return std::nullopt;
      PyRef timezone(PyObject_GetAttrString(module.get(), "timezone"));
      if (!timezone) return std::nullopt;
      PyRef utc(PyObject_GetAttrString(timezone.get(), "utc"));
      PyRef replace(PyObject_GetAttrString(created, "replace"));
      PyRef no_args(PyTuple_New(0));
      PyRef keywords(Py_BuildValue("{sO}", "tzinfo", utc.get()));
      if (!utc || !replace || !no_args || !keywords) return std::nullopt;
      moment = PyRef(PyObject_Call(replace.get(), no_args.get(), keywords.get()));
      if (!moment) return std::nullopt;
    }
    PyRef timestamp(PyObject_CallMethod(moment.get(), "timestamp", nullptr));
    if (!timestamp) return std::nullopt;
    const double value = PyFloat_AsDouble(timestamp.get());
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::int64_t>(std::floor(value));
  }
  PyErr_SetString(PyExc_TypeError, "created must be a datetime, a str, an int or None");
  return std::nullopt;
}


// A document's warnings as UserWarning, which a caller may turn into errors; false when
// one was.
bool warn_all(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) {
    if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) < 0) return false;
  }
  return true;
}

PyObject* to_camt(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"version", "created", "entry_status", "split_accounts", nullptr};
    const char* version_text = "08";
    PyObject* created = Py_None;
    const char* status_text = "booked";
    int split_accounts = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|sO$sp:to_camt", const_cast<char**>(keywords), &version_text,
                                     &created, &status_text, &split_accounts)) {
      return nullptr;
    }
    const auto version = camt_version_from(version_text);
    if (!version) {
      set_value_error("version must be \"02\", \"06\" or \"08\", not '" + std::string(version_text) + "'");
      return nullptr;
    }
    const auto status = camt_entry_status_from(status_text);
    if (!status) {
      set_value_error("entry_status must be \"booked\" or \"pending\", not '" + std::string(status_text) + "'");
      return nullptr;
    }
    const auto seconds = creation_time(created);
    if (!seconds) return nullptr;
    const CamtOptions options{*version, *seconds, *status};
    if (split_accounts) {
      auto documents = export_camt_per_account(document_of(self).statements, options);
      if (!documents) {
        set_error(documents.error());
        return nullptr;
      }
      PyRef result(PyDict_New());
      if (!result) return nullptr;
      for (const CamtAccountDocument& d : *documents) {
        if (!warn_all(d.document.warnings)) return nullptr;
        PyRef key(to_python(std::string_view(d.account)));
        PyRef value(to_python(std::string_view(d.document.xml)));
        if (!key || !value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return result.release();
    }
    auto document = export_camt(document_of(self).statements, options);
    if (!document) {
      set_error(document.error());
      return nullptr;
    }
    if (!warn_all(document->warnings)) return nullptr;
    return finish(to_python(std::string_view(document->xml)));
  });
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
    for (const std::string& warning : document->warnings) {
      if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) < 0) return nullptr;
    }
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
