#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine, and nothing that
# is already there. Needs root (or sudo) only when a system package is missing.
set -euo pipefail

packages=(pkg-config libpcre2-dev libgtest-dev)
if [[ "${TALLYFOLD_WITH_FUZZ:-0}" == 1 ]]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

python3 -m pip install -q --disable-pip-version-check pytest scikit-build-core ninja
