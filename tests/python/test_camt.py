"""MT940.to_camt and the interim-report attributes of Statement: the Python boundary only
(the mapping and the schema checks are tested in C++)."""

import datetime
import re
import warnings
from decimal import Decimal
from xml.etree import ElementTree

import pytest

from conftest import data_files, shared_dir, statement
from tallyfold import MT940

REPORT = (
    b":20:REP1\n:25:NL69INGB0123456789\n:28C:7/1\n:34F:EURD100,00\n:34F:EURC200,\n"
    b":13D:2401021530+0100\n:61:2401020102D10,00NTRFNONREF\n:86:first\n"
    b":90D:1EUR10,00\n:90C:0EUR0,\n"
)
NS = "urn:iso:std:iso:20022:tech:xsd:camt.{}.001.{}"


def namespace(xml):
    return ElementTree.fromstring(xml.encode()).tag.split("}")[0][1:]


@pytest.mark.parametrize("version", ["02", "06", "08"])
def test_to_camt_versions(version):
    doc = MT940(statement())
    assert namespace(doc.to_camt(version=version, created=0)) == NS.format("053", version)
    assert namespace(doc.to_camt(created=0)) == NS.format("053", "08")


@pytest.mark.parametrize(
    "created",
    [
        datetime.datetime(2026, 1, 31, 12, 0),  # naive: UTC
        datetime.datetime(2026, 1, 31, 13, 0, tzinfo=datetime.timezone(datetime.timedelta(hours=1))),
        "2026-01-31T12:00:00Z",
        1769860800,
    ],
)
def test_to_camt_created(created):
    xml = MT940(statement()).to_camt(created=created)
    assert "<CreDtTm>2026-01-31T12:00:00Z</CreDtTm>" in xml


def test_to_camt_reproducible_from_source_date_epoch(monkeypatch):
    doc = MT940(statement())
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1769860800")
    assert doc.to_camt() == doc.to_camt(created=1769860800)


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
    assert report.kind == "interim_report"
    assert report.floor_limits == (("D", "EUR", Decimal("100.00")), ("C", "EUR", Decimal("200")))
    assert report.reported_at == datetime.datetime(
        2024, 1, 2, 15, 30, tzinfo=datetime.timezone(datetime.timedelta(hours=1))
    )
    assert report.reported_at.utcoffset() == datetime.timedelta(hours=1)
    assert report.debit_total == (1, Decimal("10.00")) and report.credit_total == (0, Decimal("0"))
    assert report.currency == "EUR"
    assert (report.opening_balance, report.closing_balance, report.difference, report.balanced) == (None,) * 4
    for attribute in ["opening_balance", "closing_balance"]:
        with pytest.raises(ValueError, match="an interim report \\(MT942\\) has no balances"):
            getattr(doc, attribute)
    with pytest.raises(ValueError, match="an interim report \\(MT942\\) has no balances"):
        doc.to_camt053()
    assert namespace(doc.to_camt(created=0)) == NS.format("052", "08")
    assert MT940(statement()).statements[0].kind == "statement"


def test_mixed_kinds_refused():
    doc = MT940.from_bytes(REPORT + statement().encode())
    with pytest.raises(ValueError, match="mixes MT940 statements and MT942 interim reports"):
        doc.to_camt()


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


# The camt of every corpus file read back by a parser of its own, against the rules an
# importer relies on.
lxml_etree = pytest.importorskip("lxml.etree")
CORPUS = shared_dir("corpus")


def one_line(text):
    return re.sub(r"[\t\r\n]", " ", text).strip().replace("\ufffd", "?")


def split_at_blanks(pieces, purpose):
    """Whether `pieces` are `purpose` cut at blanks that were left out, or inside a word
    only where that word is longer than 140 characters."""
    rest = purpose
    for piece in pieces:
        if not rest.startswith(piece):
            return False
        rest = rest[len(piece):]
        if rest.startswith(" "):
            rest = rest[1:]
        elif rest and len(piece.rsplit(" ", 1)[-1] + rest.split(" ", 1)[0]) <= 140:
            return False
    return rest == ""


@pytest.mark.shared("corpus")
@pytest.mark.parametrize("version", ["02", "08"])
def test_corpus_camt_reads_back(version):
    checked = 0
    for path in data_files(CORPUS):
        try:
            doc = MT940.from_file(path)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                xml = doc.to_camt(version=version, created=0)
                later = doc.to_camt(version=version, created=86400 * 365)
        except ValueError:
            continue  # unreadable, or nothing camt can hold: the C++ tests cover why
        checked += 1
        root = lxml_etree.fromstring(xml.encode())
        ns = {"c": root.nsmap[None]}
        find = lambda element, path: element.xpath(path, namespaces=ns)  # noqa: E731
        where = str(path.relative_to(CORPUS))

        assert find(root, "//c:GrpHdr/c:MsgId/text()") == find(lxml_etree.fromstring(later.encode()),
                                                               "//c:GrpHdr/c:MsgId/text()"), where
        ids = find(root, "//c:Stmt/c:Id/text() | //c:Rpt/c:Id/text()")
        assert len(ids) == len(set(ids)) and all(len(i) <= 35 for i in ids), where

        for account in find(root, "//c:Acct/c:Id/c:IBAN/text() | //c:Acct/c:Id/c:Othr/c:Id/text()"):
            assert "/" not in account, (where, account)
            assert not re.search(r"[0-9][A-Z]{3}$", account) or re.fullmatch(r"[A-Z]{2}[0-9]{2}[A-Z0-9]+", account), (
                where, account)

        transactions = [t for s in doc.statements for t in s.transactions]
        bank_given = {t.end_to_end_reference.strip()[:35].strip() for t in transactions}
        purposes = {one_line(t.purpose) for t in transactions}
        for entry in find(root, "//c:Ntry"):
            assert find(entry, "c:BkTxCd/c:Domn/c:Fmly/c:SubFmlyCd"), where
            for end_to_end in find(entry, ".//c:Refs/c:EndToEndId/text()"):
                assert end_to_end in bank_given, (where, end_to_end)
            pieces = find(entry, ".//c:RmtInf/c:Ustrd/text()")
            if pieces:
                assert any(split_at_blanks(pieces, p) for p in purposes), (where, pieces)
        for amount in find(root, "//c:Amt[@Ccy='JPY']/text()"):
            assert "." not in amount, (where, amount)
    assert checked > 0
