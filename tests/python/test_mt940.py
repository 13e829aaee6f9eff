"""The module and the MT940 class at the Python boundary: binding, conversion, errors."""

import importlib.metadata
import inspect
import math
import subprocess
import sys
import threading
import time

import pytest

import tallyfold
from conftest import statement
from tallyfold import MT940

TEXT = statement(lines=[("230131C1,00NTRFREF", "details")])


def test_module_surface():
    assert (tallyfold.__doc__, tallyfold.__all__) == ("", ["MT940", "Transaction"])
    for cls, name in [(tallyfold.MT940, "MT940"), (tallyfold.Transaction, "Transaction")]:
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert str(inspect.signature(MT940)) == "(text, resolver=None)"
    assert MT940.__doc__.startswith("A parsed MT940 bank statement.\n\nConstructed from raw")
    # The other classes are importable attributes, outside __all__.
    for name in ["Statement", "Balance", "Diagnostic", "StatementsTable", "TransactionDetailsTable", "ParseError",
                 "InternalFailure"]:
        assert isinstance(getattr(tallyfold, name), type)
    for cls in (tallyfold.Statement, tallyfold.Balance, tallyfold.Diagnostic):
        assert cls.__module__ == "tallyfold"
    assert issubclass(tallyfold.ParseError, ValueError) and tallyfold.ParseError("x").line is None
    # A broken invariant is no error of the input: handlers for Exception pass it on.
    assert not issubclass(tallyfold.InternalFailure, Exception)


def test_version_is_the_distributions():
    assert tallyfold.__version__ == importlib.metadata.version("tallyfold")


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("tallyfold")
    try:
        import tallyfold as again

        assert again is first
    finally:
        sys.modules["tallyfold"] = first


