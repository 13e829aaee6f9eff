#!/usr/bin/env bash
# Installs what is needed and nothing that is already there: the Debian packages (root
# or sudo only when one is missing), then the checkout's virtual environment .venv/ made
# with the python3 on PATH (or $PYTHON), holding Python packages from PyPI. Nothing is
# installed into a system interpreter.
#   --run   only what building and running need (scripts/requirements-run.txt)
#   (none)  also what the tests need (scripts/requirements-dev.txt)
#   --fuzz  also the clang toolchain that scripts/test-fuzz.sh uses
set -euo pipefail
cd "$(dirname "$0")/.."

level=test
for arg in "$@"; do
  case $arg in
    --run) level=run ;;
    --fuzz) level=fuzz ;;
    *) echo "usage: $0 [--run | --fuzz]" >&2; exit 2 ;;
  esac
done

python=${PYTHON:-python3}
command -v "$python" >/dev/null || { echo "install-deps: no $python on PATH" >&2; exit 1; }

# Building: PCRE2 and pugixml (the camt reading's XML parser) through pkg-config.
packages=(pkg-config libpcre2-dev libpugixml-dev)
if [[ $level != run ]]; then
  # GoogleTest, and xmllint, which the camt tests validate every document they write with.
  packages+=(libgtest-dev libxml2-utils)
fi
[[ $level == fuzz ]] && packages+=(clang libclang-rt-14-dev)
# Debian leaves venv (ensurepip) and the C headers out of its python3 package.
venv_ok() { "$python" -c 'import ensurepip, venv' 2>/dev/null; }
headers_ok() {
  "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))'
}
venv_ok || packages+=(python3-venv)
headers_ok || packages+=(python3-dev)

if command -v dpkg-query >/dev/null; then
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "install-deps: installing Debian packages: ${missing[*]}"
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi
venv_ok || { echo "install-deps: $python cannot make a virtual environment (no venv/ensurepip)" >&2; exit 1; }
headers_ok || { echo "install-deps: $python has no C headers (Python.h)" >&2; exit 1; }

venv=.venv
if ! "$venv/bin/python" -c '' 2>/dev/null; then
  echo "install-deps: creating $venv with $("$python" --version)"
  "$python" -m venv --clear "$venv"
fi
# The stamp is the lists as last installed: unchanged lists cost no pip run, so later
# runs need no network.
install() {
  local stamp=$venv/$(basename "${!#}")
  if ! cmp -s <(cat "$@") "$stamp"; then
    echo "install-deps: installing ${!#} into $venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "${!#}"
    cat "$@" >"$stamp"
  fi
}
install scripts/requirements-run.txt
[[ $level != run ]] && install scripts/requirements-run.txt scripts/requirements-dev.txt
exit 0
