"""The bank-file reading from Python (MT940.from_bytes, MT940.from_file) and the exact
values beside the specified attributes: Statement, Balance, Diagnostic, and the Decimal
and date companions of Transaction."""

import datetime
import gc
import io
import json
from decimal import Decimal
from pathlib import Path

import pytest

import tallyfold
from tallyfold import MT940
from conftest import statement_files

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((REPO / "examples").glob("*.sta"))


def exact_json(text):
    return json.loads(text, parse_float=Decimal, parse_int=Decimal)


def transaction_values(t):
    names = [n for n in dir(t) if not n.startswith("_") and n != "signed_amount"]
    return {n: getattr(t, n) for n in names} | {"signed_amount()": t.signed_amount()}


# The derived fields that the bank-file reading's JSON carries on each transaction.
DERIVED_KEYS = {
    "purpose": "purpose", "counterparty": "counterparty", "counterIban": "counter_iban",
    "counterpartyBic": "counterparty_bic", "endToEndReference": "end_to_end_reference",
    "mandateReference": "mandate_reference", "creditorId": "creditor_id",
    "transactionId": "transaction_id",
}


# The command writes what the core's entry point gives, as the module does; here the
# module's attributes are checked against its own JSON.
@pytest.mark.parametrize("path", statement_files())
def test_attributes_agree_with_the_json(path):
    try:
        doc = MT940.from_file(path)
    except ValueError:
        return
    expected = doc.to_json()

    same = MT940.from_bytes(path.read_bytes())
    assert same.to_json() == doc.to_json()
    assert [repr(d) for d in same.diagnostics] == [repr(d) for d in doc.diagnostics]
    assert [repr(s) for s in same.statements] == [repr(s) for s in doc.statements]

    statements = doc.statements
    records = exact_json(expected)
    assert len(statements) == len(records)
    for s, record in zip(statements, records):
        amounts = [t["amount"] for t in record["transactions"]]
        assert [t.exact_amount for t in s.transactions] == amounts
        for t, fields in zip(s.transactions, record["transactions"]):
            derived = {key: fields[key] for key in DERIVED_KEYS if key in fields}
            assert derived == {key: getattr(t, name) for key, name in DERIVED_KEYS.items() if key in fields}
        if s.opening_balance is None or s.closing_balance is None:
            # An interim report or an incomplete statement: nothing to reconcile.
            assert (s.difference, s.balanced) == (None, None)
            assert (s.opening_balance is None, s.closing_balance is None) == (
                record["openingBalance"] is None, record["closingBalance"] is None)
            continue
        assert s.difference == record["closingBalance"] - record["openingBalance"] - sum(amounts)
        assert s.balanced == (s.difference == 0)
        assert all(float(t.exact_amount) == t.amount for t in s.transactions)

    first = statements[0]
    assert first.account == doc.account
    if first.complete and first.closing_balance is not None:
        assert first.currency == doc.currency
        assert float(first.opening_balance.amount) == doc.opening_balance
        assert float(first.closing_balance.amount) == doc.closing_balance
    assert [transaction_values(t) for t in first.transactions] == [
        transaction_values(t) for t in doc.transactions
    ]


@pytest.mark.parametrize("path", statement_files())
def test_strict_reading_is_the_exact_reading(path):
    data = path.read_bytes()
    try:
        text = data.decode("utf-8-sig")
        encoding = None
    except UnicodeDecodeError:
        with pytest.raises(ValueError, match=r"^line \d+: not valid UTF-8 \(byte \d+\); name"):
            MT940.from_bytes(data, strict=True)
        text = data.decode("latin-1")
        encoding = "latin-1"
    try:
        expected = MT940(text, "gvc")
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            MT940.from_bytes(data, strict=True, encoding=encoding, resolver="gvc")
        assert raised.value.args == error.args
        return
    doc = MT940.from_file(path, strict=True, encoding=encoding, resolver="gvc")
    assert (doc.to_json(), doc.resolver_used, doc.diagnostics, expected.diagnostics) == (
        expected.to_json(), "gvc", [], [])
    assert [transaction_values(t) for t in doc.transactions] == [
        transaction_values(t) for t in expected.transactions
    ]