def test_sub_interpreter_import_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp")
    code = """import _testcapi, tallyfold
print(_testcapi.run_in_subinterp("try:\\n import tallyfold\\nexcept ImportError as e:\\n print('refused:', e)"))"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "refused: tallyfold does not support sub-interpreters" in out.stdout


# The binder's own messages follow "MT940.__new__() "; a conversion's name the argument.
@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "MT940.__new__() missing 1 required positional argument: 'text'"),
    ((), {"resolver": "auto"}, "MT940.__new__() missing 1 required positional argument: 'text'"),
    ((TEXT, None, None), {}, "MT940.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ((TEXT,), {"text": TEXT}, "MT940.__new__() got multiple values for argument 'text'"),
    ((TEXT, None), {"resolver": None}, "MT940.__new__() got multiple values for argument 'resolver'"),
    ((TEXT,), {"x": 1}, "MT940.__new__() got an unexpected keyword argument 'x'"),
    ((TEXT,), {"Text": TEXT}, "MT940.__new__() got an unexpected keyword argument 'Text'"),
    ((b":20:X",), {}, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    ((None,), {}, "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
    ((TEXT, 5), {}, "argument 'resolver': 'int' object cannot be converted to 'PyString'"),
])
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        MT940(*args, **kwargs)
    assert str(caught.value) == message


def test_keywords_bind_like_positions_and_str_subclasses_are_accepted():
    class Text(str):
        pass

    by_position = MT940(Text(TEXT), "gvc")
    by_keyword = MT940(resolver="gvc", text=TEXT)
    for m in (by_position, by_keyword):
        assert (m.account, m.resolver_used, len(m)) == ("DE89370400440532013000", "gvc", 1)


@pytest.mark.parametrize(
    "kwargs, reported",
    [({}, "auto"), ({"resolver": None}, "auto"), ({"resolver": ""}, ""), ({"resolver": "\u00e4\x00z"}, "\u00e4\x00z")],
)
def test_resolver_is_reported_as_passed(kwargs, reported):
    assert MT940(TEXT, **kwargs).resolver_used == reported


def test_resolver_selects_the_decoder_chain_by_its_whole_name():
    text = statement(lines=[("230131C1,00NTRFREF", "/EREF/E-1/REMI/Invoice 7")])
    details = {r: MT940(text, r).transactions[0].structured_details for r in ("swift", "gvc", "gvc\x00")}
    # NUL and all: no chain is called "gvc\x00", so the default one reads it.
    assert details["gvc"] == {"detail": "/EREF/E-1/REMI/Invoice 7"} != details["swift"] == details["gvc\x00"]


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "Input contains no MT940 data"),
        (statement(opening="C\x00301"), "Invalid format in tag balance: 'C\x00301': too short"),
        # The six date bytes end inside the two-byte character.
        (statement(opening="C23011\u00e4EUR1,00"), "Invalid date '23011\u00e4' in tag (date field)"),
    ],
    ids=["empty", "nul-in-message", "cut-inside-a-character"],
)
def test_parse_errors_are_value_errors_with_the_message(text, message):
    with pytest.raises(ValueError) as caught:
        MT940(text)
    assert caught.value.args == (message,)
    assert type(caught.value) is ValueError


@pytest.mark.parametrize(
    "prefix, statements",
    [("\ufeff", 2), ("", 2), ("\ufeff\ufeff", 1), ("\n\ufeff", 1)],
    ids=["one-mark", "none", "second-mark-is-text", "mark-after-start"],
)
def test_byte_order_mark_at_the_very_start_is_ignored(two_statements, prefix, statements):
    # Only the mark at the very start is the file's; any other is text and hides its tag.
    doc = MT940(prefix + two_statements)
    assert len(doc.statements) == statements
    if statements == 2:
        assert doc.to_json() == MT940(two_statements).to_json()


def test_attributes_describe_the_first_statement(two_statements):
    m = MT940(two_statements)
    values = (m.account, m.currency, m.opening_balance, m.closing_balance, len(m), bool(m))
    assert values == ("ACCOUNT-A", "EUR", 1000.0, 1500.0, 2, True)
    assert len(m.transactions) == len(m)
    assert [type(v) for v in values] == [str, str, float, float, int, bool]
    empty = MT940(statement())
    assert (len(empty), bool(empty), empty.transactions) == (0, False, [])


@pytest.mark.parametrize(
    "opening, closing, expected",
    [
        ("D230131EUR100,00", "C230131EUR1,50", (-100.0, 1.5)),
        ("C230131EUR0,00", "D230131EUR0,00", (0.0, -0.0)),
        ("C230131EUR0,1", "D230131EUR1234567,89", (0.1, -1234567.89)),
    ],
)
def test_balances_are_signed_by_their_mark(opening, closing, expected):
    m = MT940(statement(opening=opening, closing=closing))
    got = (m.opening_balance, m.closing_balance)
    assert got == expected
    assert [math.copysign(1, v) for v in got] == [math.copysign(1, v) for v in expected]


def test_no_references_leak_around_a_call():
    # Fresh objects that only this test holds.
    text, bad, resolver = TEXT + "\n", TEXT.replace(":62F:", ":99:"), "resolver-" + str(id(TEXT))
    before = [sys.getrefcount(o) for o in (text, bad, resolver)]
    for _ in range(3):
        MT940(text, resolver)
        with pytest.raises(ValueError):
            MT940(bad, resolver)
    assert [sys.getrefcount(o) for o in (text, bad, resolver)] == before


def test_other_threads_run_while_a_large_text_is_parsed():
    # Without releasing the interpreter lock, the ticker could only run just before the
    # call starts or just after it ends, never in its middle half.
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    transactions = 20_000
    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        while True:
            text = statement(lines=[("230131C1,00NTRFREF//BANK", "/EREF/E-1/REMI/some longer purpose " * 3)] * transactions)
            start = time.perf_counter()
            MT940(text)
            end = time.perf_counter()
            if end - start >= 0.2 or transactions >= 640_000:
                break
            transactions *= 2
    finally:
        stop.set()
        thread.join()
    quarter = (end - start) / 4
    inside = [t for t in ticks if start + quarter < t < end - quarter]
    assert len(inside) >= 3, (end - start, len(inside))
