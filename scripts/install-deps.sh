#!/bin/bash
# Installs, as root on Debian 12, the packages the build, the tests and the
# demo need, and only those that are missing.
set -euo pipefail

packages=(
  cmake make g++ pkg-config googletest libgtest-dev
  clang libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix wine64
  xvfb xauth imagemagick
  openssl curl coreutils python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "These packages are missing and only root can install them: ${missing[*]}" >&2
    exit 1
  fi
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
