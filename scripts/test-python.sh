#!/usr/bin/env bash
# Installs the Python package (module and command) into the checkout's virtual
# environment .venv/ and runs the pytest suite there. scripts/test-wheel.sh runs it
# again under CPython 3.10 against the release wheel.
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
