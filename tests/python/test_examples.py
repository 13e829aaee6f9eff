"""The three-line data-frame examples of examples/, run as their first lines say: each
prints every account's exact total, which must be the sum of its exact amounts."""

import subprocess
import sys
from collections import defaultdict
from decimal import Decimal
from pathlib import Path

import pytest

from tallyfold import MT940

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((REPO / "examples").glob("*.sta"))
SCRIPTS = {"pandas_totals.py": ["pandas", "pyarrow"], "polars_totals.py": ["polars"],
           "duckdb_totals.py": ["duckdb"]}


# The scripts do not look at the layout of the file: each runs once, on its own example.
@pytest.mark.parametrize("script, path", list(zip(sorted(SCRIPTS), EXAMPLES)),
                         ids=lambda v: getattr(v, "name", v))
def test_example_prints_exact_totals(script, path):
    for module in SCRIPTS[script]:
        pytest.importorskip(module)
    run = subprocess.run([sys.executable, str(REPO / "examples" / script), str(path)],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    totals = defaultdict(Decimal)
    for s in MT940.from_file(path).statements:
        for t in s.transactions:
            totals[s.account, s.currency] += t.exact_amount
    assert totals
    for (account, currency), total in totals.items():
        line = next(line for line in run.stdout.splitlines() if account in line)
        assert currency in line and f"{total.quantize(Decimal('0.00001'))}" in line
