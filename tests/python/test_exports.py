"""The export methods of MT940 at the Python boundary, and the one rule that derives the
fields every export and the attributes share."""

import csv
import inspect
import io
import json
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import EXAMPLE_FILES, readings, statement
from tallyfold import MT940


@pytest.mark.parametrize("method", ["to_json", "to_csv", "to_camt053"])
def test_exports_are_text_of_every_statement(method, two_statements):
    assert str(inspect.signature(getattr(MT940, method))) == "(self, /)"
    text = getattr(MT940(two_statements), method)()
    assert type(text) is str and "ACCOUNT-A" in text and "ACCOUNT-B" in text
    assert getattr(MT940(statement()), method)()


def is_iban(text):
    moved = text[4:] + text[:4]
    return len(text) >= 15 and text[:2].isalpha() and int("".join(str(int(c, 36)) for c in moved)) % 97 == 1


# One rule derives the fields: CSV, JSON, camt and the attributes agree for every
# transaction of the examples, whichever reading made it; JSON writes them for the
# bank-file reading, the first.
@pytest.mark.parametrize("reading", range(3), ids=["bank-file", "strict", "text"])
@pytest.mark.parametrize("path", EXAMPLE_FILES, ids=lambda p: p.name)
def test_attributes_carry_the_fields_the_exports_write(path, reading):
    doc = list(readings(path))[reading]
    entries = ElementTree.fromstring(doc.to_camt(created=0)).findall(".//{*}Ntry")
    transactions = [t for s in doc.statements for t in s.transactions]
    rows = list(csv.reader(io.StringIO(doc.to_csv().removeprefix("\ufeff"), newline="")))[1:]
    assert [(t.counterparty, t.counter_iban, t.purpose) for t in transactions] == [tuple(r[8:11]) for r in rows]
    if reading == 0:
        records = [r for s in json.loads(doc.to_json()) for r in s["transactions"]]
        assert [(r["purpose"], r["counterparty"], r["counterIban"], r["counterpartyBic"],
                 r["endToEndReference"], r["mandateReference"], r["creditorId"]) for r in records] == [
            (t.purpose, t.counterparty, t.counter_iban, t.counterparty_bic, t.end_to_end_reference,
             t.mandate_reference, t.creditor_id) for t in transactions]
    assert len(entries) == len(transactions)
    for t, entry in zip(transactions, entries):
        texts = {name: [e.text for e in entry.findall(".//{*}" + name)]
                 for name in ("MndtId", "EndToEndId", "Ustrd", "Nm", "IBAN")}
        assert "".join(texts["MndtId"]) == t.mandate_reference.strip()
        assert "".join(texts["EndToEndId"]) == t.end_to_end_reference.strip()
        if len(t.purpose.strip()) <= 140:
            assert "".join(texts["Ustrd"]) == t.purpose.strip()
        counterparty = t.counterparty.strip()
        if len(counterparty) <= 140:
            assert texts["Nm"][:1] == ([counterparty] if counterparty else [])
        assert texts["IBAN"] == ([t.counter_iban] if is_iban(t.counter_iban) else [])
