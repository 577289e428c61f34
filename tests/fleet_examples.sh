#!/usr/bin/env bash
# examples/fleet as far as it can be checked here: the playbook parses as YAML; the signing script signs and
# verifies a package with a certificate made by openssl. PowerShell and Ansible are not run.
set -euo pipefail
examples=$(cd "$(dirname "$0")/../examples/fleet" && pwd) work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -c 'import sys, yaml; yaml.safe_load(open(sys.argv[1]))' "$examples/keymason-playbook.yml"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Pipeline -addext extendedKeyUsage=codeSigning \
  -keyout "$work/signer.key" -out "$work/signer.pem" 2>/dev/null
echo '1*@*HKEY_LOCAL_MACHINE\SOFTWARE*@*Vendor*@**@*A*@*REG_SZ*@*All Users*@*x*@*' >"$work/p.reg.dat"
sh "$examples/sign-package.sh" "$work/p.reg.dat" "$work/signer.pem" "$work/signer.key" "$work/signer.pem"
test -s "$work/p.reg.dat.p7s" && echo "fleet examples: playbook parses, sign-package.sh signs and verifies"
