#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12: the native
# toolchain and libraries, the mingw-w64 cross compilers with zlib (32-bit
# for the installer, 64-bit for Wine tests on hosts that cannot start 32-bit
# programs), Wine with its 32-bit part, and Xvfb. Installs only what is missing, so it runs
# offline once everything is there.
set -euo pipefail

packages=(
    g++ make cmake pkg-config
    zlib1g-dev libdeflate-dev googletest libgtest-dev libbenchmark-dev
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
install=(apt-get install -y -q --no-install-recommends "${missing[@]}")
if "${sudo[@]}" apt-get update -q && "${sudo[@]}" "${install[@]}"; then
    exit 0
fi
# A mirror caught mid-sync can serve one architecture's security index out of
# date; apt then cannot match the i386 libraries to the amd64 ones and gives
# up. The release and its updates alone are consistent, so try once more from
# them, with lists of their own so the system's stay as they were.
echo "install-deps: retrying from bookworm and bookworm-updates alone"
own=$(mktemp -d)
trap 'rm -rf "$own"' EXIT
# apt fetches as its own user, and removes from the lists folder whatever is
# not an index, so the source list sits beside it.
chmod 755 "$own"
mkdir -p "$own/lists/partial"
printf 'deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian %s main\n' \
    bookworm bookworm-updates >"$own/sources.list"
alone=(-o Dir::Etc::sourcelist="$own/sources.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$own/lists")
"${sudo[@]}" apt-get "${alone[@]}" update -q
"${sudo[@]}" apt-get "${alone[@]}" "${install[@]:1}"
