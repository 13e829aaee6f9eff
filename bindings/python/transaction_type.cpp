#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "py_ref.hpp"
#include "tallyfold/bank_details.hpp"
#include "tallyfold/export.hpp"
#include "types.hpp"

namespace tallyfold::python {
namespace {

// The fields Python can see, with a copy of every text they view: the document the
// record came from may be gone long before this object. The exact reading derives its
// three fields on each access; the bank-file reading derives its fields at creation,
// from parts of the record (the supplementary details) that the snapshot does not keep.
struct Snapshot {
  explicit Snapshot(std::size_t text_bytes) : texts(text_bytes) {}
  TextBuffer texts;
  Transaction record;
  std::optional<BankFields> bank;  // the bank-file reading's fields
};

struct TransactionObject {
  PyObject_HEAD
  Snapshot* snapshot;  // owned; set once by new_transaction, never null afterwards
};

const Transaction& snapshot_of(PyObject* self) {
  const Snapshot* snapshot = reinterpret_cast<TransactionObject*>(self)->snapshot;
  if (!snapshot) throw InternalError("Transaction object without snapshot");
  return snapshot->record;
}

// A getter whose value is computed from the snapshot alone.
template <typename Compute>
PyObject* read(PyObject* self, Compute&& compute) {
  return guarded([&] { return finish(compute(snapshot_of(self))); });
}

PyObject* transaction_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Transaction");
  return nullptr;
}

void transaction_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TransactionObject*>(self)->snapshot;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

PyObject* get_value_date(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.value_date); });
}
PyObject* get_entry_date(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.entry_date); });
}
PyObject* get_debit_credit(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(mark_text(t.debit_credit)); });
}
PyObject* get_amount(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.signed_amount()); });
}
PyObject* signed_amount(PyObject* self, PyObject*) { return get_amount(self, nullptr); }
PyObject* get_is_credit(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return bool_to_python(is_credit_side(t.debit_credit)); });
}
PyObject* get_is_debit(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return bool_to_python(is_debit_side(t.debit_credit)); });
}
PyObject* get_is_reversal(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return bool_to_python(is_reversal(t.debit_credit)); });
}
PyObject* get_transaction_type(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.transaction_type); });
}
PyObject* get_customer_reference(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.customer_reference); });
}
PyObject* get_bank_reference(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.bank_reference); });
}
PyObject* get_details(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.details); });
}
PyObject* get_structured_details(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return to_python(t.structured_details); });
}
PyObject* get_exact_amount(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return decimal_to_python(t.signed_amount()); });
}
PyObject* get_value_day(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return date_to_python(t.value_date); });
}
PyObject* get_entry_day(PyObject* self, void*) {
  return read(self, [](const Transaction& t) { return date_to_python(t.entry_date); });
}

const Snapshot& whole_snapshot(PyObject* self) {
  const Snapshot* snapshot = reinterpret_cast<TransactionObject*>(self)->snapshot;
  if (!snapshot) throw InternalError("Transaction object without snapshot");
  return *snapshot;
}

// The exact reading has no such field.
std::string no_field(const Transaction&) { return {}; }

// A getter of one derived field: the bank-file reading's value, else the exact rule's.
template <std::string BankFields::*field, std::string (*exact)(const Transaction&) = no_field>
PyObject* get_derived(PyObject* self, void*) {
  return guarded([&] {
    const Snapshot& snapshot = whole_snapshot(self);
    if (snapshot.bank) return finish(to_python(*snapshot.bank.*field));
    return finish(to_python(exact(snapshot.record)));
  });
}

PyGetSetDef kGetSet[] = {
    {"value_date", get_value_date, nullptr, nullptr, nullptr},
    {"entry_date", get_entry_date, nullptr, nullptr, nullptr},
    {"debit_credit", get_debit_credit, nullptr, nullptr, nullptr},
    {"amount", get_amount, nullptr, nullptr, nullptr},
    {"is_credit", get_is_credit, nullptr, nullptr, nullptr},
    {"is_debit", get_is_debit, nullptr, nullptr, nullptr},
    {"is_reversal", get_is_reversal, nullptr, nullptr, nullptr},
    {"transaction_type", get_transaction_type, nullptr, nullptr, nullptr},
    {"customer_reference", get_customer_reference, nullptr, nullptr, nullptr},
    {"bank_reference", get_bank_reference, nullptr, nullptr, nullptr},
    {"details", get_details, nullptr, nullptr, nullptr},
    {"structured_details", get_structured_details, nullptr, nullptr, nullptr},
    {"counterparty", get_derived<&BankFields::counterparty, derive_counterparty>, nullptr, nullptr, nullptr},
    {"counter_iban", get_derived<&BankFields::counter_iban, derive_counter_iban>, nullptr, nullptr, nullptr},
    {"purpose", get_derived<&BankFields::purpose, derive_purpose>, nullptr, nullptr, nullptr},
    {"exact_amount", get_exact_amount, nullptr, nullptr, nullptr},
    {"value_day", get_value_day, nullptr, nullptr, nullptr},
    {"entry_day", get_entry_day, nullptr, nullptr, nullptr},
    {"counterparty_bic", get_derived<&BankFields::counterparty_bic>, nullptr, nullptr, nullptr},
    {"end_to_end_reference", get_derived<&BankFields::end_to_end_reference>, nullptr, nullptr, nullptr},
    {"mandate_reference", get_derived<&BankFields::mandate_reference>, nullptr, nullptr, nullptr},
    {"creditor_id", get_derived<&BankFields::creditor_id>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"signed_amount", signed_amount, METH_NOARGS, "signed_amount($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] = "A parsed MT940 transaction exposed to Python.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&transaction_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&transaction_dealloc)},
    {Py_tp_getset, kGetSet},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Transaction",
    static_cast<int>(sizeof(TransactionObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};


// The fields Python can see; the funds code and the supplementary details stay behind.
std::unique_ptr<Snapshot> make_snapshot(const Transaction& record, Reading reading) {
  Transaction snapshot;
  snapshot.value_date = record.value_date;
  snapshot.entry_date = record.entry_date;
  snapshot.debit_credit = record.debit_credit;
  snapshot.amount = record.amount;
  snapshot.transaction_type = record.transaction_type;
  snapshot.customer_reference = record.customer_reference;
  snapshot.bank_reference = record.bank_reference;
  snapshot.details = record.details;
  snapshot.structured_details = record.structured_details;
  auto kept = std::make_unique<Snapshot>(kept_size(snapshot));
  kept->record = keep_transaction(snapshot, kept->texts);
  if (reading == Reading::BankFile) kept->bank = bank_fields(record);
  return kept;
}

}  // namespace

PyObject* transaction_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = PyType_FromSpec(&kSpec);
  return type;
}

PyObject* new_transaction(const Transaction& record, Reading reading) {
  PyObject* type_object = transaction_type();
  if (!type_object) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  auto snapshot = make_snapshot(record, reading);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<TransactionObject*>(self)->snapshot = snapshot.release();
  return self;
}

}  // namespace tallyfold::python
