#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and from it one cp310-abi3 wheel whose
# module and command need nothing outside the manylinux system libraries (PCRE2, pugixml and
# libstdc++ linked in statically), tagged with the lowest manylinux_2_X that its glibc
# symbol versions allow. The build backend, CMake and Ninja are those of .venv/: nothing
# is downloaded for an isolated build environment.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/venv.sh

raw=build/wheel-raw
rm -rf "$raw" dist
# Without options, build makes the sdist and then the wheel from it, so the wheel also
# proves the sdist complete.
"$python" -m build --no-isolation --outdir "$raw" -Ccmake.define.TALLYFOLD_STATIC_DEPS=ON .

mkdir -p dist
cp "$raw"/*.tar.gz dist/
wheel=("$raw"/*.whl)
auditwheel show "${wheel[0]}"
# "auto" picks the lowest tag the wheel qualifies for. Everything is linked in already,
# so a library grafted into the wheel would mean the static build broke.
auditwheel repair --plat auto --wheel-dir dist "${wheel[0]}"
if [[ $(unzip -l dist/*.whl) == *.libs/* ]]; then
  echo "build-wheel: auditwheel had to vendor libraries; the static build is broken" >&2
  exit 1
fi
ls -l dist
