"""camt documents through the Python surface and the command: what each exposes of
the camt reading (the mapping itself is tested in the core)."""

import json
import pytest

import tallyfold
from conftest import run

NOTIFICATION = b"""<?xml version="1.0" encoding="UTF-8"?>
<Document xmlns="urn:iso:std:iso:20022:tech:xsd:camt.054.001.04">
<BkToCstmrDbtCdtNtfctn><GrpHdr><MsgId>M1</MsgId><CreDtTm>2024-02-01T08:00:00+01:00</CreDtTm></GrpHdr>
<Ntfctn><Id>N1</Id><CreDtTm>2024-02-01T08:00:00+01:00</CreDtTm>
<Acct><Id><IBAN>CH9300762011623852957</IBAN></Id><Ccy>CHF</Ccy></Acct>
<Ntry><Amt Ccy="CHF">30.00</Amt><CdtDbtInd>CRDT</CdtDbtInd><Sts>BOOK</Sts>
<BookgDt><Dt>2024-01-31</Dt></BookgDt><ValDt><Dt>2024-01-31</Dt></ValDt>
<NtryDtls>
<TxDtls><Amt Ccy="CHF">10.00</Amt><RltdPties><Dbtr><Nm>First</Nm></Dbtr></RltdPties></TxDtls>
<TxDtls><Amt Ccy="CHF">20.00</Amt><RltdPties><Dbtr><Nm>Second</Nm></Dbtr></RltdPties></TxDtls>
</NtryDtls></Ntry></Ntfctn></BkToCstmrDbtCdtNtfctn></Document>
"""

def test_a_notification_reads_with_its_payments_in_order():
    doc = tallyfold.MT940.from_bytes(NOTIFICATION)
    assert doc.source_format == "camt.054.001.04"
    (notification,) = doc.statements
    assert notification.kind == "notification"
    assert notification.complete is True
    assert (notification.opening_balance, notification.balanced) == (None, None)
    (entry,) = notification.transactions
    assert entry.transaction_details == (
        {"Amt": "10.00", "Amt@Ccy": "CHF", "CNTP/NAME": "First"},
        {"Amt": "20.00", "Amt@Ccy": "CHF", "CNTP/NAME": "Second"},
    )
    assert notification.source_details["GrpHdr/MsgId"] == "M1"
    with pytest.raises(ValueError, match="camt.054"):
        doc.to_camt()


@pytest.mark.parametrize(
    ("data", "source_format"),
    [
        (b":20:R\n:25:A\n:28C:1\n:60F:C240101EUR1,00\n:62F:C240101EUR1,00\n", "MT940"),
        (NOTIFICATION.replace(b"camt.054.001.04", b"camt.054"), "camt.054"),
    ],
)
def test_source_format_names_what_was_read(data, source_format):
    assert tallyfold.MT940.from_bytes(data).source_format == source_format


def test_the_command_tells_camt_by_its_content(tmp_path):
    # Named like an MT file: the content decides.
    path = tmp_path / "notification.sta"
    path.write_bytes(NOTIFICATION)
    converted = run("convert", path, "--to", "json")
    assert converted.returncode == 0, converted.stderr
    (statement,) = json.loads(converted.stdout)
    assert statement["kind"] == "notification"
    checked = run("check", path)
    assert checked.returncode == 0, checked.stderr
    assert b"N1, account CH9300762011623852957, notification of 2024-02-01, 1 transaction: no balances" in checked.stdout
