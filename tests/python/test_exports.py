"""The three export methods of MT940 at the Python boundary."""

import csv
import inspect
import io
import json
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from conftest import statement
from tallyfold import MT940

METHODS = ["to_json", "to_csv", "to_camt053"]


@pytest.mark.parametrize("method", METHODS)
def test_export_covers_every_statement(method, two_statements):
    m = MT940(two_statements)
    text = getattr(m, method)()
    assert type(text) is str
    for piece in ("ACCOUNT-A", "ACCOUNT-B"):
        assert piece in text
    assert getattr(m, method)() == text
    assert str(inspect.signature(getattr(MT940, method))) == "(self, /)"


def test_json_loads_with_one_object_per_statement(two_statements):
    statements = json.loads(MT940(two_statements).to_json())
    assert [len(s["transactions"]) for s in statements] == [2, 1]


def test_csv_reads_into_thirteen_columns(two_statements):
    text = MT940(two_statements).to_csv()
    assert text.startswith("\ufeff")
    rows = list(csv.reader(io.StringIO(text[1:], newline="")))
    assert len(rows) == 1 + 3
    assert {len(row) for row in rows} == {13}


def test_camt053_is_well_formed_xml(two_statements):
    root = ElementTree.fromstring(MT940(two_statements).to_camt053().encode())
    assert root.tag.endswith("Document")


@pytest.mark.parametrize("method", METHODS)
def test_statement_without_transactions_exports(method):
    assert getattr(MT940(statement()), method)()


EXAMPLES = sorted((Path(__file__).resolve().parents[2] / "examples").glob("*.sta"))
READINGS = {
    "text": lambda data: MT940(data.decode("utf-8")),
    "strict": lambda data: MT940.from_bytes(data, strict=True),
    "bank-file": MT940.from_bytes,
}


def is_iban(text):
    moved = text[4:] + text[:4]
    return len(text) >= 15 and text[:2].isalpha() and int("".join(str(int(c, 36)) for c in moved)) % 97 == 1


# One rule derives the fields: CSV, JSON, camt and the attributes agree for every
# transaction of the examples, whichever reading made it.
@pytest.mark.parametrize("reading", READINGS)
@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_attributes_carry_the_fields_the_exports_write(path, reading):
    doc = READINGS[reading](path.read_bytes())
    transactions = [t for s in doc.statements for t in s.transactions]
    rows = list(csv.reader(io.StringIO(doc.to_csv().removeprefix("\ufeff"))))[1:]
    assert [(t.counterparty, t.counter_iban, t.purpose) for t in transactions] == [tuple(r[8:11]) for r in rows]
    if reading == "bank-file":
        records = [r for s in json.loads(doc.to_json()) for r in s["transactions"]]
        assert [(r["purpose"], r["counterparty"], r["counterIban"], r["counterpartyBic"],
                 r["endToEndReference"], r["mandateReference"], r["creditorId"]) for r in records] == [
            (t.purpose, t.counterparty, t.counter_iban, t.counterparty_bic, t.end_to_end_reference,
             t.mandate_reference, t.creditor_id) for t in transactions]
    entries = ElementTree.fromstring(doc.to_camt()).findall(".//{*}Ntry")
    assert len(entries) == len(transactions)
    for t, entry in zip(transactions, entries):
        texts = {name: [e.text for e in entry.findall(".//{*}" + name)] for name in ("MndtId", "Ustrd", "Nm", "IBAN")}
        assert "".join(texts["MndtId"]) == t.mandate_reference.strip()
        if t.end_to_end_reference:
            assert entry.find(".//{*}EndToEndId").text == t.end_to_end_reference
        if len(t.purpose.strip()) <= 140:
            assert "".join(texts["Ustrd"]) == t.purpose.strip()
        counterparty = t.counterparty.strip()
        if len(counterparty) <= 140:
            assert texts["Nm"][:1] == ([counterparty] if counterparty else [])
        assert texts["IBAN"] == ([t.counter_iban] if is_iban(t.counter_iban) else [])
