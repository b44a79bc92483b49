"""Writes the metadata pip leaves beside an installed package (NAME-VERSION.dist-info with
METADATA and entry_points.txt), so that a package staged by copying answers
importlib.metadata as an installed one does (`tavro-token --version` reads it).

Usage: dist_info.py PYPROJECT SITE_DIR
"""

import os
import re
import sys
import tomllib


def main(pyproject, site):
    with open(pyproject, "rb") as file:
        project = tomllib.load(file)["project"]
    name, version = project["name"], project["version"]
    folder = os.path.join(site, "%s-%s.dist-info" % (re.sub(r"[-_.]+", "_", name), version))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "METADATA"), "w", encoding="utf-8") as metadata:
        metadata.write("Metadata-Version: 2.1\nName: %s\nVersion: %s\n" % (name, version))
    scripts = project.get("scripts", {})
    with open(os.path.join(folder, "entry_points.txt"), "w", encoding="utf-8") as entries:
        entries.write("[console_scripts]\n")
        entries.writelines("%s = %s\n" % item for item in scripts.items())


if __name__ == "__main__":
    main(*sys.argv[1:])
