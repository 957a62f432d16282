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
    # imaging_bench compares the conversion with OpenCV's Bayer demosaic on the same frame.
    libopencv-dev
)

# The m32 preset: the whole project as 32-bit x86 programs. The compiler's 32-bit runtime, the
# i386 builds of the libraries (Debian's multiarch), and qemu-i386 for machines that cannot
# run 32-bit programs themselves.
foreign_architectures=()
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    packages+=(
        gcc-multilib
        g++-multilib
        qemu-user
        libgtest-dev:i386
        libgmock-dev:i386
        libbenchmark-dev:i386
        libpng-dev:i386
    )
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        foreign_architectures+=(i386)
    fi
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ] && [ ${#foreign_architectures[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
for architecture in "${foreign_architectures[@]}"; do
    echo "Adding the $architecture package architecture"
    $sudo dpkg --add-architecture "$architecture"
done
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
