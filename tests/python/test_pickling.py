"""Pickling and value equality: documents copy into new documents with the same
statements and exports; Statement, Transaction, Balance and Diagnostic compare by value
and pickle to equal objects, through tallyfold._restore rather than their classes."""

import copy
import pickle

import pytest

import tallyfold
from tallyfold import MT940
from conftest import readings, statement_files


def round_trip(value):
    return pickle.loads(pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))


@pytest.mark.parametrize("path", statement_files())
def test_documents_and_their_objects_round_trip(path):
    for doc in readings(path):
        copied = round_trip(doc)
        assert copied is not doc and type(copied) is MT940
        assert (copied.to_json(), copied.to_csv(), copied.resolver_used, copied.diagnostics) == (
            doc.to_json(), doc.to_csv(), doc.resolver_used, doc.diagnostics)
        assert copied.statements == doc.statements
        # Every object of the document at once, as a worker process would get them.
        objects = [doc.diagnostics, doc.statements]
        for s in doc.statements:
            objects += [s.transactions, s.opening_balance, s.closing_balance, s.available_balance,
                        s.forward_balances]
        assert round_trip(objects) == objects
        assert [hash(t) for t in round_trip(doc.transactions)] == [hash(t) for t in doc.transactions]


def test_copies_are_new_documents_that_keep_identity_comparison(two_statements):
    doc = MT940(two_statements)
    for copied in [copy.copy(doc), copy.deepcopy(doc), round_trip(doc)]:
        assert copied != doc and copied.to_camt053() == doc.to_camt053()
    assert doc == doc


def test_values_differ_where_any_value_differs(two_statements):
    first, second = MT940(two_statements).statements
    assert first != second and first.transactions[0] != first.transactions[1]
    assert first.opening_balance != second.opening_balance
    # Same texts, one digit apart.
    other = MT940(two_statements.replace("500,00", "500,01")).statements[0]
    assert other != first and other.transactions[0] != first.transactions[0]
    assert other.transactions[1] == first.transactions[1]
    assert other.opening_balance == first.opening_balance
    # A Transaction is never equal to what is not one.
    assert first.transactions[0] != "x" and first.transactions[0] != first


def test_objects_restore_without_their_classes(two_statements):
    transaction = MT940(two_statements).transactions[0]
    restore, (kind, state) = transaction.__reduce__()
    assert restore is tallyfold._restore and kind == "Transaction"
    assert restore(kind, state) == transaction


@pytest.mark.parametrize(
    "kind, state",
    [
        ("Transaction", ()),
        ("Transaction", ("2023-02-30",) + (None,) * 9),
        ("Balance", ("RC", "2023-01-31", "EUR", "1.00", False)),
        ("Balance", ("C", "2023-01-31", "EUR", "-1.00", False)),
        ("Diagnostic", (1, "error", b"x")),
        ("Statement", (("text", ":20:A\n", None), 0)),
        ("Statement", (("bytes", b"", None, False, None), 0)),
        ("MT940", ("unknown", "")),
        ("Document", ()),
    ],
    ids=["empty", "bad-date", "reversal-balance", "negative-balance", "severity", "unreadable-text",
         "unreadable-bytes", "origin", "kind"],
)
def test_states_no_object_wrote_are_refused(kind, state):
    with pytest.raises(ValueError):
        tallyfold._restore(kind, state)


def test_statement_index_outside_its_document_is_refused(two_statements):
    _, (kind, (origin, _)) = MT940(two_statements).statements[0].__reduce__()
    with pytest.raises(ValueError, match="not a pickled tallyfold Statement"):
        tallyfold._restore(kind, (origin, 2))
