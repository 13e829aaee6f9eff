"""to_mt940 and --to mt940: the Python and command-line surface of the MT940 writer."""

import warnings

import pytest

from conftest import run, statement
from tallyfold import MT940
from test_camt_reading import NOTIFICATION


def test_to_mt940_reads_back_and_ends_lines_as_asked(two_statements):
    doc = MT940(two_statements)
    crlf = doc.to_mt940()
    assert crlf.startswith(":20:STMT-A\r\n:25:ACCOUNT-A\r\n:28C:1/1\r\n:60F:C230131EUR1000,00\r\n")
    lf = doc.to_mt940(line_ending="\n")
    assert lf == crlf.replace("\r\n", "\n")
    assert [t.amount for t in MT940(lf).transactions] == [t.amount for t in doc.transactions]


def test_to_mt940_leaves_out_with_a_warning_and_refuses_when_nothing_is_left():
    good = statement(reference="GOOD")
    bad = statement(reference="BAD", number="X/1")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        text = MT940(good + bad).to_mt940()
    assert ":20:GOOD" in text and ":20:BAD" not in text
    assert [str(w.message) for w in caught] == [
        "statement 'BAD' left out of the MT940 text: its statement number 'X' is not a number"
    ]
    with pytest.raises(ValueError, match="nothing can be written as MT940"):
        MT940(bad).to_mt940()
    with pytest.raises(ValueError, match="line_ending"):
        MT940(good).to_mt940(line_ending="\r")


def test_camt_converts_to_mt940_with_the_same_values(tmp_path, two_statements):
    # The same statements through camt and back to MT940: the command reads the XML by its
    # content and writes what the bank-file reading gives back as before.
    doc = MT940(two_statements)
    xml = tmp_path / "statements.xml"
    xml.write_text(doc.to_camt(created="2024-02-01T00:00:00Z"), encoding="utf-8")
    result = run("convert", xml, "--to", "mt940", "--line-ending", "lf")
    assert result.returncode == 0, result.stderr
    again = MT940(result.stdout.decode())
    assert [(s.reference, s.opening_balance, s.closing_balance) for s in again.statements] == [
        (s.reference, s.opening_balance, s.closing_balance) for s in doc.statements
    ]
    assert [(t.amount, t.value_date, t.bank_reference) for t in again.transactions] == [
        (t.amount, t.value_date, t.bank_reference) for t in doc.transactions
    ]


def test_a_camt_054_notification_is_refused():
    with pytest.raises(ValueError, match="camt.054 notification cannot be written as MT940"):
        MT940.from_bytes(NOTIFICATION).to_mt940()
