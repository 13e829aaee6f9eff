#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the core and its tests with CMake,
# runs them, installs the Python package with pip and runs the pytest suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=build/test
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTALLYFOLD_BUILD_PYTHON=OFF
cmake --build "$build" --parallel
ctest --test-dir "$build" --output-on-failure

if [[ -f pyproject.toml ]]; then
  python3 -m pip install -q --disable-pip-version-check .
  python3 -m pytest -q tests/python
fi
