#!/usr/bin/env bash
# The main job: install what is missing, build and install the package (the Python
# module and the tallyfold command), then check one example statement file and print
# it as camt.053 XML.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
python3 -m pip install -q --disable-pip-version-check .

# The command pip just installed, even when its directory is not on PATH yet.
scripts=$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
tallyfold="$scripts/tallyfold"
[[ -x "$tallyfold" ]] || tallyfold=$(command -v tallyfold)

example=examples/swift-structured.sta
"$tallyfold" check "$example"
"$tallyfold" convert "$example" --to camt053
