#!/usr/bin/env bash
# Installs the Python package (module and command) and runs the pytest suite, then does
# the same under CPython 3.10 when pyenv keeps one: the stable-ABI build must serve it.
set -euo pipefail
cd "$(dirname "$0")/.."

# pytest exits with 5 when it collects no test; that is not a failure of the suite.
run_pytest() {
  local rc=0
  "$@" -m pytest -q tests/python || rc=$?
  if [[ $rc -ne 0 && $rc -ne 5 ]]; then
    exit "$rc"
  fi
}

python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore .
run_pytest python3

for py310 in "$HOME"/.pyenv/versions/3.10.*/bin/python; do
  [[ -x "$py310" ]] || continue
  venv=build/venv-py310
  echo "== pytest under $("$py310" --version)"
  "$py310" -m venv --clear "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check pytest .
  # The command-line tests look for the installed command on PATH.
  PATH="$PWD/$venv/bin:$PATH" run_pytest "$venv/bin/python"
  break
done
