"""The installed `tallyfold` command, run as a user would run it."""

import json
import csv
import io
import os
import shlex
import shutil
import subprocess
from xml.etree import ElementTree
import sysconfig
from pathlib import Path

import pytest

import tallyfold

EXAMPLES = sorted((Path(__file__).resolve().parents[2] / "examples").glob("*.sta"))
FORMATS = {"json": "to_json", "csv": "to_csv", "camt053": "to_camt053"}


def _command():
    # The command installed beside this interpreter's module first, so both come from
    # the same build.
    schemes = [sysconfig.get_default_scheme(), f"{os.name}_user"]
    for scheme in schemes:
        candidate = Path(sysconfig.get_path("scripts", scheme)) / "tallyfold"
        if candidate.exists():
            return str(candidate)
    found = shutil.which("tallyfold")
    if found:
        return found
    pytest.fail("the tallyfold command is not installed (pip install .)")


def run(*args, stdin=b"", cwd=None, env=None):
    return subprocess.run(
        [_command(), *map(str, args)], input=stdin, capture_output=True, timeout=60, cwd=cwd, env=env
    )


def statement(ref, number_tag=":28C:", opening="C240101EUR100,00", closing="C240102EUR90,00"):
    return (
        f":20:{ref}\n:25:NL92NRDK0417552093\n{number_tag}1/1\n:60F:{opening}\n"
        ":61:2401020102D10,00NTRFNONREF\n:86:/EREF/E1/REMI/Coffee\n"
        f":62F:{closing}\n"
    )


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


def _rows(data, delimiter):
    text = data.decode("utf-8")
    assert text.startswith("\ufeff")
    return list(csv.reader(io.StringIO(text[1:], newline=""), delimiter=delimiter))


def test_csv_dialect_is_passed_on():
    # The dialects' own bytes are the core's to test: here only that the choice arrives.
    standard = run("convert", EXAMPLES[0], "--to", "csv", "--strict")
    european = run("convert", EXAMPLES[0], "--to", "csv", "--csv-dialect", "excel-eu", "--strict")
    assert standard.returncode == european.returncode == 0, european.stderr
    expected = _rows(standard.stdout, ",")
    amount = expected[0].index("Amount")
    for row in expected[1:]:
        row[amount] = row[amount].replace(".", ",")
    assert _rows(european.stdout, ";") == expected


def test_examples_reconcile():
    # Which resolver names the reading knows is the core's to test; here one is passed on.
    result = run("check", *EXAMPLES, "--resolver", "gvc")
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.decode().splitlines()
    assert len(lines) >= len(EXAMPLES)
    assert all(line.endswith("balanced") or "follows the previous" in line for line in lines)


@pytest.mark.parametrize("fmt, suffix", [("json", ".json"), ("csv", ".csv"), ("camt053", ".xml")])
def test_several_files_into_a_directory_as_the_module_writes_them(tmp_path, fmt, suffix):
    out = tmp_path / "out"
    result = run("convert", *EXAMPLES, "--to", fmt, "-o", f"{out}/", "--jobs", "2", "--strict")
    assert result.returncode == 0, result.stderr
    n = len(EXAMPLES)
    assert result.stderr.decode() == f"tallyfold: converted {n} of {n} files (0 with something left out), 0 failed\n"
    assert sorted(p.name for p in out.iterdir()) == sorted(p.stem + suffix for p in EXAMPLES)
    for example in EXAMPLES:
        expected = getattr(tallyfold.MT940(example.read_text(encoding="utf-8")), FORMATS[fmt])()
        assert (out / (example.stem + suffix)).read_bytes().decode("utf-8") == expected


def test_one_failing_input_does_not_stop_the_others(tmp_path):
    broken = tmp_path / "broken.sta"
    broken.write_text("no statement here\n")
    result = run("convert", EXAMPLES[0], broken, "--to", "json", "-o", f"{tmp_path / 'out'}/")
    assert result.returncode == 2
    assert (tmp_path / "out" / (EXAMPLES[0].stem + ".json")).exists()
    assert result.stderr.decode() == (
        f"tallyfold: {broken}: Input contains no MT940 data\n"
        "tallyfold: converted 1 of 2 files (0 with something left out), 1 failed\n"
        f"tallyfold:   failed: {broken}: Input contains no MT940 data\n"
    )


def test_dash_is_standard_input_and_output(tmp_path):
    example = EXAMPLES[0]
    result = run("convert", "-", "--to", "json", "-o", "-", "--strict", stdin=example.read_bytes(), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == tallyfold.MT940(example.read_text(encoding="utf-8")).to_json()
    assert result.stderr == b"" and list(tmp_path.iterdir()) == []


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
            [_command(), "convert", EXAMPLES[0], "--to", "json", "-o", "-"],
            stdout=full, stderr=subprocess.PIPE, timeout=60,
        )
    assert result.returncode == 2
    assert result.stderr.decode() == "tallyfold: standard output: No space left on device\n"


