#!/usr/bin/env bash
# examples/fleet as far as it can be checked here: Ansible's own syntax check and ansible-lint pass the playbook,
# whose modules and arguments exist in the installed collections; the signing script signs and verifies a package
# with a certificate made by openssl. PowerShell and the playbook against a machine are not run.
set -euo pipefail
examples=$(cd "$(dirname "$0")/../examples/fleet" && pwd) work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '[thin_clients]\nclient ansible_connection=winrm\n' >"$work/inventory"
ansible-playbook --syntax-check -i "$work/inventory" "$examples/keymason-playbook.yml"
(cd "$examples" && ansible-lint --offline --nocolor keymason-playbook.yml)
/usr/bin/python3 "$(dirname "$0")/fleet_playbook_modules.py" "$examples/keymason-playbook.yml"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=Pipeline -addext extendedKeyUsage=codeSigning \
  -keyout "$work/signer.key" -out "$work/signer.pem" 2>/dev/null
echo '1*@*HKEY_LOCAL_MACHINE\SOFTWARE*@*Vendor*@**@*A*@*REG_SZ*@*All Users*@*x*@*' >"$work/p.reg.dat"
sh "$examples/sign-package.sh" "$work/p.reg.dat" "$work/signer.pem" "$work/signer.key" "$work/signer.pem"
test -s "$work/p.reg.dat.p7s" && echo "fleet examples: the playbook passes ansible-playbook --syntax-check and ansible-lint with modules and arguments that exist; sign-package.sh signs and verifies"