# ---------------------------------------------------------------------------------------
# Attributes and their types

FULL = (
    b":20:STMT-1\r\n:21:REL-9\r\n:25:NL92NRDK0417552093\r\n:28C:00062/1\r\n"
    b":60M:D240301EUR100,00\r\n"
    b":61:2403040304C1250,00NTRFINV-118//NK0304A17\r\n:86:/EREF/E1/REMI/Invoice 118\r\n"
    b":61:240305RD0,5NCHGNONREF\r\n"
    b":62F:C240331EUR1150,50\r\n:64:C240331EUR1100,00\r\n"
    b":65:C240401EUR1,00\r\n:65:D240402EUR2,00\r\n:86:owner information\r\n"
    b":20:STMT-2\r\n:25:NL92NRDK0417552093\r\n:28C:00063\r\n"
    b":60F:C240331EUR1150,00\r\n:62M:C240430EUR1150,00\r\n"
)


@pytest.fixture(scope="module")
def full():
    return MT940.from_bytes(FULL)


def test_statement_values(full):
    first, second = full.statements
    values = {
        "reference": ("STMT-1", "STMT-2"),
        "related_reference": ("REL-9", None),
        "account": ("NL92NRDK0417552093",) * 2,
        "number": ("00062/1", "00063"),
        "currency": ("EUR", "EUR"),
        "information": ("owner information", None),
        "difference": (Decimal("0.00"), Decimal("0.00")),
        "balanced": (True, True),
        "follows_previous": (None, False),
        "complete": (True, True),
    }
    for name, expected in values.items():
        assert (getattr(first, name), getattr(second, name)) == expected, name
    assert second.difference.as_tuple() == Decimal("0.00").as_tuple()

    balances = [
        first.opening_balance, first.closing_balance, first.available_balance,
        *first.forward_balances, second.closing_balance,
    ]
    assert [(b.mark, b.intermediate, b.date, b.currency, b.amount) for b in balances] == [
        ("D", True, datetime.date(2024, 3, 1), "EUR", Decimal("-100.00")),
        ("C", False, datetime.date(2024, 3, 31), "EUR", Decimal("1150.50")),
        ("C", False, datetime.date(2024, 3, 31), "EUR", Decimal("1100.00")),
        ("C", False, datetime.date(2024, 4, 1), "EUR", Decimal("1.00")),
        ("D", False, datetime.date(2024, 4, 2), "EUR", Decimal("-2.00")),
        ("C", True, datetime.date(2024, 4, 30), "EUR", Decimal("1150.00")),
    ]
    assert second.available_balance is None and second.forward_balances == ()


def test_interim_report_has_no_balances():
    report = (
        b":20:REP-1\n:25:NL92NRDK0417552093\n:28C:7/1\n:34F:EUR0,\n:13D:2403151200+0100\n"
        b":61:240315C10,00NTRFREF\n:86:text\n:90D:0EUR0,\n:90C:1EUR10,00\n"
    )
    after = b":20:S-2\n:25:NL92NRDK0417552093\n:28C:8\n:60F:C240301EUR1,00\n:62F:C240301EUR1,00\n"
    before = after.replace(b"S-2", b"S-0")
    first, interim, second = MT940.from_bytes(before + report + after).statements
    assert repr(interim) == "<Statement 7/1 NL92NRDK0417552093 EUR interim report, 1 transaction>"
    values = [interim.opening_balance, interim.closing_balance, interim.available_balance,
              interim.difference, interim.balanced, interim.follows_previous]
    assert values == [None] * 6
    assert (interim.currency, interim.forward_balances) == ("EUR", ())
    assert [t.exact_amount for t in interim.transactions] == [Decimal("10.00")]
    # The statements around it continue each other.
    assert (first.follows_previous, second.follows_previous) == (None, True)


