#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12: the native
# toolchain and libraries, the mingw-w64 cross compilers with zlib (32-bit
# for the installer, 64-bit for Wine tests on hosts that cannot start 32-bit
# programs), Wine with its 32-bit part, and Xvfb. Installs only what is missing, so it runs
# offline once everything is there.
set -euo pipefail

packages=(
    g++ make cmake pkg-config
    zlib1g-dev googletest libgtest-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev
    wine wine32:i386 wine64
    xvfb xauth imagemagick
    time
)

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
