// Statement, Balance and Diagnostic: read-only snapshots of one parse, which Python code
// cannot construct or change. A Statement shares its document with the MT940 it came
// from (the texts are not copied) and keeps it alive after that object is gone.
#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// (mark, date, currency, amount as stored, intermediate): everything a Balance holds.
PyObject* balance_state(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const BalanceValue& b = value_of<BalanceValue>(self);
    PyRef mark = to_python(mark_text(b.balance.debit_credit));
    PyRef date = to_python(b.balance.date);
    PyRef currency = to_python(b.currency);
    PyRef amount = to_python(b.balance.amount.to_string());
    PyRef intermediate = bool_to_python(b.balance.intermediate);
    if (!mark || !date || !currency || !amount || !intermediate) return nullptr;
    return PyTuple_Pack(5, mark.get(), date.get(), currency.get(), amount.get(), intermediate.get());
  });
}

PyObject* balance_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return reduce_to("Balance", PyRef(balance_state(self))); });
}

PyMethodDef kBalanceMethods[] = {
    {"__reduce__", balance_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_richcompare, reinterpret_cast<void*>(&compare_states<balance_state>)},
    {Py_tp_hash, reinterpret_cast<void*>(&hash_state<balance_state>)},
    {Py_tp_methods, kBalanceMethods},
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

// (line, severity, message bytes): the message as the reading wrote it, which may quote
// bytes of the file that are not UTF-8.
PyObject* diagnostic_state(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const Diagnostic& d = value_of<Diagnostic>(self);
    PyRef line = count_to_python(d.line);
    PyRef severity = to_python(severity_text(d.severity));
    PyRef message(PyBytes_FromStringAndSize(d.message.data(), static_cast<Py_ssize_t>(d.message.size())));
    if (!line || !severity || !message) return nullptr;
    return PyTuple_Pack(3, line.get(), severity.get(), message.get());
  });
}

PyObject* diagnostic_reduce(PyObject* self, PyObject*) {
  return guarded([&] { return reduce_to("Diagnostic", PyRef(diagnostic_state(self))); });
}

PyMethodDef kDiagnosticMethods[] = {
    {"__reduce__", diagnostic_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

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
    {Py_tp_richcompare, reinterpret_cast<void*>(&compare_states<diagnostic_state>)},
    {Py_tp_hash, reinterpret_cast<void*>(&hash_state<diagnostic_state>)},
    {Py_tp_methods, kDiagnosticMethods},
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
  // How the document is read again (the MT940's origin), for pickling.
  PyObject* origin = nullptr;

  StatementValue() = default;
  StatementValue(const StatementValue&) = delete;
  StatementValue& operator=(const StatementValue&) = delete;
  ~StatementValue() {
    Py_XDECREF(transactions);
    Py_XDECREF(origin);
  }

  const Statement& statement() const { return document->statements.at(index); }
};

template <typename Compute>
PyObject* read_statement(PyObject* self, Compute&& compute) {
  return read<StatementValue>(self, [&](const StatementValue& v) { return compute(v.statement()); });
}

// Whether the statement's balances are not reconciled: a report's and a notification's.
bool is_report(const Statement& s) { return s.kind != StatementKind::Statement; }

// A statement's balance: a report or notification has only those it gives (an MT942
// report none), an incomplete statement may lack one.
PyRef balance_of(const Statement&, const Balance& balance, bool given) {
  if (!given) return PyRef::borrow(Py_None);
  return PyRef(new_balance(balance));
}

// Whether its balances can be checked: a report's or notification's are not
// reconciled, an incomplete statement may lack one.
bool has_balances(const Statement& s) {
  return !is_report(s) && s.opening_balance_given && s.closing_balance_given;
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
  return read_statement(self, [](const Statement& s) { return to_python(tallyfold::statement_currency(s)); });
}
PyObject* statement_opening_balance(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return balance_of(s, s.opening_balance, s.opening_balance_given); });
}
PyObject* statement_closing_balance(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return balance_of(s, s.closing_balance, s.closing_balance_given); });
}
PyObject* statement_complete(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return bool_to_python(std::optional<bool>(s.complete)); });
}
PyObject* statement_kind(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(std::string_view(s.kind == StatementKind::InterimReport  ? "interim_report"
                                      : s.kind == StatementKind::Notification ? "notification"
                                                                              : "statement")); });
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
    return has_balances(v.statement()) ? decimal_to_python(v.check.difference) : PyRef::borrow(Py_None);
  });
}
PyObject* statement_balanced(PyObject* self, void*) {
  return read<StatementValue>(self, [](const StatementValue& v) {
    if (!has_balances(v.statement())) return bool_to_python(std::optional<bool>());
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
      const std::vector<TransactionId> ids = ids_of(s);
      PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(s.transactions.size())));
      if (!tuple) return api_call_failed();
      for (std::size_t i = 0; i < s.transactions.size(); ++i) {
        PyObject* item = new_transaction(s.transactions[i], ids.empty() ? nullptr : &ids[i]);
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
    text += tallyfold::statement_currency(s);
    if (s.kind == StatementKind::InterimReport) {
      text += " interim report";
    } else if (s.kind == StatementKind::Notification) {
      text += " notification";
    } else {
      text += ' ';
      if (s.opening_balance_given) {
        s.opening_balance.signed_amount().append_to(text);
      } else {
        text += '?';
      }
      text += " \u2192 ";
      if (s.closing_balance_given) {
        s.closing_balance.signed_amount().append_to(text);
      } else {
        text += '?';
      }
      if (!s.complete) text += " incomplete";
    }
    const std::size_t count = s.transactions.size();
    text += ", " + std::to_string(count) + (count == 1 ? " transaction>" : " transactions>");
    return lenient_to_python(text);
  });
}

