"""Every transaction of a folder of statement files as one Parquet dataset, through Dask.

    python examples/statements_to_parquet.py STATEMENTS_DIR OUT_DIR [--pattern "*.sta"]

Each file is one partition, read by the bank-file reading (MT940.from_file) on Dask's
local threaded scheduler: the reading releases the interpreter lock, so threads run in
parallel. Amounts stay exact: they are written as a decimal(38, 2) column, never as
floating point, and dates as date32. Files that cannot be read are reported on
standard error and left out. For folders that outgrow one machine, create a
dask.distributed Client before calling write_parquet and the same graph runs on the
cluster (every worker needs tallyfold installed).

Needs: pip install "dask[dataframe]" pyarrow
"""

import argparse
import sys
from pathlib import Path

import dask
import dask.dataframe as dd
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq

import tallyfold

SCHEMA = pa.schema(
    [
        ("file", pa.string()),
        ("statement", pa.string()),
        ("account", pa.string()),
        ("currency", pa.string()),
        ("value_day", pa.date32()),
        ("entry_day", pa.date32()),
        ("amount", pa.decimal128(38, 2)),  # signed: negative for debits
        ("debit_credit", pa.string()),
        ("transaction_type", pa.string()),
        ("customer_reference", pa.string()),
        ("bank_reference", pa.string()),
        ("counterparty", pa.string()),
        ("counter_iban", pa.string()),
        ("purpose", pa.string()),
        ("end_to_end_reference", pa.string()),
    ]
)


def frame(table: pa.Table) -> pd.DataFrame:
    # Arrow-backed columns keep the decimal and date types on their way to Parquet.
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def read_transactions(path: str) -> pd.DataFrame:
    """One row per transaction of every statement of the file at `path`."""
    try:
        doc = tallyfold.MT940.from_file(path)
    except (ValueError, OSError) as error:
        print(f"{path}: {error}", file=sys.stderr)
        return frame(SCHEMA.empty_table())
    rows = [
        {
            "file": path,
            "statement": s.reference,
            "account": s.account,
            "currency": s.currency,
            "value_day": t.value_day,
            "entry_day": t.entry_day,
            "amount": t.exact_amount,
            "debit_credit": t.debit_credit,
            "transaction_type": t.transaction_type,
            "customer_reference": t.customer_reference,
            "bank_reference": t.bank_reference,
            "counterparty": t.counterparty,
            "counter_iban": t.counter_iban,
            "purpose": t.purpose,
            "end_to_end_reference": t.end_to_end_reference,
        }
        for s in doc.statements
        for t in s.transactions
    ]
    return frame(pa.Table.from_pylist(rows, schema=SCHEMA))


def write_parquet(paths: list[str], out: str) -> int:
    """Writes the transactions of `paths` to the Parquet dataset `out`; returns the row count."""
    transactions = dd.from_map(read_transactions, paths, meta=frame(SCHEMA.empty_table()))
    transactions.to_parquet(out, write_index=False, schema=SCHEMA)
    return sum(pq.ParquetFile(part).metadata.num_rows for part in Path(out).glob("*.parquet"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("statements", type=Path, help="folder of statement files")
    parser.add_argument("out", help="Parquet dataset to write (a folder)")
    parser.add_argument("--pattern", default="*.sta", help='file names to read (default "*.sta")')
    args = parser.parse_args()
    paths = [str(p) for p in sorted(args.statements.glob(args.pattern)) if p.is_file()]
    if not paths:
        sys.exit(f"no files matching {args.pattern} in {args.statements}")
    with dask.config.set(scheduler="threads"):
        rows = write_parquet(paths, args.out)
    print(f"{rows} transactions from {len(paths)} files written to {args.out}")


if __name__ == "__main__":
    main()