@pytest.mark.parametrize(
    "closing, status, verdict",
    [
        ("C240102EUR90,00", 0, "balanced"),
        ("C240102EUR90,01", 1, "NOT balanced (opening + transactions = 90.00, difference 0.01)"),
        (None, 1, "incomplete, NOT checked"),
    ],
    ids=["balanced", "unbalanced", "incomplete"],
)
def test_check_exit_status(tmp_path, closing, status, verdict):
    path = tmp_path / "s.sta"
    text = statement("R1", closing=closing or "")
    path.write_text(text if closing else text.replace(":62F:\n", ""))
    result = run("check", path)
    assert result.returncode == status
    shown = f"2024-01-02 {closing[10:].replace(',', '.')}" if closing else "none"
    assert result.stdout.decode() == (
        f"{path} #1: R1, account NL92NRDK0417552093, statement 1/1, EUR, "
        f"opening 2024-01-01 100.00, closing {shown}, 1 transaction: {verdict}\n"
    )
    # What the line shows is not said again on standard error.
    warning = f"tallyfold: {path}:1: warning: statement 'R1' kept incomplete: no closing balance (:62F:) before the text ends\n"
    assert result.stderr.decode() == ("" if closing else warning)


def test_latin1_is_detected_and_strict_needs_its_encoding(tmp_path):
    path = tmp_path / "latin1.sta"
    path.write_bytes(
        ":20:L1\n:25:DE84700999100532018844\n:28C:1/1\n:60F:C240101EUR0,00\n"
        ":61:2401020102C5,00NTRFNONREF\n:86:166?20Miete Gr\xfc\xdfe?32J\xfcrgen M\xfcller\n"
        ":62F:C240102EUR5,00\n".encode("latin-1")
    )
    refused = run("convert", path, "--to", "json", "--strict")
    assert refused.returncode == 2 and refused.stdout == b""
    message = refused.stderr.decode()
    assert message.startswith(f"tallyfold: {path}: not valid UTF-8") and "--encoding" in message

    for args in ([], ["--encoding", "latin-1"], ["--encoding", "latin-1", "--strict"]):
        converted = run("convert", path, "--to", "json", *args)
        assert converted.returncode == 0, converted.stderr
        details = json.loads(converted.stdout)[0]["transactions"][0]["structuredDetails"]
        assert details["32"] == "J\u00fcrgen M\u00fcller"
        guessed = f"tallyfold: {path}:6: note: not UTF-8; read as windows-1252\n"
        assert converted.stderr.decode() == (guessed if not args else "")


# What the bank-file reading says, and what it does to the exit status: notes keep 0 and
# can be silenced, a warning makes it 1 but still writes, an error names its line.
BANK_CASES = {
    "repaired": (
        statement("A").replace(":61:2401020102D10,00NTRF", ":61:2401020102d10,00NTRF"),
        0,
        ["5: note: :61: lower-case mark 'd' read as 'D'"],
    ),
    "statement kept incomplete": (
        statement("A") + ":20:B\n:25:X\n:28C:2/1\n:60F:C240102EUR90,00\n",
        1,
        ["8: warning: statement 'B' kept incomplete: no closing balance (:62F:) before the text ends"],
    ),
    "no statement": ("no statement here\n", 2, [": Input contains no MT940 data"]),
}


@pytest.mark.parametrize("case", BANK_CASES, ids=list(BANK_CASES))
@pytest.mark.parametrize("quiet", [False, True], ids=["notes", "quiet"])
def test_bank_file_reading_reports_with_lines(tmp_path, case, quiet):
    text, status, said = BANK_CASES[case]
    path = tmp_path / "bank.sta"
    path.write_text(text)
    result = run("convert", path, "--to", "json", *(["--quiet"] if quiet else []))
    assert result.returncode == status, result.stderr
    assert (result.stdout != b"") == (status < 2)
    expected = [f"tallyfold: {path}{'' if line.startswith(':') else ':'}{line}" for line in said
                if not (quiet and ": note: " in line)]
    assert result.stderr.decode().splitlines() == expected


def test_highest_status_of_a_batch_wins(tmp_path):
    good, warned = tmp_path / "good.sta", tmp_path / "warned.sta"
    good.write_text(statement("G"))
    warned.write_text(BANK_CASES["statement kept incomplete"][0])
    result = run("convert", good, warned, "--to", "csv", "-o", tmp_path / "out")
    assert result.returncode == 1
    assert result.stderr.decode().splitlines()[-1] == (
        "tallyfold: converted 2 of 2 files (1 with something left out), 0 failed"
    )
    assert run("check", good, warned).returncode == 1


