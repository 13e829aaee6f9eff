#include <Python.h>

#include <cstdint>
#include <utility>

#include "convert.hpp"
#include "py_ref.hpp"
#include "types.hpp"

namespace tallyfold::python {
namespace {

// m_size 0 rather than -1: the import machinery then calls the init function again for
// every interpreter instead of copying a cached module dict, so the interpreter check
// below sees every attempt.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tallyfold",
    "",
    0,
    nullptr,
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

  if (!init_internal_failure()) return nullptr;
  PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  if (!add_public(module.get(), "MT940", mt940_type())) return nullptr;
  if (!add_public(module.get(), "Transaction", transaction_type())) return nullptr;
  // Reachable for isinstance and annotations, but outside __all__, which stays as it was.
  for (auto [name, type] : {std::pair{"Statement", statement_type()}, std::pair{"Balance", balance_type()},
                            std::pair{"Diagnostic", diagnostic_type()}}) {
    if (!type || PyObject_SetAttrString(module.get(), name, type) < 0) return nullptr;
  }
  owner_interpreter = id;
  return module.release();
}

}  // namespace
}  // namespace tallyfold::python

PyMODINIT_FUNC PyInit_tallyfold() {
  return tallyfold::python::guarded([] { return tallyfold::python::init_module(); });
}
