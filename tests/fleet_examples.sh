#!/usr/bin/env bash
# The fleet examples that can be checked here: the playbook is YAML that
# parses, and the signing script signs a package with a code-signing
# certificate made by openssl and refuses the package once it has changed.
# PowerShell and Ansible themselves are not run.
set -uo pipefail
examples=$(cd "$(dirname "$0")/../examples/fleet" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() { if "${@:2}" >"$work/out" 2>&1; then echo "PASS  $1"; else echo "FAIL  $1"; cat "$work/out"; failed=1; fi; }

check "playbook parses as YAML" /usr/bin/python3 -c 'import sys, yaml; yaml.safe_load(open(sys.argv[1]))' \
  "$examples/keymason-playbook.yml"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Pipeline -addext extendedKeyUsage=codeSigning \
  -keyout "$work/signer.key" -out "$work/signer.pem" >/dev/null 2>&1
printf '1*@*HKEY_LOCAL_MACHINE\\SOFTWARE*@*Vendor*@**@*A*@*REG_SZ*@*All Users*@*x*@*\r\n' >"$work/p.reg.dat"
check "sign-package.sh signs and verifies" sh "$examples/sign-package.sh" "$work/p.reg.dat" "$work/signer.pem" \
  "$work/signer.key" "$work/signer.pem"
check "sign-package.sh wrote PACKAGE.p7s" test -s "$work/p.reg.dat.p7s"
echo x >>"$work/p.reg.dat"
check "a package changed after signing does not verify" bash -c '! openssl cms -verify -binary -inform DER \
  -in "$1.p7s" -content "$1" -CAfile "$2" -purpose any -out /dev/null' _ "$work/p.reg.dat" "$work/signer.pem"
exit $failed
