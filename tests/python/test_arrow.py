"""The Arrow tables of a document, as pyarrow, polars and DuckDB read them through the
PyCapsule interface: every row cross-checked against the Python attributes it mirrors."""

import gc

import pytest

from tallyfold import MT940
from conftest import readings, shared_files, statement, statement_files

pa = pytest.importorskip("pyarrow")

TRANSACTION_COLUMNS = {
    "account": "string", "reference": "string", "number": "string", "currency": "string",
    "value_date": "date32[day]", "entry_date": "date32[day]", "debit_credit": "string",
    "amount": "decimal128(38, 5)", "is_credit": "bool", "is_debit": "bool", "is_reversal": "bool",
    "transaction_type": "string", "customer_reference": "string", "bank_reference": "string",
    "details": "string", "structured_details": "map<string, string, keys_sorted>",
    "counterparty": "string", "counter_iban": "string", "purpose": "string",
    "counterparty_bic": "string", "end_to_end_reference": "string", "mandate_reference": "string",
    "creditor_id": "string", "transaction_id": "string",
}
# Columns named after Transaction attributes that hold the same value there.
SAME_AS_ATTRIBUTE = [
    "debit_credit", "is_credit", "is_debit", "is_reversal", "transaction_type", "customer_reference",
    "bank_reference", "details", "counterparty", "counter_iban", "purpose", "counterparty_bic",
    "end_to_end_reference", "mandate_reference", "creditor_id", "transaction_id",
]


def expected_row(s, t):
    details = t.structured_details
    return (
        {"account": s.account, "reference": s.reference, "number": s.number, "currency": s.currency}
        | {name: getattr(t, name) for name in SAME_AS_ATTRIBUTE}
        | {"value_date": t.value_day, "entry_date": t.entry_day, "amount": t.exact_amount,
           "structured_details": None if details is None else list(details.items())}
    )


def balance_row(b):
    if b is None:
        return None
    return {"mark": b.mark, "intermediate": b.intermediate, "date": b.date, "currency": b.currency,
            "amount": b.amount}


def expected_statement_row(s):
    def total(t):
        return None if t is None else {"count": t[0], "sum": t[1]}
    return {
        "reference": s.reference, "related_reference": s.related_reference, "account": s.account,
        "number": s.number, "currency": s.currency, "kind": s.kind,
        "opening_balance": balance_row(s.opening_balance),
        "closing_balance": balance_row(s.closing_balance),
        "available_balance": balance_row(s.available_balance),
        "forward_balances": [balance_row(b) for b in s.forward_balances],
        "information": s.information, "transaction_count": len(s.transactions),
        "difference": s.difference, "balanced": s.balanced, "follows_previous": s.follows_previous,
        "floor_limits": [{"mark": m, "currency": c, "amount": a} for m, c, a in s.floor_limits],
        "debit_total": total(s.debit_total), "credit_total": total(s.credit_total),
    }


@pytest.mark.parametrize("path", statement_files() + shared_files("camt-corpus"))
def test_tables_are_the_attributes(path):
    for doc in readings(path):
        transactions = pa.table(doc)
        assert {f.name: str(f.type) for f in transactions.schema} == TRANSACTION_COLUMNS
        details = pa.table(doc.transaction_details_table())
        assert details.column_names == [
            "account", "reference", "number", "transaction_index", "transaction_id", "detail_index", "details"]
        for table, rows in [
            (transactions, [expected_row(s, t) for s in doc.statements for t in s.transactions]),
            (pa.table(doc.statements_table()), [expected_statement_row(s) for s in doc.statements]),
            (details, [{"account": s.account, "reference": s.reference, "number": s.number, "transaction_index": i,
                        "transaction_id": t.transaction_id, "detail_index": j, "details": list(payment.items())}
                       for s in doc.statements
                       for i, t in enumerate(s.transactions)
                       for j, payment in enumerate(t.transaction_details)]),
        ]:
            table.validate(full=True)
            assert table.to_pylist() == rows


def test_polars_and_duckdb_read_exact_decimals(two_statements):
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    doc = MT940(two_statements)
    frame = pl.DataFrame(doc)
    assert (frame.schema["amount"], frame.schema["value_date"]) == (pl.Decimal(38, 5), pl.Date)
    assert frame["amount"].to_list() == [t.exact_amount for s in doc.statements for t in s.transactions]
    assert pl.DataFrame(doc.statements_table()).height == 2
    # DuckDB finds the document by its name.
    rows = duckdb.sql("select account, sum(amount) from doc group by account order by account").fetchall()
    assert [(a, str(total)) for a, total in rows] == [("ACCOUNT-A", "487.66000"), ("ACCOUNT-B", "100.00000")]


def test_batches_continue_across_statements_and_batch_limits():
    # More rows than one batch holds, cut inside a statement.
    lines = [(f"2301310131{'C' if i % 3 else 'D'}{i},0{i % 10}NTRFREF{i}", None) for i in range(1, 40001)]
    text = statement(reference="BIG-1", lines=lines) + statement(reference="BIG-2", lines=lines)
    doc = MT940(text)
    reader = pa.RecordBatchReader.from_stream(doc)
    batches = list(reader)
    assert len(batches) > 1
    table = pa.Table.from_batches(batches)
    assert table.num_rows == 80000
    assert table.column("reference").to_pylist() == ["BIG-1"] * 40000 + ["BIG-2"] * 40000
    assert table.column("customer_reference").to_pylist() == [f"REF{i}" for i in range(1, 40001)] * 2
    assert sum(table.column("amount").to_pylist()) == 2 * sum(t.exact_amount for t in doc.transactions)


def test_stream_outlives_its_document_and_honours_the_protocol(two_statements):
    doc = MT940(two_statements)
    capsule = doc.__arrow_c_stream__(requested_schema=None)
    statements = doc.statements_table().__arrow_c_stream__()
    del doc
    gc.collect()
    assert pa.RecordBatchReader._import_from_c_capsule(capsule).read_all().num_rows == 3
    assert pa.RecordBatchReader._import_from_c_capsule(statements).read_all().num_rows == 2
    # A capsule nobody reads is freed with its stream.
    MT940(two_statements).__arrow_c_stream__()
    with pytest.raises(TypeError):
        MT940(two_statements).__arrow_c_stream__(None, None)
