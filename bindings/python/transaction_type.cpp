#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "py_ref.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/transaction_id.hpp"
#include "types.hpp"

namespace tallyfold::python {
namespace {

// The fields Python can see, with a copy of every text they view: the document the
// record came from may be gone long before this object. The derived fields are derived
// at creation, from parts of the record (the supplementary details, the rules and the
// layout of its details) that the snapshot does not keep.
struct Snapshot {
  explicit Snapshot(std::size_t text_bytes) : texts(text_bytes) {}
  TextBuffer texts;
  Transaction record;
  DerivedFields fields;
  // The bank-file reading's id, computed with the statement, which the record lacks.
  std::optional<TransactionId> id;
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
// A batch entry's payments, each its own map, in the bank's order; empty otherwise.
PyObject* get_transaction_details(PyObject* self, void*) {
  return read(self, [](const Transaction& t) -> PyRef {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(t.transaction_details.size())));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < t.transaction_details.size(); ++i) {
      PyRef map = to_python(t.transaction_details[i]);
      if (!map) return map;
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), map.release());  // steals the map
    }
    return tuple;
  });
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

// A getter of one derived field.
template <std::string DerivedFields::*field>
PyObject* get_derived(PyObject* self, void*) {
  return guarded([&] { return finish(to_python(whole_snapshot(self).fields.*field)); });
}

PyObject* get_transaction_id(PyObject* self, void*) {
  return guarded([&] {
    const auto& id = whole_snapshot(self).id;
    return finish(id ? to_python(id->text()) : PyRef::borrow(Py_None));
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
    {"counterparty", get_derived<&DerivedFields::counterparty>, nullptr, nullptr, nullptr},
    {"counter_iban", get_derived<&DerivedFields::counter_iban>, nullptr, nullptr, nullptr},
    {"purpose", get_derived<&DerivedFields::purpose>, nullptr, nullptr, nullptr},
    {"exact_amount", get_exact_amount, nullptr, nullptr, nullptr},
    {"value_day", get_value_day, nullptr, nullptr, nullptr},
    {"entry_day", get_entry_day, nullptr, nullptr, nullptr},
    {"counterparty_bic", get_derived<&DerivedFields::counterparty_bic>, nullptr, nullptr, nullptr},
    {"end_to_end_reference", get_derived<&DerivedFields::end_to_end_reference>, nullptr, nullptr, nullptr},
    {"mandate_reference", get_derived<&DerivedFields::mandate_reference>, nullptr, nullptr, nullptr},
    {"creditor_id", get_derived<&DerivedFields::creditor_id>, nullptr, nullptr, nullptr},
    {"transaction_id", get_transaction_id, nullptr, nullptr, nullptr},
    {"transaction_details", get_transaction_details, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The derived fields, in DerivedFields order.
constexpr std::string DerivedFields::* kDerivedFields[] = {
    &DerivedFields::purpose,           &DerivedFields::counterparty,         &DerivedFields::counter_iban,
    &DerivedFields::counter_account,   &DerivedFields::counterparty_bic,     &DerivedFields::end_to_end_reference,
    &DerivedFields::mandate_reference, &DerivedFields::creditor_id,
};
constexpr std::size_t kDerivedFieldCount = std::size(kDerivedFields);

// Everything a Transaction holds, as a tuple of str, None and tuples: (value date, entry
// date, mark, amount as stored, type, customer reference, bank reference, details,
// structured details as (key, value) pairs, the derived fields, the transaction id or
// None).
PyObject* transaction_state(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Snapshot& snapshot = whole_snapshot(self);
    const Transaction& t = snapshot.record;
    PyRef details = PyRef::borrow(Py_None);
    if (t.structured_details) {
      details = PyRef(PyTuple_New(static_cast<Py_ssize_t>(t.structured_details->size())));
      if (!details) return nullptr;
      Py_ssize_t i = 0;
      for (const auto& [key, value] : *t.structured_details) {
        PyRef k = to_python(key);
        PyRef v = to_python(value);
        if (!k || !v) return nullptr;
        PyObject* pair = PyTuple_Pack(2, k.get(), v.get());
        if (!pair) return nullptr;
        PyTuple_SetItem(details.get(), i++, pair);  // steals `pair`
      }
    }
    PyRef derived(PyTuple_New(kDerivedFieldCount));
    if (!derived) return nullptr;
    for (std::size_t i = 0; i < kDerivedFieldCount; ++i) {
      PyRef field = to_python(snapshot.fields.*kDerivedFields[i]);
      if (!field) return nullptr;
      PyTuple_SetItem(derived.get(), static_cast<Py_ssize_t>(i), field.release());  // steals it
    }
    PyRef items[] = {to_python(t.value_date),        to_python(t.entry_date),
                     to_python(mark_text(t.debit_credit)), to_python(t.amount.to_string()),
                     to_python(t.transaction_type),  to_python(t.customer_reference),
                     to_python(t.bank_reference),    to_python(t.details),
                     std::move(details),             std::move(derived),
                     snapshot.id ? to_python(snapshot.id->text()) : PyRef::borrow(Py_None)};
    PyRef state(PyTuple_New(std::size(items)));
    if (!state) return nullptr;
    for (std::size_t i = 0; i < std::size(items); ++i) {
      if (!items[i]) return nullptr;
      PyTuple_SetItem(state.get(), static_cast<Py_ssize_t>(i), items[i].release());  // steals it
    }
    return state.release();
  });
}

PyObject* transaction_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return reduce_to("Transaction", PyRef(transaction_state(self))); });
}

