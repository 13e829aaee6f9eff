"""examples/statements_to_parquet.py, run as its docstring says, over examples/."""

import subprocess
import sys
from pathlib import Path

import pytest

from tallyfold import MT940

pytest.importorskip("dask.dataframe")
parquet = pytest.importorskip("pyarrow.parquet")
pa = pytest.importorskip("pyarrow")

REPO = Path(__file__).resolve().parents[2]
SCRIPT = REPO / "examples" / "statements_to_parquet.py"


def test_writes_every_transaction_with_exact_amounts(tmp_path):
    out = tmp_path / "transactions.parquet"
    run = subprocess.run(
        [sys.executable, str(SCRIPT), str(REPO / "examples"), str(out)],
        capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stderr
    table = parquet.read_table(out)
    assert str(table.schema.field("amount").type) == "decimal128(38, 5)"
    assert table.schema.names[1:] == pa.table(MT940.from_file(REPO / "examples" / "angular.sta")).schema.names
    rows = sorted(
        (Path(r["file"]).name, r["reference"], r["value_date"], r["amount"], r["purpose"])
        for r in table.to_pylist()
    )
    files = sorted((REPO / "examples").glob("*.sta"))
    expected = sorted(
        (path.name, s.reference, t.value_day, t.exact_amount, t.purpose)
        for path in files
        for s in MT940.from_file(path).statements
        for t in s.transactions
    )
    assert rows == expected
    assert run.stdout.strip() == f"{len(expected)} transactions from {len(files)} files written to {out}"
