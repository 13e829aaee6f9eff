#!/usr/bin/env bash
# The main job: install what is missing, build and install the package (the Python
# module and the tallyfold command) into the checkout's virtual environment .venv/,
# then check one example statement file and print it as camt.053 XML.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
source scripts/lib/venv.sh
# The build backend, CMake and Ninja are in .venv already; building with them reuses the
# build tree, so a second run only relinks what changed.
"$python" -m pip install -q --disable-pip-version-check --no-build-isolation .

example=examples/swift-structured.sta
"$VIRTUAL_ENV/bin/tallyfold" check "$example"
"$VIRTUAL_ENV/bin/tallyfold" convert "$example" --to camt053
