"""Writes a project's console scripts, like the ones pip writes, for a given interpreter.

Usage: console_scripts.py PYPROJECT BIN_DIR PYTHON

Each [project.scripts] entry becomes BIN_DIR/NAME, a script that runs PYTHON on the entry's
function. Runs on Python 3.9 and later.
"""

import os
import sys

try:
    import tomllib
except ImportError:  # before 3.11; pytest brings the toml package along
    import toml as tomllib

SCRIPT = """#!{python}
import importlib
import sys

target = importlib.import_module({module!r})
for part in {attribute!r}.split("."):
    target = getattr(target, part)
sys.exit(target())
"""


def main(project, bin_dir, python):
    with open(project, encoding="utf-8") as file:
        scripts = tomllib.loads(file.read()).get("project", {}).get("scripts", {})
    os.makedirs(bin_dir, exist_ok=True)
    for name, target in scripts.items():
        module, _, attribute = target.split()[0].partition(":")
        path = os.path.join(bin_dir, name)
        with open(path, "w") as script:
            script.write(SCRIPT.format(python=python, module=module, attribute=attribute))
        os.chmod(path, 0o755)


if __name__ == "__main__":
    main(*sys.argv[1:])