def test_transaction_exact_values(full):
    credit, reversal = full.statements[0].transactions
    assert (credit.exact_amount, credit.value_day, credit.entry_day) == (
        Decimal("1250.00"), datetime.date(2024, 3, 4), datetime.date(2024, 3, 4))
    assert (reversal.exact_amount, reversal.value_day, reversal.entry_day) == (
        Decimal("0.50"), datetime.date(2024, 3, 5), None)
    assert str(credit.exact_amount) == "1250.00"  # the scale of the file, not of a float


TYPES = {
    tallyfold.Statement: {
        "reference": str, "related_reference": (str, type(None)), "account": str, "number": str,
        "currency": str, "opening_balance": tallyfold.Balance, "closing_balance": tallyfold.Balance,
        "available_balance": (tallyfold.Balance, type(None)), "forward_balances": tuple,
        "information": (str, type(None)), "transactions": tuple, "difference": Decimal,
        "balanced": bool, "follows_previous": (bool, type(None)),
    },
    tallyfold.Balance: {
        "mark": str, "intermediate": bool, "date": datetime.date, "currency": str, "amount": Decimal,
    },
    tallyfold.Transaction: {
        "exact_amount": Decimal, "value_day": datetime.date, "entry_day": (datetime.date, type(None)),
        "counterparty_bic": str, "end_to_end_reference": str, "mandate_reference": str,
        "creditor_id": str,
    },
    tallyfold.Diagnostic: {"line": int, "severity": str, "message": str},
}


def every_object(doc):
    for s in doc.statements:
        yield s
        yield from (s.opening_balance, s.closing_balance, *s.forward_balances)
        yield from s.transactions
    yield from doc.diagnostics


def test_attribute_types(full):
    wrapped = MT940.from_bytes(b"{1:F01X}{2:O940X}{4:\n" + FULL + b"-}")
    seen = set()
    for doc in [full, wrapped, *map(MT940.from_file, EXAMPLES)]:
        for obj in every_object(doc):
            seen.add(type(obj))
            for name, kind in TYPES[type(obj)].items():
                assert isinstance(getattr(obj, name), kind), (type(obj).__name__, name)
    assert seen == set(TYPES)


@pytest.mark.parametrize("cls", [tallyfold.Statement, tallyfold.Balance, tallyfold.Diagnostic])
def test_new_classes_are_sealed(cls, full):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    obj = next(o for o in every_object(MT940.from_bytes(b"{4:\n" + FULL)) if type(o) is cls)
    name = next(iter(TYPES[cls]))
    with pytest.raises(AttributeError):
        setattr(obj, name, getattr(obj, name))
    with pytest.raises(AttributeError):
        obj.other = 1


def test_reprs(full):
    first, second = full.statements
    one = MT940.from_bytes(FULL.replace(b":61:240305RD0,5NCHGNONREF\r\n", b""))
    assert repr(first) == "<Statement 00062/1 NL92NRDK0417552093 EUR -100.00 \u2192 1150.50, 2 transactions>"
    assert repr(second) == "<Statement 00063 NL92NRDK0417552093 EUR 1150.00 \u2192 1150.00, 0 transactions>"
    assert repr(one.statements[0]).endswith(", 1 transaction>")
    assert repr(first.opening_balance) == "<Balance D 2024-03-01 EUR 100.00, intermediate>"
    assert repr(first.closing_balance) == "<Balance C 2024-03-31 EUR 1150.50>"
    (note, *_) = MT940.from_bytes(b"{4:\n" + FULL + b"-}").diagnostics
    assert repr(note) == f"<Diagnostic line {note.line} {note.severity}: {note.message}>"


def test_kept_objects_are_kept(full):
    assert full.statements is full.statements
    assert full.statements[0].transactions is full.statements[0].transactions
    assert full.diagnostics is not full.diagnostics  # a new list, as transactions is


