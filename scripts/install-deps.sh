#!/usr/bin/env bash
# Installs what the build needs from Debian's packages. Idempotent: prints nothing and touches
# nothing when every package is already there.
set -euo pipefail

packages=(
    cmake
    ninja-build
    g++
    pkg-config
    googletest
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    libpng-dev
    libcli11-dev
    clang-14
    libclang-rt-14-dev
    mingw-w64
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
