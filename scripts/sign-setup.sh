#!/usr/bin/env bash
# Signs setup.exe in place with an Authenticode SHA-256 signature, keeping the
# unsigned program beside it as setup-unsigned.exe. No time-stamping server
# is asked (the build has no network); the signature's time is the build's
# epoch, so the same key and inputs give the same bytes.
#
#   sign-setup.sh SETUP.EXE KEY.P12 PASSWORD_FILE EPOCH
#
# PASSWORD_FILE may be empty for a key without a password. On failure there
# is no SETUP.EXE, so an unsigned program is never shipped by mistake.
set -euo pipefail

setup=$1 key=$2 password_file=$3 epoch=$4
unsigned=${setup%.exe}-unsigned.exe
mv -f "$setup" "$unsigned"
password=(-pass "")
[ -z "$password_file" ] || password=(-readpass "$password_file")
log=$(mktemp)
trap 'rm -f "$log" "$setup.signing"' EXIT
if ! osslsigncode sign -pkcs12 "$key" "${password[@]}" -h sha256 -time "$epoch" \
    -in "$unsigned" -out "$setup.signing" >"$log" 2>&1; then
    # Its first line says what went wrong; the rest is OpenSSL's detail.
    echo "sign-setup: $key: $(head -n 1 "$log")" >&2
    exit 1
fi
# The signature is found through 32-bit file offsets.
if [ "$(stat -c %s "$setup.signing")" -ge 4294967296 ]; then
    echo "sign-setup: $setup: 4 GiB or more once signed, more than a Windows program may be" >&2
    exit 1
fi
chmod --reference="$unsigned" "$setup.signing"
mv "$setup.signing" "$setup"
