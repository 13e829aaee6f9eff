"""MT940.to_camt and the interim-report attributes of Statement: the Python boundary only
(the mapping and the schema checks are tested in C++)."""

import datetime
import warnings
from decimal import Decimal
from xml.etree import ElementTree

import pytest

from conftest import statement
from tallyfold import MT940

REPORT = (
    b":20:REP1\n:25:NL69INGB0123456789\n:28C:7/1\n:34F:EURD100,00\n:34F:EURC200,\n"
    b":13D:2401021530+0100\n:61:2401020102D10,00NTRFNONREF\n:86:first\n"
    b":90D:1EUR10,00\n:90C:0EUR0,\n"
)
NS = "urn:iso:std:iso:20022:tech:xsd:camt.{}.001.{}"


def namespace(xml):
    return ElementTree.fromstring(xml.encode()).tag.split("}")[0][1:]


def test_to_camt_version():
    doc = MT940(statement())
    assert namespace(doc.to_camt(version="02", created=0)) == NS.format("053", "02")
    assert namespace(doc.to_camt(created=0)) == NS.format("053", "08")


# SOURCE_DATE_EPOCH stands in for `created`, so that a build can be repeated byte for byte.
@pytest.mark.parametrize("created", [
    datetime.datetime(2026, 1, 31, 12, 0),  # naive: UTC
    datetime.datetime(2026, 1, 31, 13, 0, tzinfo=datetime.timezone(datetime.timedelta(hours=1))),
    "2026-01-31T12:00:00Z", 1769860800, None,
])
def test_to_camt_created(created, monkeypatch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1769860800")
    xml = MT940(statement()).to_camt(**({} if created is None else {"created": created}))
    assert "<CreDtTm>2026-01-31T12:00:00Z</CreDtTm>" in xml


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"version": "07"}, ValueError, "version must be"),
        ({"entry_status": "noted"}, ValueError, "entry_status must be"),
        ({"split_accounts": True, "version": "9"}, ValueError, "version must be"),
        ({"created": "tomorrow"}, ValueError, "created: not a time"),
        ({"created": 1.5}, TypeError, "created must be"),
        ({"version": 8}, TypeError, None),
    ],
)
def test_to_camt_argument_errors(kwargs, error, text):
    with pytest.raises(error, match=text):
        MT940(statement()).to_camt(**kwargs)


def test_statement_left_out_warns():
    bad = statement(reference="BAD", opening="C230131EUR1,123456", closing="C230131EUR1,123456")
    with pytest.warns(UserWarning, match="statement 'BAD' left out"):
        xml = MT940(bad + statement()).to_camt(created=0)
    assert "<Id>BAD</Id>" not in xml
    with warnings.catch_warnings(), pytest.raises(ValueError, match="nothing can be written"):
        warnings.simplefilter("ignore")
        MT940(bad).to_camt(created=0)


def test_interim_report_attributes():
    doc = MT940.from_bytes(REPORT)
    report = doc.statements[0]
    assert repr(report) == "<Statement 7/1 NL69INGB0123456789 EUR interim report, 1 transaction>"
    assert report.kind == "interim_report"
    assert report.floor_limits == (("D", "EUR", Decimal("100.00")), ("C", "EUR", Decimal("200")))
    assert report.reported_at == datetime.datetime(
        2024, 1, 2, 15, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=1))
    )
    assert report.reported_at.utcoffset() == datetime.timedelta(hours=1)
    assert report.debit_total == (1, Decimal("10.00")) and report.credit_total == (0, Decimal("0"))
    assert report.currency == "EUR"
    assert (report.opening_balance, report.closing_balance, report.available_balance, report.difference,
            report.balanced, report.follows_previous, report.forward_balances) == (None,) * 6 + ((),)
    for attribute in ["opening_balance", "closing_balance"]:
        with pytest.raises(ValueError, match="an interim report \\(MT942\\) has no balances"):
            getattr(doc, attribute)
    with pytest.raises(ValueError, match="an interim report \\(MT942\\) has no balances"):
        doc.to_camt053()
    assert namespace(doc.to_camt(created=0)) == NS.format("052", "08")
    assert MT940(statement()).statements[0].kind == "statement"


def test_split_accounts_gives_one_document_per_account():
    doc = MT940(statement(reference="A") + statement(reference="B", account="NL69INGB0123456789") + statement())
    documents = doc.to_camt(created=0, split_accounts=True)
    assert list(documents) == ["DE89370400440532013000", "NL69INGB0123456789"]
    assert documents["DE89370400440532013000"].count("<Stmt>") == 2
    assert "<IBAN>NL69INGB0123456789</IBAN>" in documents["NL69INGB0123456789"]


def test_entry_status_reaches_the_writer():
    report = MT940.from_bytes(REPORT)
    assert "<Cd>PDNG</Cd>" in report.to_camt(created=0, entry_status="pending")
    assert "<Cd>BOOK</Cd>" in report.to_camt(created=0)
