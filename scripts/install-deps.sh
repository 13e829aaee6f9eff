#!/usr/bin/env bash
# Installs what building and testing need, and nothing that is already there: the
# Debian packages (root or sudo only when one is missing), then the checkout's virtual
# environment .venv/ made with the python3 on PATH (or $PYTHON), holding the Python
# packages of scripts/requirements-dev.txt. Nothing is installed into a system
# interpreter. With --fuzz, also the clang toolchain that scripts/test-fuzz.sh uses.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz=0
for arg in "$@"; do
  case $arg in
    --fuzz) fuzz=1 ;;
    *) echo "usage: $0 [--fuzz]" >&2; exit 2 ;;
  esac
done

python=${PYTHON:-python3}
command -v "$python" >/dev/null || { echo "install-deps: no $python on PATH" >&2; exit 1; }

# libxml2-utils: xmllint, which the camt tests validate every document they write with.
packages=(pkg-config libpcre2-dev libgtest-dev libxml2-utils)
((fuzz)) && packages+=(clang libclang-rt-14-dev)
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

# The stamp is the requirements file as last installed: an unchanged list costs no pip
# run, so later runs need no network.
venv=.venv
if ! "$venv/bin/python" -c '' 2>/dev/null; then
  echo "install-deps: creating $venv with $("$python" --version)"
  "$python" -m venv --clear "$venv"
fi
if ! cmp -s scripts/requirements-dev.txt "$venv/requirements-dev.txt"; then
  echo "install-deps: installing scripts/requirements-dev.txt into $venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r scripts/requirements-dev.txt
  cp scripts/requirements-dev.txt "$venv/requirements-dev.txt"
fi
