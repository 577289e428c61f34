#!/bin/sh
# Signs a package in a build pipeline, then checks the signature before the
# package is published, so that no client ever meets a broken one.
#   sign-package.sh PACKAGE SIGNER.pem SIGNER.key ROOTS.pem
# Writes PACKAGE.p7s beside PACKAGE: a detached CMS signature, DER, SHA-256.
set -eu
package=$1 signer=$2 key=$3 roots=$4

openssl cms -sign -binary -outform DER -md sha256 \
  -signer "$signer" -inkey "$key" -in "$package" -out "$package.p7s"

# The bytes and the chain, as a client holds them. "-purpose any": OpenSSL's
# default asks for e-mail signing; code signing is checked just below.
openssl cms -verify -binary -inform DER -in "$package.p7s" -content "$package" \
  -CAfile "$roots" -purpose any -out /dev/null
openssl x509 -in "$signer" -noout -ext extendedKeyUsage | grep -q 'Code Signing' || {
  echo "$signer does not allow code signing" >&2
  exit 1
}
