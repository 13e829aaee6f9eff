"""The Transaction class: values and types per mark, snapshots; the read-only attributes of
MT940 and Transaction. Which fields a transaction derives is the core's to test; that they
agree with the exports, test_exports.py's."""

import inspect
import math

import pytest

from conftest import statement
from tallyfold import MT940, Transaction


# Every attribute with the type it has when present, in the order the class defines them.
ATTRIBUTE_TYPES = {
    "value_date": str, "entry_date": str, "debit_credit": str, "amount": float,
    "is_credit": bool, "is_debit": bool, "is_reversal": bool, "transaction_type": str,
    "customer_reference": str, "bank_reference": str, "details": str,
    "structured_details": dict, "counterparty": str, "counter_iban": str, "purpose": str,
}


def first_transaction(line, details=None, resolver=None):
    return MT940(statement(lines=[(line, details)]), resolver).transactions[0]


@pytest.mark.parametrize("mark, flags, sign", [
    ("C", (True, False, False), 1.0), ("D", (False, True, False), -1.0),
    ("RC", (False, True, True), -1.0), ("RD", (True, False, True), 1.0),
])
@pytest.mark.parametrize("text, size", [("12,5", 12.5), ("0,", 0.0)])
def test_values_and_types_per_mark(mark, flags, sign, text, size):
    t = first_transaction(f"2301310201{mark}{text}NTRFCUST-1//BANK-1", "free text")
    assert (t.debit_credit, t.is_credit, t.is_debit, t.is_reversal) == (mark, *flags)
    # A zero keeps the sign of its side.
    assert math.copysign(1.0, t.amount) == math.copysign(1.0, t.signed_amount()) == sign
    assert t.amount == t.signed_amount() == sign * size
    assert (t.value_date, t.entry_date, t.transaction_type, t.customer_reference, t.bank_reference, t.details,
            t.structured_details) == ("2023-01-31", "2023-02-01", "NTRF", "CUST-1", "BANK-1", "free text",
                                      {"detail": "free text"})
    assert {name: type(getattr(t, name)) for name in ATTRIBUTE_TYPES} == ATTRIBUTE_TYPES


def test_absent_optional_values_are_none():
    t = first_transaction("230131C1,00NTRFREF")
    assert (t.entry_date, t.bank_reference, t.structured_details) == (None, None, None)
    assert (t.details, t.purpose, t.counterparty, t.counter_iban) == ("", "", "", "")


def test_snapshots_are_independent():
    m = MT940(statement(lines=[("230131C1,00NTRFREF", "x")] * 2))
    first, second = m.transactions, m.transactions
    assert first is not second
    assert all(a is not b for a, b in zip(first, second))
    first.append(None)
    assert len(m) == len(m.transactions) == 2

    t = second[0]
    details = t.structured_details
    assert details is not t.structured_details
    details["detail"] = "changed"
    details["new"] = "key"
    assert t.structured_details == {"detail": "x"}


def test_class_surface():
    assert Transaction.__doc__ == "A parsed MT940 transaction exposed to Python."
    assert str(inspect.signature(Transaction.signed_amount)) == "(self, /)"
    assert Transaction.signed_amount.__doc__ is None
    assert str(inspect.signature(first_transaction("230131C1,NTRFREF").signed_amount)) == "()"
    for args, kwargs in [((), {}), ((1, 2), {"a": 3})]:
        with pytest.raises(TypeError, match="^No constructor defined for Transaction$"):
            Transaction(*args, **kwargs)


# The exact companions and the bank-file fields come after the original attributes.
@pytest.mark.parametrize("make, names", [
    (lambda: MT940(statement()), ["account", "currency", "opening_balance", "closing_balance", "resolver_used",
                                  "transactions", "diagnostics", "statements", "source_format"]),
    (lambda: first_transaction("230131C1,00NTRFREF", "x"), list(ATTRIBUTE_TYPES) + [
        "exact_amount", "value_day", "entry_day", "counterparty_bic", "end_to_end_reference",
        "mandate_reference", "creditor_id", "transaction_id", "transaction_details"]),
], ids=["MT940", "Transaction"])
def test_attributes_are_read_only_and_in_order(make, names):
    obj = make()
    assert [n for n, v in vars(type(obj)).items() if inspect.isgetsetdescriptor(v)] == names
    for name in names:
        with pytest.raises(AttributeError):
            setattr(obj, name, getattr(obj, name))
        with pytest.raises(AttributeError):
            delattr(obj, name)
