"""The scripts of examples/, run as their first lines and docstrings say: each data-frame
example prints every account's exact total, the sum of its exact amounts; the Parquet
example writes every transaction of examples/ with its exact amount."""

import subprocess
import sys
from collections import defaultdict
from decimal import Decimal
from pathlib import Path

import pytest

from conftest import EXAMPLE_FILES, EXAMPLES
from tallyfold import MT940

SCRIPTS = {"pandas_totals.py": ["pandas", "pyarrow"], "polars_totals.py": ["polars"],
           "duckdb_totals.py": ["duckdb"]}


def run_example(script, *args):
    run = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout


# The scripts do not look at the layout of the file: each runs once, on its own example.
@pytest.mark.parametrize("script, path", list(zip(sorted(SCRIPTS), EXAMPLE_FILES)),
                         ids=lambda v: getattr(v, "name", v))
def test_example_prints_exact_totals(script, path):
    for module in SCRIPTS[script]:
        pytest.importorskip(module)
    printed = run_example(script, path).splitlines()
    totals = defaultdict(Decimal)
    for s in MT940.from_file(path).statements:
        for t in s.transactions:
            totals[s.account, s.currency] += t.exact_amount
    assert totals
    for (account, currency), total in totals.items():
        line = next(line for line in printed if account in line)
        assert currency in line and f"{total.quantize(Decimal('0.00001'))}" in line


def test_parquet_example_writes_every_transaction_with_exact_amounts(tmp_path):
    pytest.importorskip("dask.dataframe")
    parquet = pytest.importorskip("pyarrow.parquet")
    pa = pytest.importorskip("pyarrow")
    out = tmp_path / "transactions.parquet"
    printed = run_example("statements_to_parquet.py", EXAMPLES, out)
    table = parquet.read_table(out)
    assert str(table.schema.field("amount").type) == "decimal128(38, 5)"
    assert table.schema.names[1:] == pa.table(MT940.from_file(EXAMPLE_FILES[0])).schema.names
    rows = sorted((Path(r["file"]).name, r["reference"], r["value_date"], r["amount"], r["purpose"])
                  for r in table.to_pylist())
    expected = sorted((path.name, s.reference, t.value_day, t.exact_amount, t.purpose)
                      for path in EXAMPLE_FILES for s in MT940.from_file(path).statements for t in s.transactions)
    assert rows == expected
    assert printed.strip() == f"{len(expected)} transactions from {len(EXAMPLE_FILES)} files written to {out}"