// --- Statement values ---------------------------------------------------------------

bool same_balance(const Balance& a, const Balance& b) {
  return a.debit_credit == b.debit_credit && a.date == b.date && a.currency == b.currency &&
         a.amount == b.amount && a.amount.scale() == b.amount.scale() && a.intermediate == b.intermediate;
}

bool same_balance(const std::optional<Balance>& a, const std::optional<Balance>& b) {
  return a.has_value() == b.has_value() && (!a || same_balance(*a, *b));
}

bool same_decimal(const Decimal& a, const Decimal& b) {
  return a == b && a.scale() == b.scale() && a.negative() == b.negative();
}

bool same_transaction(const Transaction& a, const Transaction& b) {
  return a.value_date == b.value_date && a.entry_date == b.entry_date && a.debit_credit == b.debit_credit &&
         a.funds_code == b.funds_code && same_decimal(a.amount, b.amount) &&
         a.transaction_type == b.transaction_type && a.customer_reference == b.customer_reference &&
         a.bank_reference == b.bank_reference && a.extra_details == b.extra_details && a.details == b.details &&
         a.structured_details == b.structured_details && a.rules == b.rules &&
         (!a.structured_details || a.structured_details->layout() == b.structured_details->layout()) &&
         std::ranges::equal(a.transaction_details, b.transaction_details);
}

bool same_total(const std::optional<EntryTotal>& a, const std::optional<EntryTotal>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->count == b->count && a->currency == b->currency && same_decimal(a->sum, b->sum));
}

