#!/usr/bin/env bash
# Makes the self-test's certificates and detached signatures, fresh at every
# build: a test root, the publishers it trusts (RSA and EC P-256), an impostor
# under the RSA publisher's own issuer and serial, a stranger from a root of
# its own, and one signature per form over a fixed content. Only certificates
# and signatures are kept; the private keys are removed.
#
#   make_signatures.sh OUT_DIR
set -euo pipefail
out=$1
keys=$(mktemp -d)
# openssl's chatter goes to a log, shown only when something failed.
trap 'status=$?; [ $status -eq 0 ] || cat "$keys/openssl.log" >&2; rm -rf "$keys"' EXIT
exec 2>"$keys/openssl.log"
mkdir -p "$out"
days=3650  # a pilot run may come long after the build

root() {  # name subject
  openssl req -x509 -newkey rsa:2048 -nodes -days $days -subj "/CN=$2" -keyout "$keys/$1.key" \
    -out "$keys/$1.pem" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign
}
leaf() {  # name issuer subject serial key-options...
  openssl req -x509 "${@:5}" -nodes -days $days -subj "/CN=$3" -keyout "$keys/$1.key" -out "$keys/$1.pem" \
    -CA "$keys/$2.pem" -CAkey "$keys/$2.key" -set_serial "$4" -addext extendedKeyUsage=codeSigning \
    -addext basicConstraints=critical,CA:FALSE -addext keyUsage=critical,digitalSignature
}
sign() {  # form signer [openssl cms options]
  openssl cms -sign -binary -outform DER -md sha256 -in "$out/content.bin" -out "$out/$1.p7s" \
    -signer "$keys/$2.pem" -inkey "$keys/$2.key" "${@:3}"
}

printf 'Keymason self-test content, signed at build time.\r\n' >"$out/content.bin"
root root "Keymason Self-Test Root"
root stranger-root "Keymason Self-Test Stranger Root"
leaf publisher root "Keymason Self-Test Publisher" 0x1001 -newkey rsa:2048
leaf impostor root "Keymason Self-Test Publisher" 0x1001 -newkey rsa:2048
leaf ec-publisher root "Keymason Self-Test EC Publisher" 0x1002 -newkey ec -pkeyopt ec_paramgen_curve:P-256
# A longer key than the publisher's: the signers are a DER set, sorted by
# their encoding, so the stranger's longer entry comes second.
leaf stranger stranger-root "Keymason Self-Test Stranger" 0x1003 -newkey rsa:3072

sign rsa publisher
sign pss publisher -keyopt rsa_padding_mode:pss
sign ec ec-publisher
sign keyid publisher -keyid
sign two publisher -signer "$keys/stranger.pem" -inkey "$keys/stranger.key"
sign impostor impostor
# The two signers in the order they were written, the publisher first.
first=$(openssl cms -cmsout -print -inform DER -in "$out/two.p7s" | grep -A3 'd.issuerAndSerialNumber' |
  grep -m1 -o 'serialNumber: .*')
[ "$first" = "serialNumber: 4097" ] || { echo "two.p7s: the publisher is not the first signer ($first)"; exit 1; }

for cert in root publisher ec-publisher; do openssl x509 -in "$keys/$cert.pem" -outform DER -out "$out/$cert.cer"; done
