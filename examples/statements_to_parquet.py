"""Every transaction of a folder of statement files as one Parquet dataset, through Dask.

    python examples/statements_to_parquet.py STATEMENTS_DIR OUT_DIR [--pattern "*.sta"]

Each file is one partition, read by the bank-file reading (MT940.from_file) on Dask's
local threaded scheduler: the reading releases the interpreter lock, so threads run in
parallel. The transactions reach Parquet through the document's Arrow table, column by
column, with no Python loop over them: amounts stay exact as decimal(38, 5), dates are
date32, and each row also names its file. Files that cannot be read are reported on
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

# Every document's table has the same columns; a file that cannot be read gives none.
EMPTY = pa.table(tallyfold.MT940(":20:X\n:25:X\n:28C:1\n:60F:C240101EUR0,00\n:62F:C240101EUR0,00\n"))
SCHEMA = EMPTY.schema.insert(0, pa.field("file", pa.string(), nullable=False))


def frame(table: pa.Table) -> pd.DataFrame:
    # Arrow-backed columns keep the decimal and date types on their way to Parquet.
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def read_transactions(path: str) -> pd.DataFrame:
    """One row per transaction of every statement of the file at `path`."""
    try:
        table = pa.table(tallyfold.MT940.from_file(path))
    except (ValueError, OSError) as error:
        print(f"{path}: {error}", file=sys.stderr)
        table = EMPTY.slice(0, 0)
    files = pa.repeat(pa.scalar(path, pa.string()), table.num_rows)
    return frame(table.add_column(0, SCHEMA.field("file"), files))


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