// Equal statements hold the same values, written the same way (1.5 is not 1.50), with the
// same reconciliation: what every attribute, export and pickle of them shows.
bool same_statement(const StatementValue& x, const StatementValue& y) {
  const Statement& a = x.statement();
  const Statement& b = y.statement();
  if (a.kind != b.kind || a.transaction_reference != b.transaction_reference ||
      a.related_reference != b.related_reference || a.account_identification != b.account_identification ||
      a.number != b.number || a.sequence != b.sequence || a.information_to_account_owner != b.information_to_account_owner ||
      a.servicer_bic != b.servicer_bic || a.sent_at != b.sent_at || a.reported_at != b.reported_at ||
      a.complete != b.complete || a.opening_balance_given != b.opening_balance_given ||
      a.closing_balance_given != b.closing_balance_given || a.source_details != b.source_details) {
    return false;
  }
  // A balance not given holds defaults that mean nothing.
  if (((a.opening_balance_given && !same_balance(a.opening_balance, b.opening_balance)) ||
       (a.closing_balance_given && !same_balance(a.closing_balance, b.closing_balance)))) {
    return false;
  }
  if (!same_balance(a.closing_available_balance, b.closing_available_balance) ||
      !same_balance(a.forward_available_balance, b.forward_available_balance) ||
      a.forward_balances.size() != b.forward_balances.size() || a.floor_limits.size() != b.floor_limits.size() ||
      a.transactions.size() != b.transactions.size() || !same_total(a.debit_total, b.debit_total) ||
      !same_total(a.credit_total, b.credit_total)) {
    return false;
  }
  for (std::size_t i = 0; i < a.forward_balances.size(); ++i) {
    if (!same_balance(a.forward_balances[i], b.forward_balances[i])) return false;
  }
  for (std::size_t i = 0; i < a.floor_limits.size(); ++i) {
    const FloorLimit& p = a.floor_limits[i];
    const FloorLimit& q = b.floor_limits[i];
    if (p.debit_credit != q.debit_credit || p.currency != q.currency || !same_decimal(p.amount, q.amount)) return false;
  }
  for (std::size_t i = 0; i < a.transactions.size(); ++i) {
    if (!same_transaction(a.transactions[i], b.transactions[i])) return false;
  }
  const StatementCheck& c = x.check;
  const StatementCheck& d = y.check;
  return c.balanced == d.balanced && c.same_currency == d.same_currency &&
         c.continues_previous == d.continues_previous && c.difference.has_value() == d.difference.has_value() &&
         (!c.difference || same_decimal(*c.difference, *d.difference));
}

PyObject* statement_compare(PyObject* a, PyObject* b, int op) {
  return guarded([&]() -> PyObject* {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    const bool same = same_statement(value_of<StatementValue>(a), value_of<StatementValue>(b));
    return Py_NewRef((same == (op == Py_EQ)) ? Py_True : Py_False);
  });
}

Py_hash_t statement_hash(PyObject* self) {
  PyRef key(read_statement(self, [](const Statement& s) {
    PyRef account = to_python(s.account_identification);
    PyRef number = to_python(number_text(s));
    PyRef reference = to_python(s.transaction_reference);
    PyRef count = count_to_python(s.transactions.size());
    if (!account || !number || !reference || !count) return PyRef();
    return PyRef(PyTuple_Pack(4, account.get(), number.get(), reference.get(), count.get()));
  }));
  if (!key) return -1;
  return PyObject_Hash(key.get());
}

// (origin, index): the statement is read again with its document, as the MT940 is.
PyObject* statement_reduce(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const StatementValue& v = value_of<StatementValue>(self);
    if (!v.origin) throw InternalError("Statement without its origin");
    PyRef index = count_to_python(v.index);
    if (!index) return nullptr;
    return reduce_to("Statement", PyRef(PyTuple_Pack(2, v.origin, index.get())));
  });
}

