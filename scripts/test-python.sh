#!/usr/bin/env bash
# Installs the Python package (module and command) into the checkout's virtual
# environment .venv/ and runs the pytest suite there, the Dask/Parquet example included;
# scripts/test-wheel.sh runs the suite again under CPython 3.10 against the release
# wheel. Then checks the type stub: mypy --strict on a file of typical use, which finds
# the stub with no configuration, and stubtest against the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

"$python" -m pip install -q --disable-pip-version-check --no-build-isolation .
# pytest exits with 5 when it collects no test; that is not a failure of the suite.
rc=0
"$python" -m pytest -q tests/python || rc=$?
if [[ $rc -ne 0 && $rc -ne 5 ]]; then
  exit "$rc"
fi

"$python" -m mypy --strict --cache-dir build/mypy-cache tests/typing/typical_use.py
"$python" tests/typing/typical_use.py examples >/dev/null
"$python" -m mypy.stubtest tallyfold
