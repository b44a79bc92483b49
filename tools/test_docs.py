"""Every relative link and every repository path the README and docs/*.md name must exist."""
import fnmatch
import glob
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCUMENTS = ["README.md"] + sorted(
    os.path.relpath(path, ROOT) for path in glob.glob(os.path.join(ROOT, "docs", "*.md")))

FENCED = re.compile(r"^```.*?^```", re.M | re.S)
CODE = re.compile(r"`([^`]+)`")
LINK = re.compile(r"\]\(([^)\s]+)\)")


def top_level_names():
    """The repository's own top-level files and folders: not those .gitignore leaves out
    (`build`, `.venv`, `dist`, made at run time)."""
    with open(os.path.join(ROOT, ".gitignore"), encoding="utf-8") as source:
        ignored = [line.strip().rstrip("/") for line in source if line.strip()]
    return {name for name in os.listdir(ROOT)
            if name != ".git" and not any(fnmatch.fnmatch(name, pattern) for pattern in ignored)}


def named_paths(text, top_level):
    """Words of code spans and code blocks that start with a top-level name: `scripts/test`,
    `bash scripts/test`, `libs/native/utf8.hpp:22`, but not `tavro.libs.ciphers` or
    `$TAVRO_TARGET_CACHE/interpreters`."""
    code = FENCED.findall(text) + CODE.findall(FENCED.sub("", text))
    for word in " ".join(code).split():
        path = re.sub(r":\d+$", "", word).rstrip("/")
        if path.split("/")[0] in top_level:
            yield path


@pytest.mark.parametrize("document", DOCUMENTS)
def test_links_and_paths_exist(document):
    with open(os.path.join(ROOT, document), encoding="utf-8") as source:
        text = source.read()
    folder = os.path.dirname(os.path.join(ROOT, document))
    targets = [os.path.join(folder, link.partition("#")[0]) for link in LINK.findall(text)
               if link.partition("#")[0] and not re.match(r"[a-z]+:", link)]
    targets += [os.path.join(ROOT, path) for path in named_paths(text, top_level_names())]
    missing = sorted({os.path.relpath(target, ROOT) for target in targets if not glob.glob(target)})
    assert not missing, "named but missing: " + ", ".join(missing)
