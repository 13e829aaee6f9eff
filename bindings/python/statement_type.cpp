// Statement, Balance and Diagnostic: read-only snapshots of one parse, which Python code
// cannot construct or change. A Statement shares its document with the MT940 it came
// from (the texts are not copied) and keeps it alive after that object is gone.
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "convert.hpp"
#include "py_ref.hpp"
#include "types.hpp"

namespace tallyfold::python {
namespace {

// Every instance of these types holds one C++ value, set once at creation.
template <typename Value>
struct Boxed {
  PyObject_HEAD
  Value* value;  // owned; never null after creation
};

template <typename Value>
const Value& value_of(PyObject* self) {
  const Value* value = reinterpret_cast<Boxed<Value>*>(self)->value;
  if (!value) throw InternalError("snapshot object without its value");
  return *value;
}

template <typename Value>
void boxed_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Boxed<Value>*>(self)->value;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

template <typename Value>
PyObject* new_boxed(PyObject* type_object, std::unique_ptr<Value> value) {
  if (!type_object) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<Boxed<Value>*>(self)->value = value.release();
  return self;
}

// A getter whose value is computed from the boxed value alone.
template <typename Value, typename Compute>
PyObject* read(PyObject* self, Compute&& compute) {
  return guarded([&] { return finish(compute(value_of<Value>(self))); });
}

// Instances come only from the module; the classes take no subclass and no attribute.
constexpr unsigned long kFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyObject* make_type(PyType_Spec& spec) {
  return PyType_FromSpec(&spec);
}

// --- Balance ----------------------------------------------------------------------

// The currency is copied: a Balance outlives the text buffer of its statement.
struct BalanceValue {
  Balance balance;
  std::string currency;
};

PyObject* balance_mark(PyObject* self, void*) {
  return read<BalanceValue>(self, [](const BalanceValue& b) { return to_python(mark_text(b.balance.debit_credit)); });
}
PyObject* balance_intermediate(PyObject* self, void*) {
  return read<BalanceValue>(self, [](const BalanceValue& b) { return bool_to_python(b.balance.intermediate); });
}
PyObject* balance_date(PyObject* self, void*) {
  return read<BalanceValue>(self, [](const BalanceValue& b) { return date_to_python(b.balance.date); });
}
PyObject* balance_currency(PyObject* self, void*) {
  return read<BalanceValue>(self, [](const BalanceValue& b) { return to_python(b.currency); });
}
PyObject* balance_amount(PyObject* self, void*) {
  return read<BalanceValue>(self, [](const BalanceValue& b) { return decimal_to_python(b.balance.signed_amount()); });
}

// <Balance C 2024-03-31 EUR 11910.00>, with ", intermediate" for :60M: and :62M:.
PyObject* balance_repr(PyObject* self) {
  return read<BalanceValue>(self, [](const BalanceValue& b) {
    std::string text = "<Balance ";
    text += mark_text(b.balance.debit_credit);
    text += ' ';
    b.balance.date.append_iso(text);
    text += ' ';
    text += b.currency;
    text += ' ';
    b.balance.amount.append_to(text);
    if (b.balance.intermediate) text += ", intermediate";
    text += '>';
    return lenient_to_python(text);
  });
}

PyGetSetDef kBalanceGetSet[] = {
    {"mark", balance_mark, nullptr, nullptr, nullptr},
    {"intermediate", balance_intermediate, nullptr, nullptr, nullptr},
    {"date", balance_date, nullptr, nullptr, nullptr},
    {"currency", balance_currency, nullptr, nullptr, nullptr},
    {"amount", balance_amount, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kBalanceDoc[] =
    "A balance of a statement: its mark (\"C\" or \"D\"), date, currency and amount (a "
    "Decimal, negative for \"D\").";

PyType_Slot kBalanceSlots[] = {
    {Py_tp_doc, const_cast<char*>(kBalanceDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<BalanceValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(&balance_repr)},
    {Py_tp_getset, kBalanceGetSet},
    {0, nullptr},
};

PyType_Spec kBalanceSpec = {"tallyfold.Balance", static_cast<int>(sizeof(Boxed<BalanceValue>)), 0,
                            kFlags, kBalanceSlots};

// --- Diagnostic -------------------------------------------------------------------

PyObject* diagnostic_line(PyObject* self, void*) {
  return read<Diagnostic>(self, [](const Diagnostic& d) { return count_to_python(d.line); });
}
PyObject* diagnostic_severity(PyObject* self, void*) {
  return read<Diagnostic>(self, [](const Diagnostic& d) { return to_python(severity_text(d.severity)); });
}
PyObject* diagnostic_message(PyObject* self, void*) {
  return read<Diagnostic>(self, [](const Diagnostic& d) {
    // A message may quote bytes of the file that are not UTF-8.
    return lenient_to_python(d.message);
  });
}

// <Diagnostic line 12 note: :61: amount with a decimal point read as 1000.12>
PyObject* diagnostic_repr(PyObject* self) {
  return read<Diagnostic>(self, [](const Diagnostic& d) {
    std::string text = "<Diagnostic line " + std::to_string(d.line) + " ";
    text += severity_text(d.severity);
    text += ": ";
    text += d.message;
    text += '>';
    return lenient_to_python(text);
  });
}

PyGetSetDef kDiagnosticGetSet[] = {
    {"line", diagnostic_line, nullptr, nullptr, nullptr},
    {"severity", diagnostic_severity, nullptr, nullptr, nullptr},
    {"message", diagnostic_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDiagnosticDoc[] =
    "A repair or omission of the bank-file reading: the line of the file it concerns, its "
    "severity (\"note\" or \"warning\") and its message.";

PyType_Slot kDiagnosticSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDiagnosticDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<Diagnostic>)},
    {Py_tp_repr, reinterpret_cast<void*>(&diagnostic_repr)},
    {Py_tp_getset, kDiagnosticGetSet},
    {0, nullptr},
};

PyType_Spec kDiagnosticSpec = {"tallyfold.Diagnostic", static_cast<int>(sizeof(Boxed<Diagnostic>)),
                               0, kFlags, kDiagnosticSlots};

// --- Statement --------------------------------------------------------------------

struct StatementValue {
  std::shared_ptr<const StatementDocument> document;
  std::size_t index = 0;
  StatementCheck check;
  // The tuple of Transaction objects, built on first access and kept: it holds nothing
  // that refers back to this object, so no cycle can form.
  PyObject* transactions = nullptr;

  StatementValue() = default;
  StatementValue(const StatementValue&) = delete;
  StatementValue& operator=(const StatementValue&) = delete;
  ~StatementValue() { Py_XDECREF(transactions); }

  const Statement& statement() const { return document->statements.at(index); }
};

template <typename Compute>
PyObject* read_statement(PyObject* self, Compute&& compute) {
  return read<StatementValue>(self, [&](const StatementValue& v) { return compute(v.statement()); });
}

bool is_report(const Statement& s) { return s.kind == StatementKind::InterimReport; }

// A statement's balance; an interim report has none.
PyRef balance_of(const Statement& s, const Balance& balance) {
  if (is_report(s)) return PyRef::borrow(Py_None);
  return PyRef(new_balance(balance));
}

// The opening balance's currency; for an interim report, which has no balances, that of
// its floor limit or entry totals.
std::string_view currency_of(const Statement& s) {
  if (!is_report(s)) return s.opening_balance.currency;
  if (!s.floor_limits.empty()) return s.floor_limits.front().currency;
  if (s.debit_total) return s.debit_total->currency;
  if (s.credit_total) return s.credit_total->currency;
  return {};
}

PyRef balance_or_none(const std::optional<Balance>& balance) {
  if (!balance) return PyRef::borrow(Py_None);
  return PyRef(new_balance(*balance));
}

// The :28C: text as written: the number, then "/" and the sequence when there is one.
std::string number_text(const Statement& s) {
  std::string text(s.number);
  if (s.sequence) {
    text += '/';
    text += *s.sequence;
  }
  return text;
}

// (count, Decimal sum) of a :90D:/:90C:, or None.
PyRef total_to_python(const std::optional<EntryTotal>& total) {
  if (!total) return PyRef::borrow(Py_None);
  PyRef count(PyLong_FromUnsignedLongLong(total->count));
  PyRef sum = decimal_to_python(total->sum);
  if (!count || !sum) return PyRef();
  return PyRef(PyTuple_Pack(2, count.get(), sum.get()));
}

// A datetime carrying the report's UTC offset; naive for the older :13: without one.
PyRef report_time_to_python(const std::optional<ReportTime>& time) {
  if (!time) return PyRef::borrow(Py_None);
  PyRef module(PyImport_ImportModule("datetime"));
  if (!module) return PyRef();
  PyRef datetime_class(PyObject_GetAttrString(module.get(), "datetime"));
  if (!datetime_class) return PyRef();
  PyRef zone = PyRef::borrow(Py_None);
  if (time->utc_offset_minutes) {
    PyRef timedelta_class(PyObject_GetAttrString(module.get(), "timedelta"));
    PyRef timezone_class(PyObject_GetAttrString(module.get(), "timezone"));
    if (!timedelta_class || !timezone_class) return PyRef();
    PyRef offset(PyObject_CallFunction(timedelta_class.get(), "iii", 0, *time->utc_offset_minutes * 60, 0));
    if (!offset) return PyRef();
    zone = PyRef(PyObject_CallFunctionObjArgs(timezone_class.get(), offset.get(), nullptr));
    if (!zone) return PyRef();
  }
  return PyRef(PyObject_CallFunction(datetime_class.get(), "iIIIIIIO", static_cast<int>(time->date.year()),
                                     time->date.month(), time->date.day(), unsigned{time->hour},
                                     unsigned{time->minute}, 0u, 0u, zone.get()));
}

PyObject* statement_reference(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(s.transaction_reference); });
}
PyObject* statement_related_reference(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(s.related_reference); });
}
PyObject* statement_account(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(s.account_identification); });
}
PyObject* statement_number(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(number_text(s)); });
}
PyObject* statement_currency(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(currency_of(s)); });
}
PyObject* statement_opening_balance(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return balance_of(s, s.opening_balance); });
}
PyObject* statement_closing_balance(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return balance_of(s, s.closing_balance); });
}
PyObject* statement_kind(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(std::string_view(is_report(s) ? "interim_report" : "statement")); });
}
PyObject* statement_floor_limits(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(s.floor_limits.size())));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < s.floor_limits.size(); ++i) {
      const FloorLimit& limit = s.floor_limits[i];
      PyRef mark = limit.debit_credit ? to_python(mark_text(*limit.debit_credit)) : PyRef::borrow(Py_None);
      PyRef currency = to_python(limit.currency);
      PyRef amount = decimal_to_python(limit.amount);
      if (!mark || !currency || !amount) return PyRef();
      PyObject* item = PyTuple_Pack(3, mark.get(), currency.get(), amount.get());
      if (!item) return PyRef();
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    return tuple;
  });
}
PyObject* statement_reported_at(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return report_time_to_python(s.reported_at); });
}
PyObject* statement_debit_total(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return total_to_python(s.debit_total); });
}
PyObject* statement_credit_total(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return total_to_python(s.credit_total); });
}
PyObject* statement_available_balance(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return balance_or_none(s.closing_available_balance); });
}
PyObject* statement_forward_balances(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) {
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(s.forward_balances.size())));
    if (!tuple) return tuple;
    for (std::size_t i = 0; i < s.forward_balances.size(); ++i) {
      PyObject* item = new_balance(s.forward_balances[i]);
      if (!item) return PyRef();
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
    }
    return tuple;
  });
}
PyObject* statement_information(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(s.information_to_account_owner); });
}
PyObject* statement_difference(PyObject* self, void*) {
  return read<StatementValue>(self, [](const StatementValue& v) {
    return is_report(v.statement()) ? PyRef::borrow(Py_None) : decimal_to_python(v.check.difference);
  });
}
PyObject* statement_balanced(PyObject* self, void*) {
  return read<StatementValue>(self, [](const StatementValue& v) {
    if (is_report(v.statement())) return bool_to_python(std::optional<bool>());
    return bool_to_python(v.check.balanced);
  });
}
PyObject* statement_follows_previous(PyObject* self, void*) {
  return read<StatementValue>(self, [](const StatementValue& v) {
    return is_report(v.statement()) ? PyRef::borrow(Py_None) : bool_to_python(v.check.continues_previous);
  });
}

