#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "py_ref.hpp"
#include "types.hpp"

namespace tallyfold::python {
namespace {

// tallyfold._restore(kind, state): what every pickled object of the module names, so
// that unpickling never calls a class (Transaction refuses construction).
PyObject* restore(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* kind = nullptr;
    PyObject* state = nullptr;
    if (!PyArg_ParseTuple(args, "sO:_restore", &kind, &state)) return nullptr;
    const std::string_view name(kind);
    if (name == "MT940") return read_again(state);
    if (name == "Statement") return restore_statement(state);
    if (name == "Transaction") return restore_transaction(state);
    if (name == "Balance") return restore_balance(state);
    if (name == "Diagnostic") return restore_diagnostic(state);
    PyErr_Format(PyExc_ValueError, "not a pickled tallyfold object: %s", kind);
    return nullptr;
  });
}

PyMethodDef kFunctions[] = {
    {"_restore", restore, METH_VARARGS, "_restore(kind, state, /)\n--\n\nUnpickles a tallyfold object."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: the import machinery then calls the init function again for
// every interpreter instead of copying a cached module dict, so the interpreter check
// below sees every attempt.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tallyfold",
    "",
    0,
    kFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first initialised the module; the type objects belong to it.
std::int64_t owner_interpreter = -1;

// Sets `name` on the module and appends it to __all__, creating the list on first use.
bool add_public(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  if (PyObject_SetAttrString(module, name, value) < 0) return false;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0;
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) return nullptr;
  if (owner_interpreter != -1 && owner_interpreter != id) {
    // The types and the failure exception are per process; a second interpreter would
    // share objects that belong to the first.
    PyErr_SetString(PyExc_ImportError,
                    "tallyfold does not support sub-interpreters: it is already initialised "
                    "in another interpreter of this process");
    return nullptr;
  }
  if (PyObject* existing = PyState_FindModule(&kModule)) return Py_NewRef(existing);

  if (!init_exceptions()) return nullptr;
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!add_public(module.get(), "MT940", mt940_type())) return nullptr;
  if (!add_public(module.get(), "Transaction", transaction_type())) return nullptr;
  // Reachable for isinstance and annotations, but outside __all__, which stays as it was.
  for (auto [name, type] : {std::pair{"Statement", statement_type()}, std::pair{"Balance", balance_type()},
                            std::pair{"Diagnostic", diagnostic_type()},
                            std::pair{"StatementsTable", statements_table_type()},
                            std::pair{"TransactionDetailsTable", transaction_details_table_type()},
                            std::pair{"ParseError", parse_error_class()},
                            std::pair{"InternalFailure", internal_failure_class()}}) {
    if (!type || PyObject_SetAttrString(module.get(), name, type) < 0) return nullptr;
  }
  PyRef version(PyUnicode_FromString(TALLYFOLD_VERSION));
  if (!version || PyObject_SetAttrString(module.get(), "__version__", version.get()) < 0) return nullptr;
  owner_interpreter = id;
  return module.release();
}

}  // namespace

PyObject* restore_function() {
  static PyObject* function = nullptr;  // held for the life of the process
  if (!function) {
    PyObject* module = PyState_FindModule(&kModule);
    if (!module) {
      PyErr_SetString(PyExc_SystemError, "tallyfold is not initialised");
      return nullptr;
    }
    function = PyObject_GetAttrString(module, "_restore");
  }
  return function;
}

}  // namespace tallyfold::python

PyMODINIT_FUNC PyInit_tallyfold() {
  return tallyfold::python::guarded([] { return tallyfold::python::init_module(); });
}