PyMethodDef kMethods[] = {
    {"signed_amount", signed_amount, METH_NOARGS, "signed_amount($self)\n--\n\n"},
    {"__reduce__", transaction_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] = "A parsed MT940 transaction exposed to Python.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&transaction_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&transaction_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&compare_states<transaction_state>)},
    {Py_tp_hash, reinterpret_cast<void*>(&hash_state<transaction_state>)},
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


// A snapshot of `visible` (copied), its `fields` and its `id`.
std::unique_ptr<Snapshot> keep_snapshot(const Transaction& visible, DerivedFields fields,
                                        const std::optional<TransactionId>& id) {
  auto kept = std::make_unique<Snapshot>(kept_size(visible));
  kept->record = keep_transaction(visible, kept->texts);
  kept->fields = std::move(fields);
  kept->id = id;
  return kept;
}

// The fields Python can see; the funds code and the supplementary details stay behind.
std::unique_ptr<Snapshot> make_snapshot(const Transaction& record, const TransactionId* id) {
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
  snapshot.transaction_details = record.transaction_details;
  return keep_snapshot(snapshot, fields_of(record), id ? std::optional(*id) : std::nullopt);
}

}  // namespace

PyObject* transaction_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = PyType_FromSpec(&kSpec);
  return type;
}

namespace {

PyObject* new_transaction(std::unique_ptr<Snapshot> snapshot) {
  PyObject* type_object = transaction_type();
  if (!type_object) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<TransactionObject*>(self)->snapshot = snapshot.release();
  return self;
}

}  // namespace

PyObject* new_transaction(const Transaction& record, const TransactionId* id) {
  return new_transaction(make_snapshot(record, id));
}

PyObject* restore_transaction(PyObject* state) {
  constexpr const char* kKind = "Transaction";
  if (!PyTuple_Check(state) || PyTuple_Size(state) != 11) return bad_state(kKind);
  auto item = [&](Py_ssize_t i) { return PyTuple_GetItem(state, i); };
  Transaction t;
  std::string_view value_date;
  std::optional<std::string_view> entry_date;
  std::string_view mark;
  std::string_view amount;
  if (!text_from_python(item(0), value_date) || !text_from_python(item(1), entry_date) ||
      !text_from_python(item(2), mark) || !text_from_python(item(3), amount) ||
      !text_from_python(item(4), t.transaction_type) || !text_from_python(item(5), t.customer_reference) ||
      !text_from_python(item(6), t.bank_reference) || !text_from_python(item(7), t.details)) {
    return bad_state(kKind);
  }
  const auto value_day = date_from_text(value_date);
  const auto entry_day = entry_date ? date_from_text(*entry_date) : std::nullopt;
  const auto debit_credit = mark_from_text(mark);
  const auto exact = decimal_from_text(amount);
  if (!value_day || (entry_date && !entry_day) || !debit_credit || !exact || exact->negative()) {
    return bad_state(kKind);
  }
  t.value_date = *value_day;
  t.entry_date = entry_day;
  t.debit_credit = *debit_credit;
  t.amount = *exact;
  TextBuffer map_texts;
  if (PyObject* pairs = item(8); pairs != Py_None) {
    if (!PyTuple_Check(pairs)) return bad_state(kKind);
    std::vector<DecodedDetails::EntryView> writes;
    for (Py_ssize_t i = 0; i < PyTuple_Size(pairs); ++i) {
      PyObject* pair = PyTuple_GetItem(pairs, i);
      DecodedDetails::EntryView entry;
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2 ||
          !text_from_python(PyTuple_GetItem(pair, 0), entry.first) ||
          !text_from_python(PyTuple_GetItem(pair, 1), entry.second)) {
        return bad_state(kKind);
      }
      writes.push_back(entry);
    }
    t.structured_details = DecodedDetails::from_view_writes(writes, map_texts);
  }
  DerivedFields derived;
  PyObject* fields = item(9);
  if (!PyTuple_Check(fields) || PyTuple_Size(fields) != static_cast<Py_ssize_t>(kDerivedFieldCount)) {
    return bad_state(kKind);
  }
  for (std::size_t i = 0; i < kDerivedFieldCount; ++i) {
    std::string_view text;
    if (!text_from_python(PyTuple_GetItem(fields, static_cast<Py_ssize_t>(i)), text)) return bad_state(kKind);
    derived.*kDerivedFields[i] = std::string(text);
  }
  std::optional<TransactionId> id;
  std::optional<std::string_view> id_text;
  if (!text_from_python(item(10), id_text)) return bad_state(kKind);
  if (id_text) {
    id.emplace();
    if (id_text->size() != id->hex.size() || id_text->find_first_not_of("0123456789abcdef") != std::string_view::npos) {
      return bad_state(kKind);
    }
    id_text->copy(id->hex.data(), id->hex.size());
  }
  return new_transaction(keep_snapshot(t, std::move(derived), id));
}

}  // namespace tallyfold::python
