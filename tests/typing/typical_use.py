"""Typical use of the module, checked by `mypy --strict` against the installed stub and
run over a folder of statement files: python tests/typing/typical_use.py examples"""

import datetime
import pickle
import sys
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal
from pathlib import Path

import tallyfold
from tallyfold import MT940, Balance, Diagnostic, ParseError, Statement, Transaction


def read(path: Path) -> MT940 | None:
    try:
        return MT940.from_file(path)
    except ParseError as error:
        line: int | None = error.line
        print(f"{path} (line {line}): {error}", file=sys.stderr)
        return None


def signed(balance: Balance | None) -> Decimal:
    return Decimal(0) if balance is None else balance.amount


def reconcile(statement: Statement) -> str:
    total: Decimal = sum((t.exact_amount for t in statement.transactions), Decimal(0))
    expected = signed(statement.opening_balance) + total
    difference: Decimal | None = statement.difference
    state = "balanced" if statement.balanced else f"off by {difference}"
    return f"{statement.number} {statement.currency} {expected} = {signed(statement.closing_balance)}: {state}"


def payments(statement: Statement, since: datetime.date) -> Iterator[Transaction]:
    for t in statement.transactions:
        if t.is_debit and t.value_day >= since:
            yield t


def warnings(doc: MT940) -> list[Diagnostic]:
    return [d for d in doc.diagnostics if d.severity == "warning"]


def main(folder: Path) -> None:
    paths = sorted(folder.glob("*.sta"))
    with ThreadPoolExecutor() as pool:
        docs = [doc for doc in pool.map(read, paths) if doc is not None]
    for doc in docs:
        for statement in doc.statements:
            print(reconcile(statement))
            for t in payments(statement, datetime.date(2000, 1, 1)):
                entry: datetime.date | None = t.entry_day
                print(f"  {t.value_day} {entry} {t.exact_amount} {t.counterparty} {t.end_to_end_reference}")
        for d in warnings(doc):
            print(f"  line {d.line}: {d.message}")
    with open(paths[0], "rb") as file:
        strict = MT940.from_file(file, strict=True, encoding="latin-1", resolver="auto")
    same = MT940.from_bytes(memoryview(paths[0].read_bytes()))
    print(len(strict.statements) == len(same.statements))
    copied: MT940 = pickle.loads(pickle.dumps(same))
    print(tallyfold.__version__, copied.statements == same.statements, hash(copied.transactions[0]))
    print(same.__arrow_c_stream__() is not None, same.statements_table().__arrow_c_stream__() is not None)
    one: str = same.to_camt(created=0)
    per_account: dict[str, str] = same.to_camt("02", 0, entry_status="pending", split_accounts=True)
    print(len(one), sorted(per_account))


if __name__ == "__main__":
    main(Path(sys.argv[1]))
