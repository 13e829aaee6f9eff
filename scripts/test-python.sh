#!/usr/bin/env bash
# Installs the Python package (module and command) into the checkout's virtual
# environment .venv/, built from the checkout or, with --wheel FILE, from a built wheel,
# and runs the pytest suite there, the Dask/Parquet example included. Then checks the
# type stub: mypy --strict on a file of typical use, which finds the stub with no
# configuration, and stubtest against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

pip=("$python" -m pip install -q --disable-pip-version-check)
case ${1:-} in
  --wheel) "${pip[@]}" --force-reinstall --no-deps "$2" ;;
  "") "${pip[@]}" --no-build-isolation . ;;
  *) echo "usage: $0 [--wheel FILE]" >&2; exit 2 ;;
esac

# pytest exits with 5 when it collects no test; that is not a failure of the suite.
rc=0
"$python" -m pytest -q -n "$(nproc)" tests/python || rc=$?
[[ $rc -eq 0 || $rc -eq 5 ]] || exit "$rc"

"$python" -m mypy --strict --cache-dir build/mypy-cache tests/typing/typical_use.py
"$python" tests/typing/typical_use.py examples >/dev/null
"$python" -m mypy.stubtest tallyfold
