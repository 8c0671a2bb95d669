#!/usr/bin/env bash
# Signing setup.exe with a throwaway key made here: the signature verifies
# against its CA, the unsigned program is kept beside the signed one, the
# same key gives the same bytes, and one byte changed inside the payload
# resource makes verification fail.
#
#   signing_test.sh SETUP.EXE PAYLOAD WORK
set -uo pipefail

setup=$1 payload=$2 work=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

"$root/tests/release/make_signing_key.sh" "$work/key" || exit 1
sign() {
    cp "$setup" "$work/$1.exe"
    "$root/scripts/sign-setup.sh" "$work/$1.exe" "$work/key/signer.p12" "$work/key/password" 1700000000
}
verify() {
    osslsigncode verify -CAfile "$work/key/ca.pem" -in "$1" >"$1.verify.txt" 2>&1
}

sign setup || fail "signing failed"
cmp -s "$setup" "$work/setup-unsigned.exe" || fail "setup-unsigned.exe is not the program as built"
verify "$work/setup.exe" || fail "the signed setup.exe does not verify: $(tail -n 3 "$work/setup.exe.verify.txt")"
sign again && cmp -s "$work/setup.exe" "$work/again.exe" || fail "the same key gave other bytes"

# The payload sits in the program whole, as the resource's data.
offset=$(perl -e 'local $/; open(F, "<:raw", $ARGV[0]) or die; my $exe = <F>; open(P, "<:raw", $ARGV[1]) or die;
    my $payload = <P>; print index($exe, $payload) + int(length($payload) / 2);' "$work/setup.exe" "$payload")
if [ "$offset" -lt 0 ]; then
    fail "the payload is not inside the signed setup.exe"
else
    cp "$work/setup.exe" "$work/tampered.exe"
    byte=$(od -An -tu1 -j "$offset" -N1 "$work/tampered.exe" | tr -d ' ')
    printf "\\$(printf %03o $((byte ^ 1)))" | dd of="$work/tampered.exe" bs=1 seek="$offset" conv=notrunc status=none
    cmp -s "$work/setup.exe" "$work/tampered.exe" && fail "the byte at $offset was not changed"
    if verify "$work/tampered.exe"; then
        fail "a changed byte in the payload at $offset still verifies"
    else
        echo "changed byte $offset of $(stat -c %s "$work/tampered.exe"): $(grep -m1 -i 'digest\|failed' "$work/tampered.exe.verify.txt")"
    fi
fi

[ "$failures" -eq 0 ] || exit 1
rm -rf "$work"
echo "signing: passed"
