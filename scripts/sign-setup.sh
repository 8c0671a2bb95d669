#!/usr/bin/env bash
# Signs setup.exe in place with an Authenticode SHA-256 signature, keeping the
# unsigned program beside it as setup-unsigned.exe. The key is a PKCS#12
# file, a key on a token or HSM reached through its PKCS#11 module, or the
# maker's own command; with time-stamping servers the signature gets an
# RFC 3161 time stamp from the first that answers. Without them the
# signature's time is the build's epoch, so the same key and inputs give the
# same bytes.
#
#   sign-setup.sh check SETTINGS         refuses settings that cannot sign
#   sign-setup.sh sign SETUP.EXE SETTINGS
#   sign-setup.sh SETUP.EXE KEY.P12 PASSWORD_FILE EPOCH
#
# SETTINGS holds shell assignments (the build writes them): pkcs12,
# pkcs11_module, key, certs, password_file, timestamp_url (the servers,
# space-separated), command, epoch. The last form signs with a PKCS#12 file
# and no time stamp; PASSWORD_FILE may be empty for a key without one.
# Every refusal is one line naming the make variable or file. On failure
# there is no SETUP.EXE, so an unsigned program is never shipped by mistake.
set -euo pipefail

here=$(dirname "$(readlink -f "$0")")
# Seconds a time-stamping server has to answer before the next is asked.
timestamp_seconds=60

refuse() {
    echo "sign-setup: $*" >&2
    exit 1
}

