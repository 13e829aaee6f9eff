"""Fast, exact parsing and export of SWIFT MT940 bank statements."""

import datetime
import os
from decimal import Decimal
from typing import Any, Literal, final, overload

from _typeshed import SupportsRead
from typing_extensions import Buffer

__all__ = ["MT940", "Transaction"]

__version__: str

class ParseError(ValueError):
    """A statement file that cannot be read (from_bytes, from_file)."""

    line: int | None
    """The 1-based line of the file the error arose on; None for the file as a whole."""

class InternalFailure(BaseException):
    """A broken invariant of tallyfold itself, never an error of the input."""

def _restore(kind: str, state: Any, /) -> Any:
    """Unpickles a tallyfold object."""

@final
class MT940:
    """A parsed MT940 bank statement.

    Constructed from raw MT940 text, it keeps all parsed data in native memory and
    supports inspection and export to JSON, CSV and camt.053 XML without re-parsing.
    Attributes describe the first statement; the exports cover every statement.
    """

    def __new__(cls, text: str, resolver: str | None = None) -> MT940:
        """Parses `text`; raises ValueError with the parse error's message."""
    @classmethod
    def from_bytes(
        cls,
        data: Buffer,
        *,
        encoding: str | None = None,
        strict: bool = False,
        resolver: str | None = None,
    ) -> MT940:
        """Reads a statement file's bytes as the command does by default (charset
        detection or `encoding`, unwrapping, the bank-file reading); with strict=True,
        decodes them and reads the text exactly as MT940(text) does. Raises ParseError
        (a ValueError with the line) when the file cannot be read, TypeError for a str."""
    @classmethod
    def from_file(
        cls,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes] | SupportsRead[bytes],
        *,
        encoding: str | None = None,
        strict: bool = False,
        resolver: str | None = None,
    ) -> MT940:
        """Reads a file, by path or open in binary mode, as from_bytes reads bytes; a
        file that cannot be opened raises OSError."""
    def __len__(self) -> int: ...
    @property
    def account(self) -> str: ...
    @property
    def currency(self) -> str: ...
    @property
    def opening_balance(self) -> float:
        """Signed by the balance's mark: negative for a debit balance. ValueError when
        the first statement is an MT942 interim report, which has no balances."""
    @property
    def closing_balance(self) -> float:
        """Signed by the balance's mark: negative for a debit balance. ValueError when
        the first statement is an MT942 interim report, which has no balances."""
    @property
    def resolver_used(self) -> str: ...
    @property
    def transactions(self) -> list[Transaction]:
        """A new list of new Transaction objects on every access."""
    @property
    def diagnostics(self) -> list[Diagnostic]:
        """What the bank-file reading repaired or left out; empty for MT940(text)."""
    @property
    def source_format(self) -> str:
        """What was read: "MT940", "MT942", "MT940/MT942", or a camt message and
        version such as "camt.053.001.08" ("camt.052" when the file names no version)."""
    @property
    def statements(self) -> tuple[Statement, ...]:
        """Every statement of the document; built on first access and kept."""
    def to_json(self) -> str: ...
    def to_csv(self) -> str: ...
    def to_camt053(self) -> str:
        """The fixed camt.053.001.06 layout (not schema-valid); ValueError for a
        document whose first statement is an interim report."""
    @overload
    def to_camt(
        self,
        version: Literal["02", "06", "08"] = "08",
        created: datetime.datetime | str | int | None = None,
        *,
        entry_status: Literal["booked", "pending"] = "booked",
        split_accounts: Literal[False] = False,
    ) -> str:
        """An ISO 20022 document valid against its official schema: camt.053 for
        statements, camt.052 for MT942 interim reports. `created` (naive datetimes are
        UTC) defaults to SOURCE_DATE_EPOCH when set, else now. A statement that cannot
        be written validly is left out with a UserWarning. `entry_status="pending"`
        writes interim report entries as pending (PDNG)."""
    @overload
    def to_camt(
        self,
        version: Literal["02", "06", "08"] = "08",
        created: datetime.datetime | str | int | None = None,
        *,
        entry_status: Literal["booked", "pending"] = "booked",
        split_accounts: Literal[True],
    ) -> dict[str, str]:
        """One document per account: the account as the document's Acct/Id holds it
        (IBAN or account number), mapped to the document, in the order the accounts
        first appear."""
    def to_mt940(self, *, line_ending: Literal["\r\n", "\n"] = "\r\n") -> str:
        """SWIFT MT940 text (MT942 for interim reports), lines of at most 65 characters
        in SWIFT's character set. A statement that cannot be written without inventing
        or losing a value is left out with a UserWarning."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A PyCapsule "arrow_array_stream" of every transaction of every statement."""
    def statements_table(self) -> StatementsTable:
        """Every statement with its balances, as an Arrow table."""
    def transaction_details_table(self) -> TransactionDetailsTable:
        """Every payment of the entries that book several together (camt TxDtls), as
        an Arrow table."""
    def __reduce__(self) -> tuple[Any, tuple[str, Any]]: ...

