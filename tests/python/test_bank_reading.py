"""The bank-file reading from Python (MT940.from_bytes, MT940.from_file) and the exact
values beside the specified attributes: Statement, Balance, Diagnostic, and the Decimal
and date companions of Transaction."""

import datetime
import gc
import io
import json
from decimal import Decimal

import pytest

import tallyfold
from tallyfold import MT940
from conftest import EXAMPLE_FILES, EXAMPLES, statement_files


def transaction_values(t):
    names = [n for n in dir(t) if not n.startswith("_") and n != "signed_amount"]
    return {n: getattr(t, n) for n in names} | {"signed_amount()": t.signed_amount()}


def amount(balance):
    return None if balance is None else balance.amount


# Every file through both readings: the Decimal attributes say what the core's JSON
# says, the document's own attributes are its first statement's, and the strict reading
# gives what MT940(text) gives.
@pytest.mark.parametrize("path", statement_files())
def test_every_file_reads_alike_through_each_door(path):
    try:
        doc = MT940.from_file(path)
        statements = doc.statements
    except ValueError:
        doc, statements = None, ()
    records = json.loads(doc.to_json(), parse_float=Decimal, parse_int=Decimal) if statements else []
    for s, record in zip(statements, records, strict=True):
        amounts = [t["amount"] for t in record["transactions"]]
        assert [t.exact_amount for t in s.transactions] == amounts
        assert all(float(t.exact_amount) == t.amount for t in s.transactions)
        opening, closing = record["openingBalance"], record["closingBalance"]
        assert (amount(s.opening_balance), amount(s.closing_balance)) == (opening, closing)
        if opening is None or closing is None:
            assert (s.difference, s.balanced) == (None, None)
        else:
            assert s.difference == closing - opening - sum(amounts)
            assert s.balanced == (s.difference == 0)
    if statements:
        first = statements[0]
        assert (doc.account, len(doc)) == (first.account, len(first.transactions))
        if first.complete and first.closing_balance is not None:
            assert (doc.currency, doc.opening_balance, doc.closing_balance) == (
                first.currency, float(first.opening_balance.amount), float(first.closing_balance.amount))
        assert list(map(transaction_values, doc.transactions)) == list(map(transaction_values, first.transactions))

    data = path.read_bytes()
    try:
        text, encoding = data.decode("utf-8-sig"), None
    except UnicodeDecodeError:
        text, encoding = data.decode("latin-1"), "latin-1"
    try:
        expected = MT940(text, "gvc")
    except ValueError as error:
        with pytest.raises(ValueError) as raised:
            MT940.from_bytes(data, strict=True, encoding=encoding, resolver="gvc")
        assert raised.value.args == error.args
        return
    strict = MT940.from_bytes(data, strict=True, encoding=encoding, resolver="gvc")
    assert (strict.to_json(), strict.resolver_used, strict.diagnostics) == (expected.to_json(), "gvc", [])
    assert list(map(transaction_values, strict.transactions)) == list(map(transaction_values, expected.transactions))


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
    names = ["reference", "related_reference", "account", "number", "currency", "information", "difference",
             "balanced", "follows_previous", "complete"]
    assert [{n: getattr(s, n) for n in names} for s in full.statements] == [
        dict(zip(names, values)) for values in [
            ("STMT-1", "REL-9", "NL92NRDK0417552093", "00062/1", "EUR", "owner information", Decimal("0.00"),
             True, None, True),
            ("STMT-2", None, "NL92NRDK0417552093", "00063", "EUR", None, Decimal("0.00"), True, False, True)]]
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

    credit, reversal = first.transactions
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
    for doc in [full, wrapped, *map(MT940.from_file, EXAMPLE_FILES)]:
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
    # Cut off before its closing balance: kept, with nothing invented for what is missing.
    (cut,) = MT940.from_bytes(FULL.split(b":62F:")[0]).statements
    assert repr(cut) == "<Statement 00062/1 NL92NRDK0417552093 EUR -100.00 \u2192 ? incomplete, 2 transactions>"
    assert (cut.complete, cut.closing_balance, cut.difference, cut.balanced) == (False, None, None, None)
    assert repr(first.opening_balance) == "<Balance D 2024-03-01 EUR 100.00, intermediate>"
    assert repr(first.closing_balance) == "<Balance C 2024-03-31 EUR 1150.50>"
    (note, *_) = MT940.from_bytes(b"{4:\n" + FULL + b"-}").diagnostics
    assert repr(note) == f"<Diagnostic line {note.line} {note.severity}: {note.message}>"


