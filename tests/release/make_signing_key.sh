#!/usr/bin/env bash
# Makes a throwaway code-signing key for the signing tests: a CA (DIR/ca.pem)
# and a certificate it issued for code signing, with its key, in
# DIR/signer.p12 under the password in DIR/password (and as signer.key and
# chain.pem for a token), and a time-stamping authority's tsa.key and tsa.pem
# under a CA of its own, tsa-ca.pem. Made at test time, so no key is ever
# kept in the repository.
#
#   make_signing_key.sh DIR
set -euo pipefail

dir=$1
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 -subj "/CN=Throwaway Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=Throwaway Test Publisher" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -set_serial 2 -days 3650 -extfile signer.ext \
    -out signer.pem 2>/dev/null
printf 'throwaway-%s\n' "$RANDOM$RANDOM" >password
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile ca.pem -passout file:password -out signer.p12
cat signer.pem ca.pem >chain.pem
openssl req -x509 -newkey rsa:2048 -nodes -keyout tsa-ca.key -out tsa-ca.pem -days 3650 -subj "/CN=Throwaway TSA CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout tsa.key -out tsa.pem -days 3650 -subj "/CN=Throwaway TSA" \
    -CA tsa-ca.pem -CAkey tsa-ca.key -addext basicConstraints=CA:FALSE -addext extendedKeyUsage=critical,timeStamping \
    2>/dev/null
rm -f ca.key tsa-ca.key signer.csr signer.ext
