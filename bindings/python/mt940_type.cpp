#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "py_ref.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/parse.hpp"
#include "types.hpp"

namespace tallyfold::python {
namespace {

struct Mt940Object {
  PyObject_HEAD
  StatementDocument* document;  // owned; set once by mt940_new, never null afterwards
};

const StatementDocument& document_of(PyObject* self) {
  const StatementDocument* document = reinterpret_cast<Mt940Object*>(self)->document;
  if (!document || document->statements.empty()) {
    throw InternalError("MT940 object without statements");
  }
  return *document;
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

    auto document = std::make_unique<StatementDocument>(
        StatementDocument{std::move(*parsed), std::move(resolver)});
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<Mt940Object*>(self)->document = document.release();
    return self;
  });
}

void mt940_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Mt940Object*>(self)->document;
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
  return guarded([&] { return finish(to_python(first_statement(self).opening_balance.currency)); });
}

PyObject* get_opening_balance(PyObject* self, void*) {
  return guarded(
      [&] { return finish(to_python(first_statement(self).opening_balance.signed_amount())); });
}

PyObject* get_closing_balance(PyObject* self, void*) {
  return guarded(
      [&] { return finish(to_python(first_statement(self).closing_balance.signed_amount())); });
}

PyObject* get_resolver_used(PyObject* self, void*) {
  return guarded([&] { return finish(to_python(document_of(self).resolver)); });
}

PyObject* get_transactions(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& records = first_statement(self).transactions;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!list) return api_call_failed();
    for (std::size_t i = 0; i < records.size(); ++i) {
      PyObject* item = new_transaction(records[i]);
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

PyObject* to_json(PyObject* self, PyObject*) {
  return guarded([&] { return export_result(export_json(document_of(self).statements)); });
}

PyObject* to_csv(PyObject* self, PyObject*) {
  return guarded([&] { return export_result(export_csv(document_of(self).statements)); });
}

PyObject* to_camt053(PyObject* self, PyObject*) {
  return guarded(
      [&] { return finish(to_python(std::string_view(export_camt053(document_of(self).statements)))); });
}

PyGetSetDef kGetSet[] = {
    {"account", get_account, nullptr, nullptr, nullptr},
    {"currency", get_currency, nullptr, nullptr, nullptr},
    {"opening_balance", get_opening_balance, nullptr, nullptr, nullptr},
    {"closing_balance", get_closing_balance, nullptr, nullptr, nullptr},
    {"resolver_used", get_resolver_used, nullptr, nullptr, nullptr},
    {"transactions", get_transactions, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// "name($self)\n--\n\n" publishes the text signature and leaves no docstring text.
PyMethodDef kMethods[] = {
    {"to_json", to_json, METH_NOARGS, "to_json($self)\n--\n\n"},
    {"to_csv", to_csv, METH_NOARGS, "to_csv($self)\n--\n\n"},
    {"to_camt053", to_camt053, METH_NOARGS, "to_camt053($self)\n--\n\n"},
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

PyObject* mt940_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = PyType_FromSpec(&kSpec);
  return type;
}

}  // namespace tallyfold::python
