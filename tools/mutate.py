"""Mutation testing of the libraries' C++: how many small faults the test suite catches.

Each mutant changes one place of frame/ or libs/ (a comparison, an arithmetic or logical
operator, a constant, a condition's negation, a deleted statement). The mutants are drawn
from all such places with a seed, so a run can be repeated. Each one is built in a copy of
the checkout (build/mutate/), installed into that copy's venv and run against the copy's
suite (as it was when the run began), which stops at its first failure:

- killed: the suite failed (or ran past the time allowed);
- survived: the suite passed;
- equivalent: the libraries it builds are byte for byte the original ones (the line is
  not compiled for this interpreter, or the compiler made the same code of it), or it
  passed and tools/equivalent_mutants.txt shows why no test can tell it from the original;
- stillborn: it does not compile.

Usage: mutate.py [--seed S] [--count N] [--minutes M] [--timeout T] [--python X.Y]
                 [--list] [pytest args...]
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = (
    "frame",
    "libs/ciphers",
    "libs/ciphers/tavro_crypt_3",
    "libs/ciphers/tavro_crypt_4",
    "libs/native",
)
EQUIVALENT = os.path.join(ROOT, "tools", "equivalent_mutants.txt")

# (pattern, replacement): operators need spaces around them, which tells a comparison from
# a template's brackets and a product from a pointer.
OPERATORS = [
    (r"==", "!="),
    (r"!=", "=="),
    (r" < ", " <= "),
    (r" <= ", " < "),
    (r" > ", " >= "),
    (r" >= ", " > "),
    (r" && ", " || "),
    (r" \|\| ", " && "),
    (r" \+ ", " - "),
    (r" - ", " + "),
    (r" \* ", " / "),
    (r"\btrue\b", "false"),
    (r"\bfalse\b", "true"),
    (r"!(?=[\w(])", ""),
]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
STRING = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'')
# Lines that declare rather than do: deleting them only fails the build.
DECLARATION = re.compile(
    r"^(auto|const|constexpr|static|using|struct|class|template|typedef|"
    r"namespace|enum|return|case|default|public|private|extern)\b"
    r"|^[A-Za-z_][\w:<>,]*[\s*&]+[A-Za-z_]\w*\s*[=;{\[(]"
)


class Mutant:
    def __init__(self, path, line, original, mutated, kind):
        self.path, self.line, self.original, self.mutated, self.kind = (
            path,
            line,
            original,
            mutated,
            kind,
        )

    def key(self):
        """What names a mutant in the list of equivalent ones: its place and the line before
        and after. An edit that moves the line retires the entry, to be checked again."""
        return f"{self.path}:{self.line} | {self.original.strip()} | {self.mutated.strip()}"

    def __str__(self):
        shown = self.original if self.kind == "deleted" else self.mutated
        return f"{self.path}:{self.line} {self.kind}: {shown.strip()}"


def code_spans(text):
    """The parts of a line that are code: not inside a string or character literal, and
    before any comment."""
    blanked = STRING.sub(lambda match: " " * len(match.group()), text)
    cut = blanked.find("//")
    return blanked if cut < 0 else blanked[:cut]


def mutants_of(path, lines):
    in_comment = False
    previous = ";"
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_comment:
            in_comment = "*/" not in stripped
            continue
        if stripped.startswith("/*"):
            in_comment = "*/" not in stripped
            continue
        # The line constants are held to the rendering one by one by tests/test_line_map.py.
        if (
            not stripped
            or stripped.startswith(("#", "//"))
            or "GCOVR_EXCL" in line
            or stripped.startswith("constexpr int line_")
        ):
            continue
        code = code_spans(line)
        for pattern, replacement in OPERATORS:
            for match in re.finditer(pattern, code):
                mutated = line[: match.start()] + replacement + line[match.end() :]
                yield Mutant(path, number, line, mutated, "operator")
        for match in NUMBER.finditer(code):
            value = int(match.group(1))
            for other in {value + 1, 1 - value if value < 2 else value - 1}:
                mutated = line[: match.start()] + str(other) + line[match.end() :]
                yield Mutant(path, number, line, mutated, "constant")
        if (
            stripped.endswith(";")
            and not stripped.startswith("}")
            and previous.endswith((";", "{", "}", ":"))
            and not DECLARATION.match(stripped)
        ):
            indent = line[: len(line) - len(line.lstrip())]
            yield Mutant(path, number, line, indent + ";\n", "deleted")
        previous = code.strip() or previous


def all_mutants():
    found = []
    for folder in SOURCES:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if name.endswith((".cpp", ".hpp")):
                path = f"{folder}/{name}"
                with open(os.path.join(ROOT, path)) as file:
                    found.extend(mutants_of(path, file.readlines()))
    return found


def equivalent_keys():
    keys = {}
    with open(EQUIVALENT) as file:
        for line in file:
            if line.strip() and not line.startswith("#"):
                key, _, reason = line.rstrip("\n").partition(" # ")
                keys[key.strip()] = reason.strip()
    return keys


def run(command, timeout, **options):
    """Runs a command; returns its exit status, or None when it ran out of time."""
    try:
        return subprocess.run(
            command,
            timeout=timeout,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            **options,
        ).returncode
    except subprocess.TimeoutExpired:
        return None


def same_contents(first, second):
    with open(first, "rb") as one, open(second, "rb") as other:
        return one.read() == other.read()


def prepare(version):
    """A copy of the tracked files in build/mutate/, built and installed into its own venv.
    Returns (copy, venv, the CMake build folder)."""
    copy = os.path.join(ROOT, "build", "mutate", "src")
    files = (
        subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, capture_output=True)
        .stdout.decode()
        .split("\0")
    )
    for name in filter(None, files):
        source, target = os.path.join(ROOT, name), os.path.join(copy, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # A changed file gets a new time, so that the build sees it (a run cut short leaves
        # a mutant in the copy).
        if not os.path.exists(target) or not same_contents(source, target):
            shutil.copy(source, target)
    venv = os.path.join(ROOT, ".venv", f"mutate-{version}")
    env = dict(
        os.environ,
        TAVRO_PYTHON_VERSION=version,
        TAVRO_VENV=venv,
        SKBUILD_BUILD_DIR="build/mutate-{wheel_tag}",
        SKBUILD_INSTALL_STRIP="false",
    )
    subprocess.run(
        ["bash", os.path.join(copy, "scripts", "venv"), "test"],
        env=env,
        check=True,
        stdout=subprocess.DEVNULL,
    )
    tag = "cp" + version.replace(".", "")
    build = next(
        os.path.join(copy, "build", name)
        for name in os.listdir(os.path.join(copy, "build"))
        if name.startswith(f"mutate-{tag}-")
    )
    return copy, venv, build


def built_libraries(build):
    """The contents of the libraries in the build folder."""
    found = {}
    for name in sorted(os.listdir(build)):
        if name.startswith("tavro_crypt_") and name.endswith(".so"):
            with open(os.path.join(build, name), "rb") as file:
                found[name] = file.read()
    return found


def site_packages(venv):
    return subprocess.run(
        [
            os.path.join(venv, "bin", "python"),
            "-c",
            "import sysconfig; print(sysconfig.get_paths()['purelib'])",
        ],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--count", type=int, default=60, help="mutants to try")
    parser.add_argument(
        "--minutes", type=float, default=60, help="try no new mutant after this long"
    )
    parser.add_argument(
        "--timeout",
        type=float,
        default=300,
        help="seconds one mutant's suite may take before it counts as killed",
    )
    parser.add_argument("--python", default="3.9")
    parser.add_argument("--list", action="store_true", help="print the drawn mutants and stop")
    parser.add_argument(
        "--only",
        type=lambda text: [int(n) for n in text.split(",")],
        help="try only these of the drawn mutants (numbers as --list shows)",
    )
    arguments, pytest_arguments = parser.parse_known_args()

    candidates = all_mutants()
    drawn = random.Random(arguments.seed).sample(candidates, min(arguments.count, len(candidates)))
    print(f"{len(drawn)} of {len(candidates)} mutants, seed {arguments.seed}", flush=True)
    numbered = list(enumerate(drawn, 1))
    if arguments.only:
        numbered = [(index, mutant) for index, mutant in numbered if index in arguments.only]
    if arguments.list:
        for index, mutant in numbered:
            print(f"[{index}] {mutant}")
        return 0

    equivalent = equivalent_keys()
    copy, venv, build = prepare(arguments.python)
    cmake = os.path.join(venv, "bin", "cmake")
    prefix = site_packages(venv)
    original = built_libraries(build)
    pytest = [
        os.path.join(venv, "bin", "pytest"),
        "-x",
        "-q",
        "-p",
        "no:cacheprovider",
        *pytest_arguments,
    ]
    tally = {"killed": 0, "survived": 0, "equivalent": 0, "stillborn": 0}
    survivors = []
    start = time.monotonic()
    for index, mutant in numbered:
        if time.monotonic() - start > arguments.minutes * 60:
            print(f"time is up before mutant {index}", flush=True)
            break
        source = os.path.join(copy, mutant.path)
        with open(source) as file:
            lines = file.readlines()
        lines[mutant.line - 1] = mutant.mutated
        with open(source, "w") as file:
            file.writelines(lines)
        try:
            built = (
                run([cmake, "--build", build, "-j", "2"], 600) == 0
                and run([cmake, "--install", build, "--prefix", prefix], 60) == 0
            )
            if not built:
                outcome = "stillborn"
            elif built_libraries(build) == original:
                outcome = "equivalent"
            else:
                status = run(pytest, arguments.timeout, cwd=copy)
                if status != 0:
                    outcome = "killed"
                elif mutant.key() in equivalent:
                    outcome = "equivalent"
                else:
                    outcome = "survived"
                    survivors.append(mutant)
        finally:
            lines[mutant.line - 1] = mutant.original
            with open(source, "w") as file:
                file.writelines(lines)
        tally[outcome] += 1
        print(
            f"[{index}/{len(drawn)} {time.monotonic() - start:5.0f}s] {outcome:<10} {mutant}",
            flush=True,
        )
    # The copy's libraries back to the original, for the next run.
    run([cmake, "--build", build, "-j", "2"], 600)
    run([cmake, "--install", build, "--prefix", prefix], 60)

    tried = sum(tally.values())
    scored = tally["killed"] + tally["survived"]
    print(
        f"\n{tried} tried: {tally['killed']} killed, {tally['survived']} survived, "
        f"{tally['equivalent']} equivalent, {tally['stillborn']} stillborn, "
        f"{time.monotonic() - start:.0f} s, seed {arguments.seed}"
    )
    if scored:
        print(f"score: {100 * tally['killed'] / scored:.1f}% of the non-equivalent mutants killed")
    for mutant in survivors:
        print(f"survived: {mutant.key()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
