"""Fast, exact parsing and export of SWIFT MT940 bank statements."""

__all__ = ["MT940", "Transaction"]

class MT940:
    """A parsed MT940 bank statement.

    Constructed from raw MT940 text, it keeps all parsed data in native memory and
    supports inspection and export to JSON, CSV and camt.053 XML without re-parsing.
    Attributes describe the first statement; the exports cover every statement.
    """

    def __new__(cls, text: str, resolver: str | None = None) -> MT940:
        """Parses `text`; raises ValueError with the parse error's message."""
    def __len__(self) -> int: ...
    @property
    def account(self) -> str: ...
    @property
    def currency(self) -> str: ...
    @property
    def opening_balance(self) -> float:
        """Signed by the balance's mark: negative for a debit balance."""
    @property
    def closing_balance(self) -> float:
        """Signed by the balance's mark: negative for a debit balance."""
    @property
    def resolver_used(self) -> str: ...
    @property
    def transactions(self) -> list[Transaction]:
        """A new list of new Transaction objects on every access."""
    def to_json(self) -> str: ...
    def to_csv(self) -> str: ...
    def to_camt053(self) -> str: ...

class Transaction:
    """A parsed MT940 transaction exposed to Python."""

    def __new__(cls, *args: object, **kwargs: object) -> Transaction:
        """Always raises TypeError: transactions come from MT940.transactions."""
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
    def counterparty(self) -> str: ...
    @property
    def counter_iban(self) -> str: ...
    @property
    def purpose(self) -> str: ...
