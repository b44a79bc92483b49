"""Where the instructions of one small call go, by function (valgrind's callgrind).

    python bench/profile.py SITE [--against OTHER_SITE] [CASE...]
                                                (scripts/profile builds the sites and runs this)

SITE is a folder holding an unstripped build of the package; OTHER_SITE, of an older build,
whose count per call is printed beside each case's. Each case runs a loop of its
call twice under callgrind, N and N + EXTRA times, in fresh interpreters with the same hash
seed; the difference of each function's own count, divided by EXTRA, is its cost per call,
with start-up cancelled out. Instruction counts do not depend on what else the machine is
doing, so they compare well between two builds where timings would not.
"""

import collections
import os
import re
import subprocess
import sys
import tempfile

CASES = {
    "4.e1": "k.e1(payload)",
    "4.d1": "k.d1(token)",
    "4.d1-enc": "k.d1(word_token, 'utf-8')",
    "3.e1": "c.e1(payload)",
    "3.d1": "c.d1(encoded)",
    "3.d1-padded": "c.d1(padded)",
}
LOOP = """
import sys
from tavro.libs.ciphers import tavro_crypt_3, tavro_crypt_4
c, k = tavro_crypt_3._TavroCrypt3, tavro_crypt_4._TavroCrypt4
payload = bytes(range(16))
token, word_token, encoded = k.e1(payload), k.e1("sixteen letters!"), c.e2(payload)
padded = c.e1(payload)
def run(count):
    for _ in range(count):
        {statement}
run(int(sys.argv[1]))
"""
N, EXTRA = 1000, 10000
# "  569 (1.2%)  file:function [object]", where file is a path or "???".
ROW = re.compile(r"\s*([\d,]+)\s+\([^)]*\)\s+(?:\?\?\?:|/\S*?\.\w+:)?(.+?)(?: \[(.+)\])?$")


def own_counts(site, script, count, folder):
    out = os.path.join(folder, f"callgrind.{count}")
    environment = dict(os.environ, PYTHONPATH=site, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1")
    subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            sys.executable,
            script,
            str(count),
        ],
        env=environment,
        check=True,
        capture_output=True,
    )
    annotated = subprocess.run(
        ["callgrind_annotate", "--threshold=100", out], check=True, capture_output=True, text=True
    ).stdout
    counts = collections.Counter()
    for line in annotated.splitlines():
        match = ROW.match(line)
        if match and "PROGRAM TOTALS" not in line:
            function, where = match.group(2), match.group(3) or ""
            owner = "library" if "tavro_crypt" in where else "interpreter"
            counts[owner, function.rstrip("'0123456789")] += int(match.group(1).replace(",", ""))
    return counts


def per_call(site, case):
    """Each function's instructions per call of the case's loop, and the totals by owner."""
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "loop.py")
        with open(script, "w") as file:
            file.write(LOOP.format(statement=CASES[case]))
        before = own_counts(site, script, N, folder)
        after = own_counts(site, script, N + EXTRA, folder)
    costs = {key: (after[key] - before[key]) / EXTRA for key in set(before) | set(after)}
    totals = collections.Counter()
    for (owner, _), cost in costs.items():
        totals[owner] += cost
    return costs, totals


def profile(site, case, against=None):
    costs, totals = per_call(site, case)
    total = sum(totals.values())
    beside = ""
    if against:
        _, older = per_call(against, case)
        beside = f" (older build {sum(older.values()):.0f}: {total / sum(older.values()):.3f}x)"
    print(
        f"{CASES[case]}: {total:.0f} instructions per call of the loop, "
        f"library {totals['library']:.0f}, interpreter {totals['interpreter']:.0f}{beside}"
    )
    for (owner, function), cost in sorted(costs.items(), key=lambda item: -item[1]):
        if cost >= 20:
            print(f"  {cost:6.0f}  {owner:11}  {function[:90]}")


def main():
    arguments = sys.argv[1:]
    site, against = arguments.pop(0), None
    if arguments[:1] == ["--against"]:
        against = arguments[1]
        del arguments[:2]
    for case in arguments or list(CASES):
        profile(site, case, against)


if __name__ == "__main__":
    main()