PyObject* statement_transactions(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto* value = reinterpret_cast<Boxed<StatementValue>*>(self)->value;
    if (!value) throw InternalError("Statement object without its value");
    if (!value->transactions) {
      const Statement& s = value->statement();
      PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(s.transactions.size())));
      if (!tuple) return api_call_failed();
      for (std::size_t i = 0; i < s.transactions.size(); ++i) {
        PyObject* item = new_transaction(s.transactions[i], s.reading);
        if (!item) return nullptr;  // the partial tuple goes with `tuple`
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
      }
      // Building may have run other threads (a collection can); the first tuple stays.
      if (!value->transactions) value->transactions = tuple.release();
    }
    return Py_NewRef(value->transactions);
  });
}

// <Statement 00062/1 NL92NRDK0417552093 EUR 12500.00 → 11910.00, 4 transactions>, and
// "interim report" in place of the balances for an MT942 report.
PyObject* statement_repr(PyObject* self) {
  return read_statement(self, [](const Statement& s) {
    std::string text = "<Statement ";
    text += number_text(s);
    text += ' ';
    text += s.account_identification;
    text += ' ';
    text += currency_of(s);
    if (is_report(s)) {
      text += " interim report";
    } else {
      text += ' ';
      s.opening_balance.signed_amount().append_to(text);
      text += " \u2192 ";
      s.closing_balance.signed_amount().append_to(text);
    }
    const std::size_t count = s.transactions.size();
    text += ", " + std::to_string(count) + (count == 1 ? " transaction>" : " transactions>");
    return lenient_to_python(text);
  });
}