PyMethodDef kStatementMethods[] = {
    {"__reduce__", statement_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* statement_source_details(PyObject* self, void*) {
  return read_statement(self, [](const Statement& s) { return to_python(s.source_details); });
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
    {"complete", statement_complete, nullptr, nullptr, nullptr},
    {"floor_limits", statement_floor_limits, nullptr, nullptr, nullptr},
    {"reported_at", statement_reported_at, nullptr, nullptr, nullptr},
    {"debit_total", statement_debit_total, nullptr, nullptr, nullptr},
    {"credit_total", statement_credit_total, nullptr, nullptr, nullptr},
    {"source_details", statement_source_details, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kStatementDoc[] =
    "One statement of an MT940 document, from its :20: to its closing balance, with its "
    "exact reconciliation; or, with kind \"interim_report\", an MT942 interim report, which "
    "has floor limits, a report time and entry totals but no balances; or, with kind "
    "\"notification\", a camt.054 notification.";

PyType_Slot kStatementSlots[] = {
    {Py_tp_doc, const_cast<char*>(kStatementDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<StatementValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(&statement_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(&statement_compare)},
    {Py_tp_hash, reinterpret_cast<void*>(&statement_hash)},
    {Py_tp_methods, kStatementMethods},
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
                        const StatementCheck& check, PyObject* origin) {
  auto value = std::make_unique<StatementValue>();
  value->document = std::move(document);
  value->index = index;
  value->check = check;
  value->origin = Py_XNewRef(origin);
  return new_boxed(statement_type(), std::move(value));
}

PyObject* restore_statement(PyObject* state) {
  PyObject* origin = nullptr;
  Py_ssize_t index = 0;
  if (!PyTuple_Check(state) || !PyArg_ParseTuple(state, "On", &origin, &index)) return bad_state("Statement");
  // The statements of one pickled document share its origin object, so a run of them is
  // read once: the document is remembered while a statement restored from it lives
  // (which also keeps that origin object, and so its address, alive).
  static PyObject* last_origin = nullptr;  // not owned; see above
  static std::weak_ptr<const StatementDocument> last_document;
  static std::vector<StatementCheck> last_checks;
  std::shared_ptr<const StatementDocument> document = last_document.lock();
  if (!document || last_origin != origin) {
    PyRef mt940(read_again(origin));
    if (!mt940) return nullptr;
    document = shared_document(mt940.get());
    last_checks = check_statements(document->statements);
    last_document = document;
    last_origin = origin;
  }
  if (index < 0 || static_cast<std::size_t>(index) >= document->statements.size()) return bad_state("Statement");
  return new_statement(document, static_cast<std::size_t>(index), last_checks[static_cast<std::size_t>(index)], origin);
}

PyObject* restore_balance(PyObject* state) {
  const char* mark_name = nullptr;
  const char* date_text = nullptr;
  PyObject* currency_object = nullptr;
  const char* amount_text = nullptr;
  int intermediate = 0;
  if (!PyTuple_Check(state) ||
      !PyArg_ParseTuple(state, "ssUsp", &mark_name, &date_text, &currency_object, &amount_text, &intermediate)) {
    return bad_state("Balance");
  }
  std::string_view currency;
  const auto mark = mark_from_text(mark_name);
  const auto date = date_from_text(date_text);
  const auto amount = decimal_from_text(amount_text);
  if (!mark || is_reversal(*mark) || !date || !amount || amount->negative() ||
      !text_from_python(currency_object, currency)) {
    return bad_state("Balance");
  }
  auto value = std::make_unique<BalanceValue>();
  value->balance.debit_credit = *mark;
  value->balance.date = *date;
  value->balance.amount = *amount;
  value->balance.intermediate = intermediate != 0;
  value->currency.assign(currency);
  return new_boxed(balance_type(), std::move(value));
}

PyObject* restore_diagnostic(PyObject* state) {
  Py_ssize_t line = 0;
  const char* severity = nullptr;
  PyObject* message_object = nullptr;
  char* message = nullptr;
  Py_ssize_t size = 0;
  if (!PyTuple_Check(state) || !PyArg_ParseTuple(state, "nsS", &line, &severity, &message_object) || line < 0 ||
      PyBytes_AsStringAndSize(message_object, &message, &size) < 0) {
    return bad_state("Diagnostic");
  }
  auto value = std::make_unique<Diagnostic>();
  value->line = static_cast<std::size_t>(line);
  if (severity_text(Severity::Note) == severity) {
    value->severity = Severity::Note;
  } else if (severity_text(Severity::Warning) == severity) {
    value->severity = Severity::Warning;
  } else {
    return bad_state("Diagnostic");
  }
  value->message.assign(message, static_cast<std::size_t>(size));
  return new_boxed(diagnostic_type(), std::move(value));
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
