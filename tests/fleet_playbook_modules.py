"""The playbook's tasks name modules of the installed collections with arguments those modules take.

ansible-lint cannot check a PowerShell module's arguments; the module's own documentation can."""
import json
import subprocess
import sys

import yaml
from ansible.playbook.task import Task

KEYWORDS = set(Task.fattributes) | {"action", "local_action"}
# Modules whose free-form text or any named variable is their argument.
FREE_FORM = {"_raw_params", "key_value"}

failures = []
tasks = [t for play in yaml.safe_load(open(sys.argv[1])) for t in play.get("tasks", [])]
for task in tasks:
    modules = [k for k in task if k not in KEYWORDS]
    if len(modules) != 1:
        failures.append(f"{task.get('name')}: modules {modules}")
        continue
    module, args = modules[0], task[modules[0]]
    doc = json.loads(subprocess.run(["ansible-doc", "-j", module], capture_output=True, text=True).stdout or "{}")
    if module not in doc:
        failures.append(f"{task.get('name')}: no module {module}")
        continue
    options = set(doc[module]["doc"].get("options", {}))
    if isinstance(args, str):
        ok = bool(options & FREE_FORM)
    else:
        ok = "key_value" in options or set(args or {}) <= options
    if not ok:
        failures.append(f"{task.get('name')}: {module} takes none of {args!r}")
for failure in failures:
    print("playbook:", failure)
print(f"playbook: {len(tasks)} tasks, modules and arguments checked")
sys.exit(1 if failures else 0)