PyGetSetDef kStatementGetSet[] = {
    {"reference", statement_reference, nullptr, nullptr, nullptr},
    {"related_reference", statement_related_reference, nullptr, nullptr, nullptr},
    {"account", statement_account, nullptr, nullptr, nullptr},
    {"number", statement_number, nullptr, nullptr, nullptr},
    {"currency", statement_currency, nullptr, nullptr, nullptr},
    {"opening_balance", statement_opening_balance, nullptr, nullptr, nullptr},
    {"closing_balance", statement_closing_balance, nullptr, nullptr, nullptr},
    {"available_balance", statement_available_balance, nullptr, nullptr, nullptr},
    {"forward_balances", statement_forward_balances, nullptr, nullptr, nullptr},
    {"information", statement_information, nullptr, nullptr, nullptr},
    {"transactions", statement_transactions, nullptr, nullptr, nullptr},
    {"difference", statement_difference, nullptr, nullptr, nullptr},
    {"balanced", statement_balanced, nullptr, nullptr, nullptr},
    {"follows_previous", statement_follows_previous, nullptr, nullptr, nullptr},
    {"kind", statement_kind, nullptr, nullptr, nullptr},
    {"floor_limits", statement_floor_limits, nullptr, nullptr, nullptr},
    {"reported_at", statement_reported_at, nullptr, nullptr, nullptr},
    {"debit_total", statement_debit_total, nullptr, nullptr, nullptr},
    {"credit_total", statement_credit_total, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kStatementDoc[] =
    "One statement of an MT940 document, from its :20: to its closing balance, with its "
    "exact reconciliation; or, with kind \"interim_report\", an MT942 interim report, which "
    "has floor limits, a report time and entry totals but no balances.";

PyType_Slot kStatementSlots[] = {
    {Py_tp_doc, const_cast<char*>(kStatementDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<StatementValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(&statement_repr)},
    {Py_tp_getset, kStatementGetSet},
    {0, nullptr},
};

PyType_Spec kStatementSpec = {"tallyfold.Statement", static_cast<int>(sizeof(Boxed<StatementValue>)),
                              0, kFlags, kStatementSlots};

}  // namespace

PyObject* statement_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = make_type(kStatementSpec);
  return type;
}

PyObject* balance_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = make_type(kBalanceSpec);
  return type;
}

PyObject* diagnostic_type() {
  static PyObject* type = nullptr;  // held for the life of the process
  if (!type) type = make_type(kDiagnosticSpec);
  return type;
}

PyObject* new_statement(std::shared_ptr<const StatementDocument> document, std::size_t index,
                        const StatementCheck& check) {
  auto value = std::make_unique<StatementValue>();
  value->document = std::move(document);
  value->index = index;
  value->check = check;
  return new_boxed(statement_type(), std::move(value));
}

PyObject* new_balance(const Balance& balance) {
  auto value = std::make_unique<BalanceValue>();
  value->balance = balance;
  value->currency.assign(balance.currency);
  value->balance.currency = {};  // the copy above is the one read
  return new_boxed(balance_type(), std::move(value));
}

PyObject* new_diagnostic(const Diagnostic& diagnostic) {
  return new_boxed(diagnostic_type(), std::make_unique<Diagnostic>(diagnostic));
}

}  // namespace tallyfold::python
