// The Arrow PyCapsule interface: a document's tables handed to pyarrow, polars, DuckDB
// and the like as C streams, built by the core; nothing here looks at a value.
#include <memory>
#include <utility>

#include "convert.hpp"
#include "py_ref.hpp"
#include "tallyfold/arrow.hpp"
#include "types.hpp"

namespace tallyfold::python {
namespace {

constexpr const char kStreamCapsule[] = "arrow_array_stream";

// A capsule a consumer never took, or took and left released: either way its struct is ours.
void free_stream_capsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (!stream) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (stream->release) stream->release(stream);
  delete stream;
}

// Binds (requested_schema=None). The tables have one schema each; a consumer that asked
// for another casts, as the interface allows.
bool bind_requested_schema(PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(keywords),
                                     &requested) != 0;
}

struct TableObject {
  PyObject_HEAD
  std::shared_ptr<const StatementDocument>* document;  // owned; never null after creation
  ArrowTable table;
};

PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind_requested_schema(args, kwargs)) return nullptr;
    const auto* object = reinterpret_cast<TableObject*>(self);
    if (!object->document) throw InternalError("table without its document");
    return arrow_stream(*object->document, object->table);
  });
}

void table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TableObject*>(self)->document;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

PyMethodDef kTableMethods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&table_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A PyCapsule \"arrow_array_stream\" of the table."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kTableDoc[] =
    "The statements of a document as an Arrow table, one row per statement with its "
    "balances and reconciliation; read it with pyarrow.table(), polars.DataFrame() or DuckDB.";

constexpr const char kDetailsTableDoc[] =
    "The payments that batch entries book together (camt TxDtls) as an Arrow table, one row "
    "per payment with its entry's position and transaction id and its details as a map.";

PyType_Slot kTableSlots[] = {
    {Py_tp_doc, const_cast<char*>(kTableDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&table_dealloc)},
    {Py_tp_methods, kTableMethods},
    {0, nullptr},
};

PyType_Slot kDetailsTableSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDetailsTableDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&table_dealloc)},
    {Py_tp_methods, kTableMethods},
    {0, nullptr},
};

PyType_Spec kTableSpec = {"tallyfold.StatementsTable", static_cast<int>(sizeof(TableObject)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                          kTableSlots};

PyType_Spec kDetailsTableSpec = {"tallyfold.TransactionDetailsTable", static_cast<int>(sizeof(TableObject)), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                                 kDetailsTableSlots};

PyObject* new_table(PyObject* type_object, std::shared_ptr<const StatementDocument> document, ArrowTable table) {
  if (!type_object) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  auto owned = std::make_unique<std::shared_ptr<const StatementDocument>>(std::move(document));
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<TableObject*>(self)->document = owned.release();
  reinterpret_cast<TableObject*>(self)->table = table;
  return self;
}

}  // namespace

PyObject* arrow_stream(std::shared_ptr<const StatementDocument> document, ArrowTable table) {
  auto stream = std::make_unique<ArrowArrayStream>();
  const StatementDocument* owner = document.get();
  export_arrow_stream(std::shared_ptr<const std::vector<Statement>>(std::move(document), &owner->statements), table,
                      *stream);
  PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, &free_stream_capsule);
  if (!capsule) {
    stream->release(stream.get());
    return nullptr;
  }
  stream.release();  // the capsule's now
  return capsule;
}

PyObject* arrow_stream_method(std::shared_ptr<const StatementDocument> document, PyObject* args, PyObject* kwargs) {
  if (!bind_requested_schema(args, kwargs)) return nullptr;
  return arrow_stream(std::move(document), ArrowTable::Transactions);
}

PyObject* statements_table_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = PyType_FromSpec(&kTableSpec);
  return type;
}

PyObject* new_statements_table(std::shared_ptr<const StatementDocument> document) {
  return new_table(statements_table_type(), std::move(document), ArrowTable::Statements);
}

PyObject* transaction_details_table_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = PyType_FromSpec(&kDetailsTableSpec);
  return type;
}

PyObject* new_transaction_details_table(std::shared_ptr<const StatementDocument> document) {
  return new_table(transaction_details_table_type(), std::move(document), ArrowTable::TransactionDetails);
}

}  // namespace tallyfold::python
