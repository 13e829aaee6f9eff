"""The installed `tallyfold` command, run as a user would run it: options, exit status,
standard output and error, and many inputs at once (one merged output, one output per
input, folders walked, inputs never overwritten). What it writes is the core's to test;
here, that each choice reaches the core and each outcome reaches the user."""

import csv
import io
import json
import os
import re
import shlex
import subprocess
from xml.etree import ElementTree

import pytest

import conftest
from tallyfold import MT940
from conftest import EXAMPLE_FILES as EXAMPLES, command, data_files, run, shared_dir

FORMATS = {"json": "to_json", "csv": "to_csv", "camt053": "to_camt053"}


def statement(ref, opening="C240101EUR100,00", closing="C240102EUR90,00"):
    return conftest.statement(ref, "NL92NRDK0417552093", opening, closing,
                              [("2401020102D10,00NTRFNONREF", "/EREF/E1/REMI/Coffee")])


def test_delivered_files_are_unwrapped_unless_strict(tmp_path):
    # How framing is taken away is the core's to test; the command reads bank files by
    # default and refuses them whole with --strict.
    path = tmp_path / "delivered.sta"
    path.write_text("{1:F01NRDKNL2AXXXX0000000000}{2:O940NRDKNL2AXXXXN}{3:}{4:\n" + statement("A") + "-}{5:}\n")
    unwrapped = run("convert", path, "--to", "json")
    assert unwrapped.returncode == 0, unwrapped.stderr
    assert [s["closingBalance"] for s in json.loads(unwrapped.stdout)] == [90.0]
    strict = run("convert", path, "--to", "json", "--strict")
    assert strict.returncode == 2
    assert strict.stderr.decode().startswith(f"tallyfold: {path}: ")


def test_csv_dialect_and_safe_cells_are_passed_on(tmp_path):
    # The dialects' bytes and the safe cells are the core's to test: here, that the
    # choice arrives and that the bank-file reading asks for cells no spreadsheet runs.
    path = tmp_path / "f.sta"
    path.write_text(statement("A").replace("/REMI/Coffee", "/REMI/=SUM(A1)"))
    result = run("convert", path, "--to", "csv", "--csv-dialect", "excel-eu")
    assert result.returncode == 0, result.stderr
    header, row = result.stdout.decode().removeprefix("\ufeff").split("\r\n")[:2]
    assert header.startswith("Statement;Account;") and ";'=SUM(A1);-10,00;" in row


@pytest.mark.parametrize("fmt, suffix", [("json", ".json"), ("csv", ".csv"), ("camt053", ".xml")])
def test_files_into_a_directory_and_stdin_to_stdout_as_the_module_writes_them(tmp_path, fmt, suffix):
    out = tmp_path / "out"
    result = run("convert", *EXAMPLES, "--to", fmt, "-o", f"{out}/", "--jobs", "2", "--strict")
    assert result.returncode == 0, result.stderr
    n = len(EXAMPLES)
    assert result.stderr.decode() == f"tallyfold: converted {n} of {n} files (0 with something left out), 0 failed\n"
    assert sorted(p.name for p in out.iterdir()) == sorted(p.stem + suffix for p in EXAMPLES)
    for example in EXAMPLES:
        expected = getattr(MT940(example.read_text(encoding="utf-8")), FORMATS[fmt])()
        assert (out / (example.stem + suffix)).read_bytes().decode("utf-8") == expected
    # "-" is standard input and output, with nothing written beside them.
    piped = run("convert", "-", "--to", fmt, "-o", "-", "--strict", stdin=EXAMPLES[0].read_bytes(), cwd=out)
    assert (piped.returncode, piped.stderr, len(list(out.iterdir()))) == (0, b"", n)
    assert piped.stdout == (out / (EXAMPLES[0].stem + suffix)).read_bytes()


