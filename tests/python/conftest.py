"""What the Python tests share: builders of MT940 texts, the installed command, and the
real bank files.

The real files (../shared/corpus, ../shared/camt-corpus) are not part of the repository.
A test that needs them carries the marker `shared("corpus")` (the files helpers below
add it): when the folder is absent the test skips, and the summary says why in one
line; with the environment variable CI set it fails instead, so CI cannot quietly stop
reading them.
"""

import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

from tallyfold import MT940

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
EXAMPLE_FILES = sorted(EXAMPLES.glob("*.sta"))


def _shared_root():
    """../shared beside the checkout, or beside the main checkout of a git worktree."""
    beside = REPO.parent / "shared"
    dot_git = REPO / ".git"
    if not beside.is_dir() and dot_git.is_file():
        text = dot_git.read_text()
        if text.startswith("gitdir:"):
            # A worktree's .git names <main checkout>/.git/worktrees/<name>.
            main = (REPO / text[len("gitdir:") :].strip()).resolve().parents[2]
            if (main.parent / "shared").is_dir():
                return main.parent / "shared"
    return beside


SHARED = _shared_root()


def shared_dir(name):
    """The folder `name` of the shared data ("corpus", "camt-corpus"), present or not."""
    return SHARED / name


def data_files(root):
    """Every data file under `root`, sorted; notes (*.md) and dot files are not data."""
    return sorted(p for p in root.rglob("*") if p.is_file() and p.suffix != ".md"
                  and not any(part.startswith(".") for part in p.relative_to(root).parts))


def shared_files(name):
    """Parameters for a test over every file of a shared folder, id'd by relative name.
    Each carries the `shared` marker; an absent folder gives one parameter (None), which
    skips, or fails under CI, before the test runs."""
    root = shared_dir(name)
    mark = pytest.mark.shared(name)
    files = data_files(root)
    if not files:
        return [pytest.param(None, id=f"{name}-absent", marks=mark)]
    return [pytest.param(p, id=p.relative_to(root).as_posix(), marks=mark) for p in files]


def statement_files():
    """Parameters for a test over every statement file: examples/, then the shared corpus."""
    return [pytest.param(p, id=f"examples/{p.name}") for p in EXAMPLE_FILES] + shared_files("corpus")


def readings(path):
    """The documents of every reading that accepts the file: the bank-file reading, the
    strict one (of the bytes as latin-1, so that every file decodes) and MT940(text)."""
    data = path.read_bytes()
    for read in (MT940.from_file, lambda _: MT940.from_bytes(bytearray(data), strict=True, encoding="latin-1", resolver="gvc"),
                 lambda _: MT940(data.decode("utf-8", errors="replace"), "swift")):
        try:
            yield read(path)
        except ValueError:
            pass


def command():
    """The tallyfold command installed beside this interpreter's module first, so that both
    come from the same build."""
    for scheme in [sysconfig.get_default_scheme(), f"{os.name}_user"]:
        candidate = Path(sysconfig.get_path("scripts", scheme)) / "tallyfold"
        if candidate.exists():
            return str(candidate)
    return shutil.which("tallyfold") or pytest.fail("the tallyfold command is not installed (pip install .)")


def run(*args, stdin=b"", cwd=None, env=None):
    """The command run with `args` as a user would: exit status, stdout and stderr as bytes."""
    return subprocess.run([command(), *map(str, args)], input=stdin, capture_output=True, timeout=60, cwd=cwd, env=env)


def _in_ci():
    return bool(os.environ.get("CI"))


_absent = {}  # reason -> number of tests skipped for want of shared data
_ABSENT = "no shared data at "


def pytest_configure(config):
    config.addinivalue_line("markers", "shared(name): needs ../shared/<name> beside the checkout")


def pytest_runtest_setup(item):
    for marker in item.iter_markers("shared"):
        name = marker.args[0]
        if not shared_dir(name).is_dir():
            reason = f"{_ABSENT}{shared_dir(name)} (../shared/{name} beside the checkout)"
            if _in_ci():
                pytest.fail(reason + ", and CI is set", pytrace=False)
            pytest.skip(reason)


# Counted from the reports, which reach the process that prints the summary also when
# pytest-xdist runs the tests in others.
def pytest_runtest_logreport(report):
    if report.skipped and isinstance(report.longrepr, tuple):
        reason = report.longrepr[2].removeprefix("Skipped: ")
        if reason.startswith(_ABSENT):
            _absent[reason] = _absent.get(reason, 0) + 1


def pytest_terminal_summary(terminalreporter):
    for reason, count in sorted(_absent.items()):
        terminalreporter.write_line(f"{count} tests skipped: {reason}")


def statement(reference="REF1", account="DE89370400440532013000", opening="C230131EUR1000,00",
              closing="C230131EUR1500,00", lines=(), number="1/1"):
    """The text of one statement. `lines` holds (":61:" content, ":86:" content or None)."""
    out = [f":20:{reference}", f":25:{account}", f":28C:{number}", f":60F:{opening}"]
    for line, details in lines:
        out += [f":61:{line}"] + ([] if details is None else [f":86:{details}"])
    return "\n".join(out + [f":62F:{closing}"]) + "\n"


@pytest.fixture
def two_statements():
    """Two statements with two and one transactions; the second in another currency."""
    return statement("STMT-A", "ACCOUNT-A", lines=[
        ("2301310131C500,00NTRFNONREF//BANKREF-1", "plain text details"), ("230131D12,34NMSCREF-2", None),
    ]) + statement("STMT-B", "ACCOUNT-B", "D230201USD10,00", "C230201USD90,00",
                   lines=[("230201C100,00NTRFREF-3", "second statement")])