def test_objects_are_kept_and_outlive_their_document():
    doc = MT940.from_bytes(FULL)
    assert doc.statements is doc.statements and doc.statements[0].transactions is doc.statements[0].transactions
    assert doc.diagnostics is not doc.diagnostics  # a new list, as transactions is
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

SAMPLE = EXAMPLES / "german-gvc.sta"


def read_open_file(path, mode="rb", read=MT940.from_file):
    with open(path, mode) as file:
        return read(file)


INPUTS = {
    "bytearray": lambda: MT940.from_bytes(bytearray(SAMPLE.read_bytes())),
    "memoryview": lambda: MT940.from_bytes(memoryview(SAMPLE.read_bytes())),
    "memoryview-slice": lambda: MT940.from_bytes(memoryview(b"xx" + SAMPLE.read_bytes())[2:]),
    "keyword": lambda: MT940.from_bytes(data=SAMPLE.read_bytes()),
    "str-path": lambda: MT940.from_file(str(SAMPLE)),
    "Path": lambda: MT940.from_file(SAMPLE),
    "bytes-path": lambda: MT940.from_file(bytes(SAMPLE)),
    "keyword-path": lambda: MT940.from_file(path=SAMPLE),
    "binary-file": lambda: read_open_file(SAMPLE),
    "BytesIO": lambda: MT940.from_file(io.BytesIO(SAMPLE.read_bytes())),
}


@pytest.mark.parametrize("read", INPUTS.values(), ids=INPUTS)
def test_every_kind_of_input_reads_alike(read):
    assert read().to_json() == MT940.from_bytes(SAMPLE.read_bytes()).to_json()


WRONG_TYPES = {
    "str": (lambda: MT940.from_bytes(SAMPLE.read_text()), r"'data' must be a bytes-like object, not 'str' \(a str is read with MT940\(text\)\)"),
    "text-file": (lambda: read_open_file(SAMPLE, "r", MT940.from_bytes), r"'data' must be a bytes-like object, not 'TextIOWrapper'"),
    "StringIO": (lambda: MT940.from_bytes(io.StringIO("text")), r"'data' must be a bytes-like object, not 'StringIO'"),
    "None": (lambda: MT940.from_bytes(None), r"'data' must be a bytes-like object, not 'NoneType'"),
    "text-file-to-from_file": (lambda: MT940.from_file(io.StringIO("text")), r"binary mode \('rb'\): read\(\) returned str"),
    "int-path": (lambda: MT940.from_file(5), r"expected str, bytes or os.PathLike object"),
    "encoding-type": (lambda: MT940.from_bytes(b"", encoding=1), r"'encoding' must be str or None, not 'int'"),
    "resolver-type": (lambda: MT940.from_bytes(b"", resolver=b"auto"), r"'resolver' must be str or None, not 'bytes'"),
    "encoding-by-position": (lambda: MT940.from_bytes(b"", "latin-1"), r"positional argument"),
}


@pytest.mark.parametrize("call, message", WRONG_TYPES.values(), ids=WRONG_TYPES)
def test_wrong_input_types_raise_type_error(call, message):
    with pytest.raises(TypeError, match=message):
        call()


# Which errors are tallyfold.ParseError with their line, and which ("option") are about
# the arguments. The texts are the core's; the hint how to name an encoding is ours.
@pytest.mark.parametrize(
    "data, options, message, line",
    [
        (b":20:A\n:25:B\n\xff\xfe", {"encoding": "utf-8"}, "line 3: not valid utf-8 at byte 12", 3),
        (b"hello\nworld\n", {}, "Input contains no MT940 data", None),
        (b"\n".join([b":20:A"] * 3) + b"\n:25:\xff", {"strict": True}, "line 4: not valid UTF-8 (byte 22); name its encoding, for example encoding=\"latin-1\"", 4),
        (FULL, {"resolver": "AUTO", "strict": True}, "unknown resolver 'AUTO' (auto, swift, gvc, angular)", "option"),
        (FULL, {"encoding": "no-such-charset"}, "unknown encoding 'no-such-charset'", "option"),
        # The exact reading's message stays as MT940(text) gives it; the line is beside it.
        (b":20:A\n:25:B\n:28C:1\n:60F:X230101EUR1,00\n", {"strict": True}, "Invalid format in tag balance: 'X230101EUR1,00': invalid D/C mark", 4),
    ],
    ids=["not-in-encoding", "no-statement", "strict-not-utf8", "unknown-resolver", "unknown-encoding",
         "strict-parse-error"],
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
