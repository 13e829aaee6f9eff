#!/usr/bin/env bash
# The quick start: installs only what building and running need (Debian packages when
# missing, then scripts/requirements-run.txt into the checkout's virtual environment
# .venv/), builds and installs the package (the Python module and the tallyfold
# command) there, checks one example statement file and prints it as camt.053 XML.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --run
venv=$PWD/.venv
# The build backend, CMake and Ninja are in .venv already; building with them reuses the
# build tree, so a second run only relinks what changed.
PATH=$venv/bin:$PATH "$venv/bin/python" -m pip install -q --disable-pip-version-check \
  --no-build-isolation .

example=examples/swift-structured.sta
"$venv/bin/tallyfold" check "$example"
"$venv/bin/tallyfold" convert "$example" --to camt053

cat <<EOT

Installed into .venv/: the tallyfold command and the Python module tallyfold.
  .venv/bin/tallyfold --help
  .venv/bin/tallyfold convert $example --to json
  .venv/bin/python -c 'import tallyfold; print(tallyfold.MT940.from_file("$example").account)'
Or put both on PATH for this shell first:
  source .venv/bin/activate
EOT
