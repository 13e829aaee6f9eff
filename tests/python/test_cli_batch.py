"""The command over many inputs: one merged output, one output per input, folders
walked, inputs never overwritten; and the CSV cells a spreadsheet reads."""

import csv
import io
import json
import re

import pytest

from tallyfold import MT940
from conftest import data_files, shared_dir
from test_cli import run, statement

CORPUS = shared_dir("corpus")
TEXT_COLUMNS = {
    "Statement", "Account", "Currency", "Type", "Reference", "BankRef", "Counterparty",
    "CounterIBAN", "Purpose", "CounterAccount", "CounterpartyBIC", "EndToEndReference",
    "MandateReference", "CreditorId",
}


def csv_rows(data, crlf=False):
    text = data.decode("utf-8")
    assert text.startswith("\ufeff") and text.endswith("\r\n" if crlf else "\n")
    if crlf:
        assert text.count("\n") == text.count("\r\n")
    return list(csv.DictReader(io.StringIO(text[1:], newline="")))


@pytest.mark.shared("corpus")
def test_whole_corpus_into_one_csv_file(tmp_path):
    result = run("convert", CORPUS, "--to", "csv", "-o", "all.csv", "--quiet", cwd=tmp_path)
    assert (tmp_path / "all.csv").is_file()
    data = (tmp_path / "all.csv").read_bytes()
    rows = csv_rows(data)
    assert data.count(b"Statement,Account,") == 1

    expected = refused = 0
    for path in data_files(CORPUS):
        try:
            expected += sum(len(s.transactions) for s in MT940.from_file(path).statements)
        except ValueError:
            refused += 1
    assert len(rows) == expected > 500
    assert (result.returncode == 2) == (refused > 0), result.stderr

    # Every cell as a spreadsheet would take it: no formula, no padding, ids of the form
    # promised, one id per transaction of a statement.
    for row in rows:
        for column in TEXT_COLUMNS:
            cell = row[column]
            assert cell == cell.strip(), (column, row)
            assert not re.match(r"[=+\-@\t\r]", cell), (column, row)
        assert re.fullmatch(r"[0-9a-f]{32}", row["TransactionId"])
        assert row["StatementComplete"] in ("Y", "N")
    summary = result.stderr.decode().splitlines()
    failed = [line for line in summary if line.startswith("tallyfold:   failed: ")]
    assert len(failed) == refused
    assert summary[-len(failed) - 1].startswith("tallyfold: converted ")
    assert summary[-len(failed) - 1].endswith(f", {refused} failed")


def test_folders_keep_their_paths_below_the_output_folder(tmp_path):
    first, second = statement("A"), statement("B", opening="C240102EUR90,00", closing="C240103EUR80,00")
    for folder, text in (("a", first), ("b", second)):
        (tmp_path / "in" / folder).mkdir(parents=True)
        (tmp_path / "in" / folder / "x.sta").write_text(text)
    (tmp_path / "in" / "notes.txt").write_text("not a statement\n")

    result = run("convert", "in", "--to", "ndjson", "-o", "out/", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    out = tmp_path / "out"
    assert sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file()) == ["a/x.ndjson", "b/x.ndjson"]
    assert [json.loads(line)["transactionReference"] for line in (out / "b" / "x.ndjson").read_text().splitlines()] == ["B"]
    assert result.stderr.decode().splitlines() == [
        "tallyfold: in/notes.txt: note: not a statement file, skipped",
        "tallyfold: converted 2 of 2 files (0 with something left out), 0 failed",
    ]
    # Named on the command line, the same file is an error.
    named = run("convert", "in/notes.txt", "--to", "json", cwd=tmp_path)
    assert named.returncode == 2 and b"Input contains no MT940 data" in named.stderr


def test_several_inputs_into_one_file_or_one_camt_document(tmp_path):
    (tmp_path / "a.sta").write_text(statement("A"))
    (tmp_path / "b.sta").write_text(statement("B"))
    (tmp_path / "r.sta").write_text(
        ":20:R\n:25:NL92NRDK0417552093\n:28C:1/1\n:34F:EUR0,00\n:13D:2401021530+0100\n"
        ":61:2401020102D10,00NTRFNONREF\n:86:x\n:90D:1EUR10,00\n:90C:0EUR0,00\n"
    )
    merged = run("convert", "a.sta", "b.sta", "--to", "Json", "-o", "out", cwd=tmp_path)
    assert merged.returncode == 0, merged.stderr
    assert [s["transactionReference"] for s in json.loads((tmp_path / "out").read_text())] == ["A", "B"]

    mixed = run("convert", "a.sta", "r.sta", "--to", "camt", "-o", "all.xml", cwd=tmp_path)
    assert mixed.returncode == 2 and not (tmp_path / "all.xml").exists()
    assert mixed.stderr.decode().endswith("use -o DIR/ for one document per input\n")

    # The kind decides between camt.053 and camt.052, whichever name was asked for.
    split = run("convert", "a.sta", "r.sta", "--to", "CAMT053", "-o", "camt/", "--created", "@0", cwd=tmp_path)
    assert split.returncode == 0, split.stderr
    assert "camt.053.001.08" in (tmp_path / "camt" / "a.xml").read_text()
    assert "camt.052.001.08" in (tmp_path / "camt" / "r.xml").read_text()
    assert "tallyfold: r.sta: note: interim reports are written as camt.052" in split.stderr.decode()


@pytest.mark.parametrize("output", ["a.sta", "link.json", "./"])
def test_an_input_is_never_overwritten(tmp_path, output):
    text = statement("A")
    (tmp_path / "a.sta").write_text(text)
    (tmp_path / "link.json").symlink_to("a.sta")
    result = run("convert", "a.sta", "--to", "json", "-o", output, cwd=tmp_path)
    if output == "./":
        # A folder holding the input is fine: the output gets its own name.
        assert result.returncode == 0 and (tmp_path / "a.json").is_file()
    else:
        assert result.returncode == 2
        assert result.stderr.decode() == f"tallyfold: {output}: is one of the inputs; nothing was written\n"
    assert (tmp_path / "a.sta").read_text() == text


def test_spreadsheet_cells(tmp_path):
    details = [
        '=HYPERLINK("http://example.com","x")',
        "+31 6 1234 5678",
        "-minus",
        "@SUM(A1)",
        "  padded text  ",
        "plain, with comma",
    ]
    lines = "".join(f":61:2401020102D1,00NTRFREF{i}\n:86:{text}\n" for i, text in enumerate(details))
    (tmp_path / "f.sta").write_text(
        ":20:X\n:25:NL92NRDK0417552093\n:28C:00001\n:60F:C240101EUR100,00\n" + lines + ":62F:C240102EUR94,00\n"
    )
    result = run("convert", "f.sta", "--to", "csv", "--csv-dialect", "excel", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    rows = csv_rows(result.stdout, crlf=True)
    assert [row["Purpose"] for row in rows] == [
        '\'=HYPERLINK("http://example.com","x")',
        "'+31 6 1234 5678",
        "'-minus",
        "'@SUM(A1)",
        "padded text",
        "plain, with comma",
    ]
    assert [row["Amount"] for row in rows] == ["-1.00"] * 6  # numbers stay numbers
    assert rows[0]["Statement"] == "00001"
    assert len({row["TransactionId"] for row in rows}) == 6