def test_snapshots_outlive_their_document():
    doc = MT940.from_bytes(FULL)
    statements = doc.statements
    transactions = statements[0].transactions
    balance = statements[1].closing_balance
    del doc
    gc.collect()
    MT940.from_bytes(FULL.replace(b"STMT", b"XXXX"))  # reuse of freed memory shows
    assert [s.reference for s in statements] == ["STMT-1", "STMT-2"]
    assert statements[0].information == "owner information"
    assert transactions[0].bank_reference == "NK0304A17"
    assert [t.customer_reference for t in statements[0].transactions] == ["INV-118", "NONREF"]
    assert (balance.currency, balance.amount) == ("EUR", Decimal("1150.00"))


# ---------------------------------------------------------------------------------------
# Inputs

SAMPLE = REPO / "examples" / "german-gvc.sta"


def read_open_file(path, mode="rb", read=MT940.from_file):
    with open(path, mode) as file:
        return read(file)


@pytest.mark.parametrize(
    "read",
    [
        lambda: MT940.from_bytes(bytearray(SAMPLE.read_bytes())),
        lambda: MT940.from_bytes(memoryview(SAMPLE.read_bytes())),
        lambda: MT940.from_bytes(memoryview(b"xx" + SAMPLE.read_bytes())[2:]),
        lambda: MT940.from_bytes(data=SAMPLE.read_bytes()),
        lambda: MT940.from_file(str(SAMPLE)),
        lambda: MT940.from_file(SAMPLE),
        lambda: MT940.from_file(bytes(SAMPLE)),
        lambda: MT940.from_file(path=SAMPLE),
        lambda: read_open_file(SAMPLE),
        lambda: MT940.from_file(io.BytesIO(SAMPLE.read_bytes())),
    ],
    ids=["bytearray", "memoryview", "memoryview-slice", "keyword", "str-path", "Path",
         "bytes-path", "keyword-path", "binary-file", "BytesIO"],
)
def test_every_kind_of_input_reads_alike(read):
    assert read().to_json() == MT940.from_bytes(SAMPLE.read_bytes()).to_json()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: MT940.from_bytes(SAMPLE.read_text()), r"'data' must be a bytes-like object, not 'str' \(a str is read with MT940\(text\)\)"),
        (lambda: read_open_file(SAMPLE, "r", MT940.from_bytes), r"'data' must be a bytes-like object, not 'TextIOWrapper'"),
        (lambda: MT940.from_bytes(io.StringIO("text")), r"'data' must be a bytes-like object, not 'StringIO'"),
        (lambda: MT940.from_bytes(None), r"'data' must be a bytes-like object, not 'NoneType'"),
        (lambda: MT940.from_file(io.StringIO("text")), r"binary mode \('rb'\): read\(\) returned str"),
        (lambda: MT940.from_file(5), r"expected str, bytes or os.PathLike object"),
        (lambda: MT940.from_bytes(b"", encoding=1), r"'encoding' must be str or None, not 'int'"),
        (lambda: MT940.from_bytes(b"", resolver=b"auto"), r"'resolver' must be str or None, not 'bytes'"),
        (lambda: MT940.from_bytes(b"", "latin-1"), r"positional argument"),
    ],
    ids=["str", "text-file", "StringIO", "None", "text-file-to-from_file", "int-path", "encoding-type",
         "resolver-type", "encoding-by-position"],
)
def test_wrong_input_types_raise_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()