# Refuses settings that name no way of signing, two at once, or a file that
# is not there.
check_settings() {
    local ways=() name file
    for name in SIGN_PKCS12 SIGN_PKCS11_MODULE SIGN_COMMAND; do
        [ -z "${!name}" ] || ways+=("$name")
    done
    [ ${#ways[@]} -le 1 ] || refuse "${ways[*]}: ${#ways[@]} ways of signing at once; give one"
    if [ ${#ways[@]} -eq 0 ]; then
        for name in SIGN_KEY SIGN_CERTS SIGN_PASSWORD_FILE SIGN_TIMESTAMP_URL; do
            [ -z "${!name}" ] ||
                refuse "$name is set but nothing is signed: give SIGN_PKCS12, SIGN_PKCS11_MODULE or SIGN_COMMAND"
        done
    fi
    if [ -n "$pkcs11_module" ]; then
        [ -n "$key" ] || refuse "SIGN_PKCS11_MODULE needs SIGN_KEY, the pkcs11: URI of the key on the token"
        [ -n "$certs" ] ||
            refuse "SIGN_PKCS11_MODULE needs SIGN_CERTS, the PEM file of the signing certificate and its chain"
        [[ $key == pkcs11:* ]] || refuse "SIGN_KEY $key: not a pkcs11: URI"
    else
        for name in SIGN_KEY SIGN_CERTS; do
            [ -z "${!name}" ] || refuse "$name is for a key on a token: give SIGN_PKCS11_MODULE too"
        done
    fi
    [ -z "$command" ] || [ -z "$password_file" ] ||
        refuse "SIGN_PASSWORD_FILE is not for SIGN_COMMAND, which signs by itself"
    for name in SIGN_PKCS12 SIGN_PKCS11_MODULE SIGN_CERTS SIGN_PASSWORD_FILE; do
        file=${!name}
        [ -z "$file" ] || [ -f "$file" ] || refuse "$name $file: no such file"
        [ -z "$file" ] || [ -r "$file" ] || refuse "$name $file: cannot be read"
    done
}

# One line that says why osslsigncode, whose output is in LOG, did not sign:
# the first of these that it said, most specific first, or its first line
# (the rest is OpenSSL's detail).
signing_failure() {
    local log=$1 i known=(
        "load 'pkcs11' engine"
        "SIGN_PKCS11_MODULE $pkcs11_module: osslsigncode finds no OpenSSL PKCS#11 engine (libengine-pkcs11-openssl)"
        "Unable to load module" "SIGN_PKCS11_MODULE $pkcs11_module: not a PKCS#11 module that loads"
        "PIN incorrect" "SIGN_PASSWORD_FILE $password_file: the token refused this PIN"
        "PIN locked" "SIGN_PASSWORD_FILE $password_file: the token has locked its PIN"
        "Login failed" "SIGN_PASSWORD_FILE ${password_file:-(none)}: logging in to the token failed"
        "No matching initialized token" "SIGN_KEY $key: no token of SIGN_PKCS11_MODULE $pkcs11_module matches it"
        "private key was not found" "SIGN_KEY $key: the token holds no such key"
        "key values mismatch" "SIGN_CERTS $certs: its certificate is not the one of SIGN_KEY $key"
    )
    for ((i = 0; i < ${#known[@]}; i += 2)); do
        ! grep -q -- "${known[i]}" "$log" || refuse "${known[i + 1]}"
    done
    if [ -n "$pkcs12" ]; then
        refuse "SIGN_PKCS12 $pkcs12: $(grep -v '^$' "$log" | head -n 1)"
    fi
    refuse "SIGN_KEY $key: $(grep -v '^$' "$log" | head -n 1)"
}

# Signs UNSIGNED into SIGNED with the key of the settings.
sign_with_key() {
    local unsigned=$1 signed=$2 log=$3 from password=() time=()
    if [ -n "$pkcs12" ]; then
        from=(-pkcs12 "$pkcs12")
        password=(-pass "")
    else
        from=(-pkcs11module "$pkcs11_module" -key "$key" -certs "$certs")
    fi
    [ -z "$password_file" ] || password=(-readpass "$password_file")
    # A time stamp names the moment of signing; without one the build's
    # epoch keeps the signed file reproducible.
    [ -n "$timestamp_url" ] || time=(-time "$epoch")
    osslsigncode sign "${from[@]}" "${password[@]}" -h sha256 "${time[@]}" -in "$unsigned" -out "$signed" \
        </dev/null >"$log" 2>&1 || signing_failure "$log"
}

# Hands a copy of UNSIGNED to the maker's command, which signs it in place,
# and takes it as SIGNED only when it is that program with a signature.
sign_with_command() {
    local unsigned=$1 signed=$2 log=$3 status=0
    cp "$unsigned" "$signed"
    sh -c "$command"' "$1"' sign-command "$signed" || status=$?
    [ "$status" -eq 0 ] || refuse "SIGN_COMMAND $command: exited with status $status"
    [ -f "$signed" ] || refuse "SIGN_COMMAND $command: left no $signed"
    python3 "$here/signed_program.py" same "$unsigned" "$signed" 2>"$log" && return
    local said
    said=$(cat "$log")
    refuse "SIGN_COMMAND $command: setup.exe ${said#"$signed: "}"
}

# Puts an RFC 3161 time stamp on SIGNED's signature from the first server of
# the settings that answers.
add_timestamp() {
    local signed=$1 log=$2 url
    for url in $timestamp_url; do
        rm -f "$signed.stamped"
        if timeout "$timestamp_seconds" osslsigncode add -h sha256 -ts "$url" -in "$signed" -out "$signed.stamped" \
            </dev/null >"$log" 2>&1; then
            mv -f "$signed.stamped" "$signed"
            return 0
        fi
    done
    refuse "SIGN_TIMESTAMP_URL $timestamp_url: no time-stamping server answered"
}

pkcs12='' pkcs11_module='' key='' certs='' password_file='' timestamp_url='' command='' epoch=''
mode=${1:-}
case $mode in
check) [ $# -eq 2 ] && settings=$2 ;;
sign) [ $# -eq 3 ] && setup=$2 settings=$3 ;;
*.exe) [ $# -eq 4 ] && mode=sign setup=$1 pkcs12=$2 password_file=$3 epoch=$4 settings=/dev/null ;;
esac
if [ -z "${settings:-}" ]; then
    echo "usage: sign-setup.sh check SETTINGS | sign SETUP.EXE SETTINGS | SETUP.EXE KEY.P12 PASSWORD_FILE EPOCH" >&2
    exit 2
fi
# shellcheck source=/dev/null
. "$settings"
SIGN_PKCS12=$pkcs12 SIGN_PKCS11_MODULE=$pkcs11_module SIGN_KEY=$key SIGN_CERTS=$certs
SIGN_PASSWORD_FILE=$password_file SIGN_TIMESTAMP_URL=$timestamp_url SIGN_COMMAND=$command
check_settings
[ "$mode" = sign ] || exit 0

unsigned=${setup%.exe}-unsigned.exe
mv -f "$setup" "$unsigned"
work=$(mktemp -d "${setup%.exe}.signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
signed=$work/setup.exe log=$work/log
if [ -n "$command" ]; then
    sign_with_command "$unsigned" "$signed" "$log"
else
    sign_with_key "$unsigned" "$signed" "$log"
fi
# A maker's command may time-stamp by itself; its stamp is kept.
if ! python3 "$here/signed_program.py" timestamped "$signed" 2>/dev/null; then
    if [ -n "$timestamp_url" ]; then
        add_timestamp "$signed" "$log"
        python3 "$here/signed_program.py" timestamped "$signed" 2>"$log" ||
            refuse "SIGN_TIMESTAMP_URL $timestamp_url: $(cat "$log")"
    else
        echo "sign-setup: note: no time stamp (SIGN_TIMESTAMP_URL), so Windows stops trusting this signature" \
            "when its certificate expires"
    fi
fi
# The signature is found through 32-bit file offsets.
if [ "$(stat -c %s "$signed")" -ge 4294967296 ]; then
    refuse "$setup: 4 GiB or more once signed, more than a Windows program may be"
fi
chmod --reference="$unsigned" "$signed"
mv "$signed" "$setup"
