#!/usr/bin/env bash
# Builds the release wheel once (scripts/build-wheel.sh), checks that auditwheel finds no
# external library in it, installs it into .venv/ and runs the Python suite against it
# (scripts/test-python.sh). Then installs it alone into fresh virtual environments of
# the oldest and the newest CPython the stable ABI is checked against, 3.10 and 3.13, and
# smoke-tests module and command there. Both interpreters come from pyenv or from PATH;
# outside CI a missing one is skipped with a note.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

bash scripts/build-wheel.sh
wheels=(dist/*.whl)
wheel=${wheels[0]}
if ((${#wheels[@]} != 1)) || [[ ! $wheel =~ -cp310-abi3-manylinux_2_[0-9]+_x86_64\.whl$ ]]; then
  echo "test-wheel: expected one cp310-abi3 manylinux wheel in dist/, found: ${wheels[*]}" >&2
  exit 1
fi
shown=$(auditwheel -v show "$wheel" 2>/dev/null | tr -s ' \n' ' ')
if [[ $shown != *"requires no external shared libraries"* ]]; then
  auditwheel -v show "$wheel" >&2
  echo "test-wheel: $wheel needs an external shared library" >&2
  exit 1
fi

bash scripts/test-python.sh --wheel "$wheel"

find_python() {
  local version=$1 candidate
  for candidate in "$HOME"/.pyenv/versions/"$version".*/bin/python "$(command -v "python$version" || true)"; do
    [[ -n "$candidate" && -x "$candidate" ]] && { echo "$candidate"; return; }
  done
}

for version in 3.10 3.13; do
  base=$(find_python "$version")
  if [[ -z "$base" ]]; then
    if [[ -n "${CI:-}" ]]; then
      echo "test-wheel: CPython $version is missing" >&2
      exit 1
    fi
    echo "test-wheel: no CPython $version found (pyenv or PATH); skipped"
    continue
  fi
  echo "== wheel under $("$base" --version)"
  venv=build/wheel-venv/py$version
  "$base" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"
  # Nothing but the system's C and gcc runtimes may be left for the loader to find.
  for binary in "$venv/bin/tallyfold" "$("$venv/bin/python" -c 'import tallyfold; print(tallyfold.__file__)')"; do
    if ldd "$binary" | grep -v -E 'linux-vdso|ld-linux|lib(c|m|gcc_s)\.so'; then
      echo "test-wheel: $binary needs the libraries above" >&2
      exit 1
    fi
  done
  "$venv/bin/python" -c 'import sys, tallyfold
doc = tallyfold.MT940.from_file(sys.argv[1])
assert doc.account == "NL92NRDK0417552093" and len(doc.statements) == 2, doc.statements
assert tallyfold.MT940(open(sys.argv[1]).read()).to_json() != ""
assert "<Stmt>" in doc.to_camt()' examples/swift-structured.sta
  # Read the whole output first: grep -q would stop reading at its first match, and the
  # command's write into the closed pipe would fail the pipeline.
  camt=$("$venv/bin/tallyfold" convert examples/swift-structured.sta --to camt053)
  [[ $camt == *"<Stmt>"* ]]
  echo "smoke test passed"
done