# (input, options, message, line of tallyfold.ParseError; "option" for a ValueError
# about the arguments, which is no ParseError).
@pytest.mark.parametrize(
    "data, options, message, line",
    [
        (b":20:A\n:25:B\n\xff\xfe", {"encoding": "utf-8"}, "line 3: not valid utf-8 at byte 12", 3),
        (b"hello\nworld\n", {}, "Input contains no MT940 data", None),
        (b"\n".join([b":20:A"] * 3) + b"\n:25:\xff", {"strict": True}, "line 4: not valid UTF-8 (byte 22); name its encoding, for example encoding=\"latin-1\"", 4),
        (FULL, {"resolver": "AUTO"}, "unknown resolver 'AUTO' (auto, swift, gvc, angular)", "option"),
        (FULL, {"resolver": "AUTO", "strict": True}, "unknown resolver 'AUTO' (auto, swift, gvc, angular)", "option"),
        (FULL, {"encoding": "no-such-charset"}, "unknown encoding 'no-such-charset'", "option"),
        # The exact reading's message stays as MT940(text) gives it; the line is beside it.
        (b":20:A\n:25:B\n:28C:1\n:60F:X230101EUR1,00\n", {"strict": True}, "Invalid format in tag balance: 'X230101EUR1,00': invalid D/C mark", 4),
        (b":20:A\n:25:B\n:28C:1\n:60F:C230101EUR1,00\n:61:2301010101C1,00NTRFX\n:61:nonsense\n:62F:C230101EUR2,00\n", {"strict": True}, "Invalid format in tag :61:: 'nonsense': does not match expected format", 6),
        (b"\r\n:20:A\r\n:25:B\r\n:28C:1\r\n:20:C\r\n", {"strict": True}, "Missing mandatory tag :60F: (A)", 2),
        (b"\xef\xbb\xbf\n\n", {"strict": True}, "Input contains no MT940 data", None),
    ],
    ids=["not-in-encoding", "no-statement", "strict-not-utf8", "unknown-resolver",
         "unknown-resolver-strict", "unknown-encoding", "strict-parse-error", "strict-statement-line",
         "strict-missing-tag", "strict-no-data"],
)
def test_reading_errors_name_their_line(data, options, message, line):
    with pytest.raises(ValueError) as raised:
        MT940.from_bytes(data, **options)
    assert raised.value.args == (message,)
    if line == "option":
        assert not isinstance(raised.value, tallyfold.ParseError)
    else:
        assert type(raised.value) is tallyfold.ParseError
        assert raised.value.line == line


def test_incomplete_statement_is_kept_without_invented_balances():
    # Cut off before its closing balance: kept, and its closing balance is absent.
    doc = MT940.from_bytes(FULL.split(b":62F:")[0])
    (s,) = doc.statements
    assert (s.complete, s.closing_balance, s.difference, s.balanced) == (False, None, None, None)
    assert s.opening_balance.amount == Decimal("-100.00") and len(s.transactions) == 2
    assert repr(s) == "<Statement 00062/1 NL92NRDK0417552093 EUR -100.00 \u2192 ? incomplete, 2 transactions>"
    record = json.loads(doc.to_json())[0]
    assert (record["complete"], record["closingBalance"], record["closingBalanceDate"]) == (False, None, None)
    assert [(d.line, d.severity) for d in doc.diagnostics] == [(1, "warning")]


@pytest.mark.parametrize(
    "path, error",
    [("no-such-file.sta", FileNotFoundError), (".", IsADirectoryError)],
    ids=["missing", "directory"],
)
def test_unreadable_path_raises_os_error(path, error, tmp_path):
    target = tmp_path / path
    with pytest.raises(error) as raised:
        MT940.from_file(target)
    assert raised.value.filename == str(target)


GVC = REPO / "examples" / "german-gvc.sta"


@pytest.mark.parametrize(
    "read, fields",
    [
        (lambda: MT940.from_file(GVC), (
            "Versicherungsbeitrag Maerz2024 Vertrag 5513", "NOLADE21KIE", "VK-2024-03-5513",
            "M-00087721", "DE98ZZZ09999999999")),
        (lambda: MT940(GVC.read_text()), (
            "EREF+VK-2024-03-5513 MREF+M-00087721 CRED+DE98ZZZ09999999999 "
            "SVWZ+Versicherungsbeitrag Maerz 2024 Vertrag 5513", "", "", "", "")),
    ],
    ids=["bank-file", "exact"],
)
def test_each_reading_derives_its_own_fields(read, fields):
    doc = read()
    for t in (doc.transactions[0], doc.statements[0].transactions[0]):
        assert (t.purpose, t.counterparty_bic, t.end_to_end_reference, t.mandate_reference,
                t.creditor_id) == fields

