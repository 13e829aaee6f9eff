"""Byte-for-byte goldens of the exact reading: `MT940(text)` and its three exports.

Every input has, under tests/golden/exact/<source>/, either `<name>.json`, `.csv` and
`.xml` (the exports) or `<name>.error` (the ValueError text). Sources:
  examples/           examples/*
  fuzz-<corpus>/      fuzz/corpus/<corpus>/*, each seed read as a whole document
                      (field and details seeds pin the messages for non-documents)
  corpus/<folder>/    ../shared/corpus/<folder>/*, read in place, never copied here
                      (beside the main checkout when this runs in a git worktree)

Text rule, one for all inputs: the file's bytes decoded as UTF-8 with errors="replace",
so files in other encodings still pin something; a leading byte-order mark stays in the
text as U+FEFF, since that is what a caller reading the file as UTF-8 hands over.
Goldens are written as the UTF-8 of the returned str, in binary, without line-end
conversion (.gitattributes marks the folder -text).

The goldens drive the test: the corpus goldens need ../shared/corpus (see conftest.py),
a corpus that grows adds nothing until regenerated. The exact reading must keep these files
identical; a deliberate change regenerates them and says why in its commit:

    python tests/python/test_golden_exact.py --regenerate
"""

import shutil
import sys

import pytest

from conftest import REPO, shared_dir
from tallyfold import MT940

GOLDEN = REPO / "tests" / "golden" / "exact"
CORPUS = shared_dir("corpus")
EXPORTS = {".json": "to_json", ".csv": "to_csv", ".xml": "to_camt053"}


def input_dirs():
    """(golden folder, input folder) for every source present on this machine."""
    dirs = [(GOLDEN / "examples", REPO / "examples")]
    for seeds in sorted((REPO / "fuzz" / "corpus").iterdir()):
        if seeds.is_dir():
            dirs.append((GOLDEN / f"fuzz-{seeds.name}", seeds))
    if CORPUS.is_dir():
        for folder in sorted(CORPUS.iterdir()):
            if folder.is_dir() and not folder.name.startswith("."):
                dirs.append((GOLDEN / "corpus" / folder.name, folder))
    return dirs


def read(path):
    """The exports of one input by golden suffix, or {".error": message}."""
    text = path.read_bytes().decode("utf-8", errors="replace")
    try:
        doc = MT940(text)
    except ValueError as e:
        return {".error": str(e).encode("utf-8")}
    return {suffix: getattr(doc, method)().encode("utf-8") for suffix, method in EXPORTS.items()}


def source_of(golden_dir):
    """The input folder a golden folder was made from."""
    relative = golden_dir.relative_to(GOLDEN)
    if relative.parts[0] == "corpus":
        return CORPUS / relative.parts[1]
    if relative.parts[0].startswith("fuzz-"):
        return REPO / "fuzz" / "corpus" / relative.parts[0][len("fuzz-"):]
    return REPO / relative


def golden_cases():
    """(golden folder, input name) for every input that has goldens."""
    cases = set()
    for golden in GOLDEN.rglob("*"):
        if golden.is_file() and golden.suffix in (*EXPORTS, ".error"):
            cases.add((golden.parent, golden.name[: -len(golden.suffix)]))
    params = []
    for golden_dir, name in sorted(cases):
        relative = golden_dir.relative_to(GOLDEN)
        marks = [pytest.mark.shared("corpus")] if relative.parts[0] == "corpus" else []
        params.append(pytest.param(golden_dir, name, id=f"{relative.as_posix()}/{name}", marks=marks))
    return params


@pytest.mark.parametrize("golden_dir,name", golden_cases())
def test_exact_reading_matches_goldens(golden_dir, name):
    source = source_of(golden_dir) / name
    if not source.is_file():
        pytest.fail(f"{source} is gone but {golden_dir / name}.* remain; regenerate")
    expected = {
        suffix: (golden_dir / (name + suffix)).read_bytes()
        for suffix in (*EXPORTS, ".error")
        if (golden_dir / (name + suffix)).is_file()
    }
    actual = read(source)
    if set(actual) != set(expected):
        shown = actual.get(".error", b"(read successfully)").decode("utf-8")
        pytest.fail(f"{source}: golden kinds {sorted(expected)} but got {sorted(actual)}: {shown}")
    for suffix, data in actual.items():
        golden = golden_dir / (name + suffix)
        assert data == expected[suffix], f"{source} no longer matches {golden}"


def is_input(path):
    """A statement input: examples/ also holds the scripts that use them."""
    return path.is_file() and not path.name.startswith(".") and path.suffix != ".py"


def regenerate():
    """Rewrites the goldens of every source present here; absent sources keep theirs."""
    total = 0
    for golden_dir, folder in input_dirs():
        shutil.rmtree(golden_dir, ignore_errors=True)
        golden_dir.mkdir(parents=True)
        for path in sorted(p for p in folder.iterdir() if is_input(p)):
            for suffix, data in read(path).items():
                (golden_dir / (path.name + suffix)).write_bytes(data)
                total += len(data)
    print(f"wrote {total} bytes of goldens under {GOLDEN}")


if __name__ == "__main__":
    if sys.argv[1:] != ["--regenerate"]:
        sys.exit(f"usage: {sys.argv[0]} --regenerate")
    regenerate()
