#!/usr/bin/env bash
# Builds the release wheel (scripts/build-wheel.sh), checks that auditwheel finds no
# external library in it, then installs it into fresh virtual environments of the
# oldest and the newest CPython the stable ABI is checked against: the pytest suite
# runs under 3.10, a smoke test of module and command under 3.13. Both interpreters come
# from pyenv or from PATH; outside CI a missing one is skipped with a note.
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

find_python() {
  local version=$1 candidate
  for candidate in "$HOME"/.pyenv/versions/"$version".*/bin/python "$(command -v "python$version" || true)"; do
    [[ -n "$candidate" && -x "$candidate" ]] && { echo "$candidate"; return; }
  done
}

# A fresh environment holding the wheel (and pytest); prints its interpreter.
fresh_venv() {
  local base=$1 venv=build/wheel-venv/$2
  "$base" -m venv --clear "$venv" >&2
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest >&2
  echo "$venv/bin/python"
}

for version in 3.10 3.13; do
  base=$(find_python "$version")
  if [[ -z "$base" ]]; then
    if [[ "${CI:-}" == true ]]; then
      echo "test-wheel: CPython $version is missing" >&2
      exit 1
    fi
    echo "test-wheel: no CPython $version found (pyenv or PATH); skipped"
    continue
  fi
  echo "== wheel under $("$base" --version)"
  py=$(fresh_venv "$base" "py$version")
  # Nothing but the system's C and gcc runtimes may be left for the loader to find.
  for binary in "$(dirname "$py")/tallyfold" "$("$py" -c 'import tallyfold; print(tallyfold.__file__)')"; do
    if ldd "$binary" | grep -v -E 'linux-vdso|ld-linux|lib(c|m|gcc_s)\.so'; then
      echo "test-wheel: $binary needs the libraries above" >&2
      exit 1
    fi
  done
  if [[ $version == 3.10 ]]; then
    # pytest exits with 5 when it collects no test; that is not a failure of the suite.
    rc=0
    "$py" -m pytest -q -p no:cacheprovider tests/python || rc=$?
    [[ $rc -eq 0 || $rc -eq 5 ]] || exit "$rc"
  else
    "$py" -c 'import sys, tallyfold
doc = tallyfold.MT940(open(sys.argv[1]).read())
assert doc.account == "NL92NRDK0417552093" and len(doc) == 4, (doc.account, len(doc))
assert "<Stmt>" in doc.to_camt053()' examples/swift-structured.sta
    # Read the whole output first: grep -q would stop reading at its first match, and the
    # command's write into the closed pipe would fail the pipeline.
    camt=$("$(dirname "$py")/tallyfold" convert examples/swift-structured.sta --to camt053)
    [[ $camt == *"<Stmt>"* ]]
    echo "smoke test passed"
  fi
done