@pytest.mark.parametrize(
    "args, reason",
    [
        ([], "missing command"),
        (["frobnicate", "x"], "unknown command 'frobnicate'"),
        (["convert", "x.sta"], "convert needs --to json|ndjson|csv|camt|mt940"),
        (["convert", "x.sta", "--to", "xml"], "unknown format 'xml' (json, ndjson, csv, camt, camt053, camt052 or mt940)"),
        (["check", "x.sta", "--bogus"], "unrecognized option '--bogus'"),
        (["check", "x.sta", "--encoding", "no-such-charset"], "unknown encoding 'no-such-charset'"),
        (["check", "x.sta", "--resolver", "gcv"], "unknown resolver 'gcv' (auto, swift, gvc, angular)"),
        (["check", "x.sta", "-r", "GVC"], "unknown resolver 'GVC' (auto, swift, gvc, angular)"),
        (["convert", "x.sta", "--to", "csv", "--csv-dialect", "excel-us"], "unknown CSV dialect 'excel-us' (standard, excel, excel-eu)"),
        (["convert", "x.sta", "--to", "json", "--csv-dialect", "excel-eu"], "--csv-dialect needs --to csv"),
        (["check", "x.sta", "--csv-dialect", "excel-eu"], "check takes no --csv-dialect"),
        (["convert", "x.sta", "--to", "camt053", "--camt-version", "07"], "unknown camt version '07' (02, 06 or 08)"),
        (["convert", "x.sta", "--to", "json", "--camt-version", "08"], "--camt-version needs --to camt"),
        (["convert", "x.sta", "--to", "camt053", "--strict", "--created", "2026-01-01"],
         "--created does not apply to --strict, whose camt.053 layout is fixed"),
        (["convert", "x.sta", "--to", "camt053", "--created", "tomorrow"],
         "--created needs a time such as 2026-01-31T12:00:00Z, 2026-01-31 or @SECONDS"),
        (["convert", "x.sta", "--to", "camt053", "--split-accounts"],
         "--split-accounts needs -o PATH, beside which each account's document is written"),
        (["convert", "x.sta", "--to", "json", "--split-accounts", "-o", "x"],
         "--split-accounts needs --to camt without --strict"),
        (["convert", "x.sta", "--to", "camt053", "--camt-entry-status", "booked", "--strict"],
         "--camt-entry-status needs --to camt without --strict"),
        (["convert", "x.sta", "--to", "camt053", "--camt-entry-status", "noted"],
         "unknown entry status 'noted' (booked or pending)"),
    ],
)
def test_usage_errors(args, reason):
    result = run(*args)
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
            shlex.quote(_command()) + line.removeprefix("tallyfold"),
            shell=True, cwd=tmp_path, capture_output=True, timeout=60,
        )
        assert result.returncode == 0, (line, result.stderr)


def test_camt_versions_and_creation_time(tmp_path):
    path = tmp_path / "s.sta"
    path.write_text(statement("A"))
    env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    for version in ["02", "06", "08", None]:
        chosen = ["--camt-version", version] if version else []
        result = run("convert", path, "--to", "camt053", *chosen, "--created", "2026-01-31T13:00+01:00", env=env)
        assert result.returncode == 0, result.stderr
        root = ElementTree.fromstring(result.stdout)
        assert root.tag == f"{{urn:iso:std:iso:20022:tech:xsd:camt.053.001.{version or '08'}}}Document"
        assert b"<CreDtTm>2026-01-31T12:00:00Z</CreDtTm>" in result.stdout
    # SOURCE_DATE_EPOCH stands in for --created, so that a build can be repeated byte for byte.
    given = run("convert", path, "--to", "camt053", "--created", "@1769860800", env=env)
    from_epoch = run("convert", path, "--to", "camt053", env={**env, "SOURCE_DATE_EPOCH": "1769860800"})
    assert given.stdout == from_epoch.stdout and b"2026-01-31T12:00:00Z" in given.stdout


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


def test_interim_report_check_and_camt(tmp_path):
    path = tmp_path / "report.sta"
    path.write_text(
        ":20:REP1\n:25:NL69INGB0123456789\n:28C:7/1\n:34F:EURD100,00\n:13D:2401021530+0100\n"
        ":61:2401020102D10,00NTRFNONREF\n:90D:1EUR10,00\n"
    )
    checked = run("check", path)
    assert checked.returncode == 0, checked.stderr
    assert checked.stdout.decode().endswith(
        "#1: REP1, account NL69INGB0123456789, interim report 7/1 of 2024-01-02, 1 transaction: no balances\n"
    )
    converted = run("convert", path, "--to", "camt053", "--camt-version", "02", "--created", "@0")
    assert converted.returncode == 0, converted.stderr
    root = ElementTree.fromstring(converted.stdout)
    assert root.tag == "{urn:iso:std:iso:20022:tech:xsd:camt.052.001.02}Document"


def test_mt940_output_is_transliterated_with_a_note(tmp_path):
    source = tmp_path / "in.sta"
    source.write_text(
        ":20:R\n:25:DE89370400440532013000\n:28C:1\n:60F:C230131EUR0,00\n"
        ":61:230131C5,00NTRFNONREF\n:86:/REMI/USTD//Grüße aus Köln/\n:62F:C230131EUR5,00\n"
    )
    out = tmp_path / "out.sta"
    result = run("convert", str(source), "--to", "mt940", "--line-ending", "lf", "-o", str(out))
    assert result.returncode == 0, result.stderr
    assert "Grusse aus Koln" in out.read_text()
    assert "3 characters outside SWIFT's character set written in its nearest form" in result.stderr.decode()
