#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 or 13, and says
# which it found. Installs only what is missing, so it runs offline once
# everything is there.
#
#   install-deps.sh build   what building setup.exe takes: the host compiler
#                           for quarn with zlib, libdeflate and OpenSSL, the
#                           mingw-w64 cross compiler with zlib, and for
#                           signing osslsigncode, OpenSSL's PKCS#11 engine for
#                           keys on tokens and Python for the signature checks
#   install-deps.sh [all]   that, and what the tests and the demo use: test
#                           and benchmark libraries, clang for fuzzing, the
#                           64-bit cross compiler, Wine with its 32-bit part,
#                           qemu-i386 for hosts that cannot start 32-bit
#                           programs, Xvfb, xdotool, imagemagick, liblnk-utils,
#                           openssl, faketime, Python for the test programs,
#                           SoftHSM2 as the signing tests' token, the locales
#                           that the tests run Wine under and a font with
#                           every script
#   install-deps.sh debian13  what `make test-debian13` takes: debootstrap
set -euo pipefail

# The releases this runs on, by the codename in /etc/os-release.
declare -A releases=([bookworm]="Debian 12 (bookworm)" [trixie]="Debian 13 (trixie)")
codename=$(. /etc/os-release 2>/dev/null && [ "${ID:-}" = debian ] && echo "${VERSION_CODENAME:-}" || true)
if [ -z "$codename" ] || [ -z "${releases[$codename]:-}" ]; then
    found=$(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-}" || true)
    echo "install-deps: ${found:-this system} is not supported; ${releases[bookworm]} and ${releases[trixie]} are" >&2
    exit 1
fi

build_packages=(
    g++ make cmake git zlib1g-dev libdeflate-dev libssl-dev
    g++-mingw-w64-i686 libz-mingw-w64-dev
    osslsigncode libengine-pkcs11-openssl python3
)
test_packages=(
    pkg-config googletest libgtest-dev libbenchmark-dev
    clang libclang-rt-dev
    g++-mingw-w64-x86-64
    wine wine32:i386 wine64 qemu-user-static
    xvfb xauth xdotool imagemagick liblnk-utils
    time openssl faketime python3 locales fonts-wqy-microhei softhsm2
)
# Wine takes the programs' code page from the locale, and only from one that
# glibc has generated: Western Europe's (1252), Cyrillic (1251) and
# Simplified Chinese (936).
test_locales=(de_DE.UTF-8 ru_RU.UTF-8 zh_CN.UTF-8)

case ${1:-all} in
build) packages=("${build_packages[@]}") ;;
all) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
debian13) packages=(debootstrap) ;;
*)
    echo "usage: install-deps.sh [build|all|debian13]" >&2
    exit 2
    ;;
esac

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi

# Generates the test locales that glibc lacks.
generate_locales() {
    [ "${1:-all}" = all ] || return 0
    local have wanted=() name
    have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z')
    for name in "${test_locales[@]}"; do
        local short=${name%.UTF-8}.utf8
        grep -qx "${short,,}" <<<"$have" || wanted+=("$name")
    done
    [ ${#wanted[@]} -ne 0 ] || return 0
    echo "install-deps: generating the locales ${wanted[*]}"
    for name in "${wanted[@]}"; do
        grep -qx "$name UTF-8" /etc/locale.gen 2>/dev/null ||
            echo "$name UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen >/dev/null
    done
    "${sudo[@]}" locale-gen >/dev/null
}

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: ${releases[$codename]}, nothing to install"
    generate_locales "${1:-all}"
    exit 0
fi

echo "install-deps: ${releases[$codename]}: installing ${missing[*]}"
if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# Another install running on the machine holds dpkg's lock for a while.
wait_lock=(-o DPkg::Lock::Timeout=600)
install=(apt-get "${wait_lock[@]}" install -y -q --no-install-recommends "${missing[@]}")
if "${sudo[@]}" apt-get "${wait_lock[@]}" update -q && "${sudo[@]}" "${install[@]}"; then
    generate_locales "${1:-all}"
    exit 0
fi
# A mirror caught mid-sync can serve one architecture's security index out of
# date; apt then cannot match the i386 libraries to the amd64 ones and gives
# up. The release and its updates alone are consistent, so try once more from
# them, with lists of their own so the system's stay as they were.
echo "install-deps: retrying from $codename and $codename-updates alone"
own=$(mktemp -d)
trap 'rm -rf "$own"' EXIT
# apt fetches as its own user, and removes from the lists folder whatever is
# not an index, so the source list sits beside it.
chmod 755 "$own"
mkdir -p "$own/lists/partial"
printf 'deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian %s main\n' \
    "$codename" "$codename-updates" >"$own/sources.list"
alone=(-o Dir::Etc::sourcelist="$own/sources.list" -o Dir::Etc::sourceparts=- -o Dir::State::Lists="$own/lists")
"${sudo[@]}" apt-get "${alone[@]}" update -q
"${sudo[@]}" apt-get "${alone[@]}" "${install[@]:1}"
generate_locales "${1:-all}"