@pytest.mark.parametrize(
    "output, inputs, reason",
    [
        ("in-the-way/out/", 2, "cannot create directory: Not a directory"),
        ("/proc/tallyfold/out/", 2, "cannot create directory: No such file or directory"),
        ("in-the-way/out.json", 1, "Not a directory"),
    ],
)
def test_output_that_cannot_be_written(tmp_path, output, inputs, reason):
    # Root ignores permissions, so the causes come from a file in the way and from /proc.
    (tmp_path / "in-the-way").write_text("")
    result = run("convert", *EXAMPLES[:inputs], "--to", "json", "-o", output, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.decode() == f"tallyfold: {output}: {reason}\n"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_full_standard_output_is_reported():
    with open("/dev/full", "wb") as full:
        result = subprocess.run(
            [command(), "convert", EXAMPLES[0], "--to", "json", "-o", "-"],
            stdout=full, stderr=subprocess.PIPE, timeout=60,
        )
    assert result.returncode == 2
    assert result.stderr.decode() == "tallyfold: standard output: No space left on device\n"


def test_check_says_each_verdict_once_and_exits_with_the_worst(tmp_path):
    texts = {"balanced": statement("R1"), "unbalanced": statement("R2", closing="C240102EUR90,01"),
             "incomplete": statement("R3").replace(":62F:C240102EUR90,00\n", "")}
    for name, text in texts.items():
        (tmp_path / name).write_text(text)
    result = run("check", *texts, "-r", "gvc", cwd=tmp_path)
    assert result.returncode == 1
    said = "account NL92NRDK0417552093, statement 1/1, EUR, opening 2024-01-01 100.00, closing"
    assert result.stdout.decode().splitlines() == [
        f"balanced #1: R1, {said} 2024-01-02 90.00, 1 transaction: balanced",
        f"unbalanced #1: R2, {said} 2024-01-02 90.01, 1 transaction: NOT balanced (opening + transactions = 90.00, difference 0.01)",
        f"incomplete #1: R3, {said} none, 1 transaction: incomplete, NOT checked",
    ]
    # What the line shows is not said again on standard error.
    assert result.stderr.decode() == (
        "tallyfold: incomplete:1: warning: statement 'R3' kept incomplete: no closing balance (:62F:) before the text ends\n")


def test_latin1_is_detected_and_strict_needs_its_encoding(tmp_path):
    path = tmp_path / "latin1.sta"
    path.write_bytes(statement("L1").replace("Coffee", "Gr\u00fc\u00dfe").encode("latin-1"))
    refused = run("convert", path, "--to", "json", "--strict")
    assert refused.returncode == 2 and refused.stdout == b""
    assert re.match(f"tallyfold: {re.escape(str(path))}: not valid UTF-8.*--encoding", refused.stderr.decode())
    guessed = f"tallyfold: {path}:6: note: not UTF-8; read as windows-1252\n"
    for args, said in [([], guessed), (["--encoding", "latin-1", "--strict"], "")]:
        converted = run("convert", path, "--to", "json", *args)
        assert (converted.returncode, converted.stderr.decode()) == (0, said)
        assert json.loads(converted.stdout)[0]["transactions"][0]["details"] == "/EREF/E1/REMI/Gr\u00fc\u00dfe"


# What the bank-file reading says, and what it does to the exit status: notes keep 0 and
# can be silenced, a warning makes it 1 but still writes, an error names its line.
BANK_CASES = {
    "repaired": (statement("A").replace("0102D10,00", "0102d10,00"), 0, ["5: note: :61: lower-case mark 'd' read as 'D'"]),
    "statement kept incomplete": (statement("A") + ":20:B\n:25:X\n:28C:2/1\n:60F:C240102EUR90,00\n", 1, [
        "8: warning: statement 'B' kept incomplete: no closing balance (:62F:) before the text ends"]),
    "no statement": ("no statement here\n", 2, [": Input contains no MT940 data"]),
}


@pytest.mark.parametrize("case, quiet", [(case, False) for case in BANK_CASES] + [("repaired", True)],
                         ids=[*BANK_CASES, "quiet"])
def test_bank_file_reading_reports_with_lines(tmp_path, case, quiet):
    text, status, said = BANK_CASES[case]
    path = tmp_path / "bank.sta"
    path.write_text(text)
    result = run("convert", path, "--to", "json", *(["--quiet"] if quiet else []))
    assert result.returncode == status, result.stderr
    assert (result.stdout != b"") == (status < 2)
    expected = [] if quiet else [f"tallyfold: {path}{'' if line.startswith(':') else ':'}{line}" for line in said]
    assert result.stderr.decode().splitlines() == expected


def test_one_failing_input_does_not_stop_the_others_and_the_worst_status_wins(tmp_path):
    for name, text in [("good.sta", statement("G")), ("warned.sta", BANK_CASES["statement kept incomplete"][0]),
                       ("broken.sta", "no statement here\n")]:
        (tmp_path / name).write_text(text)
    result = run("convert", "good.sta", "warned.sta", "broken.sta", "--to", "csv", "-o", "out/", cwd=tmp_path)
    assert result.returncode == 2
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["good.csv", "warned.csv"]
    assert result.stderr.decode().splitlines()[-2:] == [
        "tallyfold: converted 2 of 3 files (1 with something left out), 1 failed",
        "tallyfold:   failed: broken.sta: Input contains no MT940 data",
    ]


# The arguments, and what the command says of them before its usage.
USAGE_ERRORS = """
 => missing command
frobnicate x => unknown command 'frobnicate'
convert x.sta => convert needs --to json|ndjson|csv|camt|mt940
convert x.sta --to xml => unknown format 'xml' (json, ndjson, csv, camt, camt053, camt052 or mt940)
check x.sta --bogus => unrecognized option '--bogus'
check x.sta --encoding no-such-charset => unknown encoding 'no-such-charset'
check x.sta -r GVC => unknown resolver 'GVC' (auto, swift, gvc, angular)
convert x.sta --to csv --csv-dialect excel-us => unknown CSV dialect 'excel-us' (standard, excel, excel-eu)
convert x.sta --to json --csv-dialect excel-eu => --csv-dialect needs --to csv
check x.sta --csv-dialect excel-eu => check takes no --csv-dialect
convert x.sta --to camt053 --camt-version 07 => unknown camt version '07' (02, 06 or 08)
convert x.sta --to json --camt-version 08 => --camt-version needs --to camt
convert x.sta --to camt053 --strict --created 2026-01-01 => --created does not apply to --strict, whose camt.053 layout is fixed
convert x.sta --to camt053 --created tomorrow => --created needs a time such as 2026-01-31T12:00:00Z, 2026-01-31 or @SECONDS
convert x.sta --to camt053 --split-accounts => --split-accounts needs -o PATH, beside which each account's document is written
convert x.sta --to json --split-accounts -o x => --split-accounts needs --to camt without --strict
convert x.sta --to camt053 --camt-entry-status booked --strict => --camt-entry-status needs --to camt without --strict
convert x.sta --to camt053 --camt-entry-status noted => unknown entry status 'noted' (booked or pending)
"""


@pytest.mark.parametrize("args, reason", [row.split(" => ") for row in USAGE_ERRORS.strip("\n").splitlines()])
def test_usage_errors(args, reason):
    result = run(*args.split())
    assert result.returncode == 2 and result.stdout == b""
    first, rest = result.stderr.decode().split("\n", 1)
    assert first == f"tallyfold: {reason}" and rest.startswith("usage: tallyfold")


def test_help_examples_run(tmp_path):
    version = run("--version")
    assert version.returncode == 0 and version.stdout.startswith(b"tallyfold ")
    help_text = run("--help")
    assert help_text.returncode == 0 and help_text.stdout.startswith(b"usage: tallyfold")
    examples = help_text.stdout.decode().split("\nExamples:\n", 1)[1].split("\n\n", 1)[0]
    lines = [line.strip() for line in examples.splitlines()]
    assert 2 <= len(lines) <= 3 and all(line.startswith("tallyfold ") for line in lines)

    # Whatever files the examples name, as ASCII statements that reconcile.
    for word in examples.split():
        if word.endswith(".sta"):
            for name in {word.replace("*", "a"), word.replace("*", "b")}:
                (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
                (tmp_path / name).write_text(statement("R"))
    for line in lines:
        result = subprocess.run(
            shlex.quote(command()) + line.removeprefix("tallyfold"),
            shell=True, cwd=tmp_path, capture_output=True, timeout=60,
        )
        assert result.returncode == 0, (line, result.stderr)


def test_camt_version_and_creation_time(tmp_path):
    path = tmp_path / "s.sta"
    path.write_text(statement("A"))
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    given = run("convert", path, "--to", "camt053", "--camt-version", "02", "--created", "@1769860800", env=env)
    assert given.returncode == 0, given.stderr
    root = ElementTree.fromstring(given.stdout)
    assert root.tag == "{urn:iso:std:iso:20022:tech:xsd:camt.053.001.02}Document"
    assert b"<CreDtTm>2026-01-31T12:00:00Z</CreDtTm>" in given.stdout
    # SOURCE_DATE_EPOCH stands in for --created, so that a build can be repeated byte for byte.
    from_epoch = run("convert", path, "--to", "camt053", "--camt-version", "02",
                     env={**env, "SOURCE_DATE_EPOCH": "1769860800"})
    assert given.stdout == from_epoch.stdout


def test_camt_split_accounts_beside_the_output(tmp_path):
    path = tmp_path / "s.sta"
    other = statement("B").replace("NL92NRDK0417552093", "50880050/0194787400888")
    path.write_text(statement("A") + other + statement("C"))
    (tmp_path / "out").mkdir()
    result = run("convert", path, "--to", "camt053", "--split-accounts", "-o", tmp_path / "out" / "s.xml",
                 "--created", "@0")
    assert result.returncode == 0, result.stderr
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert written == ["s.0194787400888.xml", "s.NL92NRDK0417552093.xml"]
    first = (tmp_path / "out" / "s.NL92NRDK0417552093.xml").read_bytes()
    assert first.count(b"<Stmt>") == 2 and b"0194787400888" not in first


def test_interim_report_is_checked_without_balances(tmp_path):
    path = tmp_path / "report.sta"
    path.write_text(
        ":20:REP1\n:25:NL69INGB0123456789\n:28C:7/1\n:34F:EURD100,00\n:13D:2401021530+0100\n"
        ":61:2401020102D10,00NTRFNONREF\n:90D:1EUR10,00\n"
    )
    checked = run("check", path)
    assert checked.returncode == 0, checked.stderr
    assert checked.stdout.decode() == (
        f"{path} #1: REP1, account NL69INGB0123456789, interim report 7/1 of 2024-01-02, 1 transaction: no balances\n")


def test_mt940_output_is_transliterated_with_a_note(tmp_path):
    (tmp_path / "in.sta").write_text(statement("R").replace("Coffee", "Gr\u00fc\u00dfe aus K\u00f6ln"))
    result = run("convert", "in.sta", "--to", "mt940", "--line-ending", "lf", "-o", "out.sta", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "Grusse aus Koln" in (tmp_path / "out.sta").read_text()
    assert "3 characters outside SWIFT's character set written in its nearest form" in result.stderr.decode()


# ---------------------------------------------------------------------------------------
# Many inputs


@pytest.mark.shared("corpus")
def test_whole_corpus_into_one_csv_file(tmp_path):
    corpus = shared_dir("corpus")
    result = run("convert", corpus, "--to", "csv", "-o", "all.csv", "--quiet", cwd=tmp_path)
    data = (tmp_path / "all.csv").read_bytes().decode()
    assert data.startswith("\ufeffStatement,Account,") and data.count("Statement,Account,") == 1

    expected = refused = 0
    for path in data_files(corpus):
        try:
            expected += sum(len(s.transactions) for s in MT940.from_file(path).statements)
        except ValueError:
            refused += 1
    assert len(list(csv.reader(io.StringIO(data, newline="")))) - 1 == expected > 500
    assert (result.returncode == 2) == (refused > 0), result.stderr

    summary = result.stderr.decode().splitlines()
    assert sum(line.startswith("tallyfold:   failed: ") for line in summary) == refused
    assert re.fullmatch(rf"tallyfold: converted .*, {refused} failed", summary[-refused - 1])


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