@final
class StatementsTable:
    """The statements of a document as an Arrow table."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class TransactionDetailsTable:
    """The payments of a document's batch entries as an Arrow table."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class Transaction:
    """A parsed MT940 transaction exposed to Python."""

    def __new__(cls, *args: object, **kwargs: object) -> Transaction:
        """Always raises TypeError: transactions come from MT940.transactions."""
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[str, Any]]: ...
    @property
    def value_date(self) -> str: ...
    @property
    def entry_date(self) -> str | None: ...
    @property
    def debit_credit(self) -> str:
        """One of "D", "C", "RD", "RC"."""
    @property
    def amount(self) -> float:
        """Signed: negative for "D" and "RC"; equal to signed_amount()."""
    def signed_amount(self) -> float: ...
    @property
    def is_credit(self) -> bool: ...
    @property
    def is_debit(self) -> bool: ...
    @property
    def is_reversal(self) -> bool: ...
    @property
    def transaction_type(self) -> str: ...
    @property
    def customer_reference(self) -> str: ...
    @property
    def bank_reference(self) -> str | None: ...
    @property
    def details(self) -> str: ...
    @property
    def structured_details(self) -> dict[str, str] | None:
        """A new dict on every access."""
    @property
    def transaction_details(self) -> tuple[dict[str, str], ...]:
        """The payments a camt batch entry books together, one dict each, in the
        bank's order; empty otherwise (a single payment's details are the entry's)."""
    @property
    def counterparty(self) -> str: ...
    @property
    def counter_iban(self) -> str: ...
    @property
    def purpose(self) -> str: ...
    @property
    def exact_amount(self) -> Decimal:
        """The exact amount, signed like `amount`."""
    @property
    def value_day(self) -> datetime.date: ...
    @property
    def entry_day(self) -> datetime.date | None: ...
    @property
    def counterparty_bic(self) -> str:
        """The other party's BIC, as the bank-file reading's layouts give it; "" when absent."""
    @property
    def end_to_end_reference(self) -> str:
        """The EREF of the details (never "NOTPROVIDED" or "NONREF"); "" when absent."""
    @property
    def mandate_reference(self) -> str:
        """The MREF of the details; "" when absent."""
    @property
    def creditor_id(self) -> str:
        """The creditor identifier of the details (CRED); "" when absent."""
    @property
    def transaction_id(self) -> str | None:
        """The bank-file reading's id: 32 lowercase hex digits, the same for the same
        transaction in any file that holds its statement. None for the exact reading."""

@final
class Statement:
    """One statement of an MT940 document, with its exact reconciliation."""

    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[str, Any]]: ...

    @property
    def reference(self) -> str:
        """The :20: transaction reference."""
    @property
    def related_reference(self) -> str | None:
        """The :21: related reference."""
    @property
    def account(self) -> str: ...
    @property
    def number(self) -> str:
        """The :28C: text: statement number, then "/" and the sequence number if any."""
    @property
    def currency(self) -> str: ...
    @property
    def opening_balance(self) -> Balance | None:
        """None for a report or notification that gives none (an MT942 interim report
        never does), and for an incomplete statement that lacks it."""
    @property
    def closing_balance(self) -> Balance | None:
        """None for a report or notification that gives none (an MT942 interim report
        never does), and for an incomplete statement that lacks it."""
    @property
    def available_balance(self) -> Balance | None:
        """The :64: closing available balance."""
    @property
    def forward_balances(self) -> tuple[Balance, ...]:
        """Every :65: forward available balance, in order."""
    @property
    def information(self) -> str | None:
        """The statement's own :86: information to the account owner."""
    @property
    def transactions(self) -> tuple[Transaction, ...]:
        """Built on first access and kept."""
    @property
    def difference(self) -> Decimal | None:
        """Closing minus opening balance minus the signed amounts: 0 when balanced.
        None without both balances."""
    @property
    def balanced(self) -> bool | None:
        """None without both balances."""
    @property
    def follows_previous(self) -> bool | None:
        """Whether the opening balance is the previous closing balance of the same
        account in this document; None for an account's first statement."""
    @property
    def complete(self) -> bool:
        """False for a statement the bank-file reading kept although it lacks its
        account, number or a balance (a warning says which)."""
    @property
    def kind(self) -> Literal["statement", "interim_report", "notification"]:
        """An interim report (MT942, camt.052) or a notification (camt.054) is not
        reconciled: `difference`, `balanced` and `follows_previous` are None for it."""
    @property
    def floor_limits(self) -> tuple[tuple[Literal["C", "D"] | None, str, Decimal], ...]:
        """A report's :34F: floor limits: mark (None: both sides), currency, amount."""
    @property
    def reported_at(self) -> datetime.datetime | None:
        """A report's :13D: time, with its UTC offset (naive for the older :13:)."""
    @property
    def debit_total(self) -> tuple[int, Decimal] | None:
        """A report's :90D: number and sum of debit entries."""
    @property
    def credit_total(self) -> tuple[int, Decimal] | None:
        """A report's :90C: number and sum of credit entries."""
    @property
    def source_details(self) -> dict[str, str] | None:
        """What a camt statement says beyond the attributes, by element path; None
        for MT."""

@final
class Balance:
    """A balance of a statement."""

    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[str, Any]]: ...

    @property
    def mark(self) -> Literal["C", "D"]: ...
    @property
    def intermediate(self) -> bool:
        """True for :60M: and :62M:."""
    @property
    def date(self) -> datetime.date: ...
    @property
    def currency(self) -> str: ...
    @property
    def amount(self) -> Decimal:
        """Negative for mark "D"."""

@final
class Diagnostic:
    """A repair or omission of the bank-file reading."""

    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[str, Any]]: ...

    @property
    def line(self) -> int:
        """The line of the file it concerns (1-based; 0 for the file as a whole)."""
    @property
    def severity(self) -> Literal["note", "warning"]: ...
    @property
    def message(self) -> str: ...
