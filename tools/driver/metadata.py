"""Package metadata: what pyproject.toml says of the project, written as pip leaves it beside
an installed package (NAME-VERSION.dist-info with METADATA and entry_points.txt) and as the
console scripts pip writes, for every copy of the package that pip does not install: the
staged target runs, the Debian package, the wheels built in Debian trees.

Runs on Python 3.9 (Debian 11's python3) and later, with the standard library alone.
"""

import argparse
import ast
import os
import re
import sys

try:
    import tomllib
except ImportError:  # before 3.11
    tomllib = None

SCRIPT = """#!{python}
import importlib
import sys

target = importlib.import_module({module!r})
for part in {attribute!r}.split("."):
    target = getattr(target, part)
sys.exit(target())
"""


def parse_plain_toml(text):
    """The part of TOML this project's pyproject.toml uses in the tables read here: [table]
    headers, and keys whose values are strings or one-line lists of strings. Anything else
    is left out, so a value this cannot read is missing rather than wrong."""
    tables, table = {}, {}
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        header = re.fullmatch(r"\[([A-Za-z0-9_.\-]+)\]", line)
        if header:
            table = tables
            for part in header.group(1).split("."):
                table = table.setdefault(part, {})
            continue
        entry = re.fullmatch(r'("?)([A-Za-z0-9_.\-]+)\1\s*=\s*(".*"|\[.*\])', line)
        if entry:
            try:
                table[entry.group(2)] = ast.literal_eval(entry.group(3))
            except (SyntaxError, ValueError):
                pass
    return tables


def read_project(pyproject):
    with open(pyproject, encoding="utf-8") as file:
        text = file.read()
    tables = tomllib.loads(text) if tomllib else parse_plain_toml(text)
    return tables["project"]


def dist_info_name(project):
    return "%s-%s.dist-info" % (re.sub(r"[-_.]+", "_", project["name"]), project["version"])


def metadata_text(project):
    lines = ["Metadata-Version: 2.1", "Name: " + project["name"], "Version: " + project["version"]]
    if "requires-python" in project:
        lines.append("Requires-Python: " + project["requires-python"])
    lines += ["Requires-Dist: " + requirement for requirement in project.get("dependencies", [])]
    return "\n".join(lines) + "\n"


def entry_points_text(project):
    scripts = project.get("scripts", {})
    return "[console_scripts]\n" + "".join("%s = %s\n" % item for item in scripts.items())


def write_dist_info(pyproject, site, installer=None):
    """Writes the metadata folder into SITE; returns its path."""
    project = read_project(pyproject)
    folder = os.path.join(site, dist_info_name(project))
    os.makedirs(folder, exist_ok=True)
    files = {"METADATA": metadata_text(project), "entry_points.txt": entry_points_text(project)}
    if installer:
        files["INSTALLER"] = installer + "\n"
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as file:
            file.write(text)
    return folder


def write_scripts(pyproject, bin_dir, python):
    """Each [project.scripts] entry becomes BIN_DIR/NAME, running PYTHON on its function."""
    os.makedirs(bin_dir, exist_ok=True)
    for name, target in read_project(pyproject).get("scripts", {}).items():
        module, _, attribute = target.split()[0].partition(":")
        path = os.path.join(bin_dir, name)
        with open(path, "w", encoding="utf-8") as script:
            script.write(SCRIPT.format(python=python, module=module, attribute=attribute))
        os.chmod(path, 0o755)


def main(argv):
    parser = argparse.ArgumentParser(prog="metadata.py", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    version = commands.add_parser("version", help="print the project's version")
    version.add_argument("pyproject", metavar="PYPROJECT")
    dist_info = commands.add_parser("dist-info", help="write SITE_DIR/NAME-VERSION.dist-info")
    dist_info.add_argument("pyproject", metavar="PYPROJECT")
    dist_info.add_argument("site_dir", metavar="SITE_DIR")
    dist_info.add_argument(
        "installer",
        nargs="?",
        metavar="INSTALLER",
        help="the tool the INSTALLER file names (default: no such file)",
    )
    scripts = commands.add_parser("scripts", help="write the console scripts into BIN_DIR")
    scripts.add_argument("pyproject", metavar="PYPROJECT")
    scripts.add_argument("bin_dir", metavar="BIN_DIR")
    scripts.add_argument("python", metavar="PYTHON", help="the interpreter the scripts run")
    options = parser.parse_args(argv)
    if options.command == "version":
        print(read_project(options.pyproject)["version"])
    elif options.command == "dist-info":
        write_dist_info(options.pyproject, options.site_dir, options.installer)
    else:
        write_scripts(options.pyproject, options.bin_dir, options.python)


if __name__ == "__main__":
    main(sys.argv[1:])
