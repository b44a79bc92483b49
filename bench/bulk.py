"""Stored tokens in bulk: tavro-token against a plain loop over _TavroCrypt4.d1.

    python bench/bulk.py [COUNT]    (with the package installed, e.g. .venv/3.9/bin/python)

Writes COUNT (default 1,000,000) tokens of 16-byte texts to a file, then times, each as a
fresh process reading that file and writing its answers to another, best of three:
a plain Python loop that calls d1 and writes the same lines, `tavro-token decrypt --lines`,
`decrypt --lines --json` and `verify`. Prints each time and its ratio to the loop's.
"""

import os
import subprocess
import sys
import tempfile
import time

from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4

LOOP = """
import sys
from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4
d1 = _TavroCrypt4.d1
out = open(sys.stdout.fileno(), "w", encoding="utf-8", closefd=False)
for line in sys.stdin.buffer:
    out.write(d1(line.decode("ascii").strip(), "utf-8") + "\\n")
out.flush()
"""
SCRIPT = os.path.join(os.path.dirname(sys.executable), "tavro-token")
RUNS = [
    ("plain loop", [sys.executable, "-c", LOOP]),
    ("decrypt --lines", [SCRIPT, "decrypt", "--lines"]),
    ("decrypt --lines --json", [SCRIPT, "decrypt", "--lines", "--json"]),
    ("verify", [SCRIPT, "verify"]),
]


def best_of(command, tokens, repeats=3):
    fastest = float("inf")
    for _ in range(repeats):
        with open(tokens, "rb") as stdin, open(tokens + ".out", "wb") as stdout:
            start = time.perf_counter()
            # verify's exit status tells whether every token held; they all do here.
            subprocess.run(command, stdin=stdin, stdout=stdout, check=True)
            fastest = min(fastest, time.perf_counter() - start)
    return fastest


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    with tempfile.TemporaryDirectory() as folder:
        tokens = os.path.join(folder, "tokens")
        with open(tokens, "w") as file:
            file.writelines(_TavroCrypt4.e1("%016d" % number) + "\n" for number in range(count))
        baseline = None
        for name, command in RUNS:
            seconds = best_of(command, tokens)
            baseline = baseline or seconds
            print("%-24s %7.2f s  %.2fx" % (name, seconds, seconds / baseline))


if __name__ == "__main__":
    main()
