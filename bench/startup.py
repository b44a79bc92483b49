"""Start-up time of the tavro-token command, per subcommand, against a bare interpreter.

    python bench/startup.py [REPEATS]    (with the package installed, e.g. .venv/3.9/bin/python)

Runs each command REPEATS times (default 20) as a fresh process, both as `python -m` and as
the installed console script, and prints the best wall time of each with its ratio to
`python -c pass` measured in the same run.
"""

import os
import subprocess
import sys
import time

from tavro.libs.ciphers.tavro_crypt_4 import _TavroCrypt4

TOKEN = _TavroCrypt4.e1("hello")
COMMANDS = [
    ["encode", "hello"],
    ["decode", "aGVsbG8"],
    ["encrypt", "hello"],
    ["decrypt", TOKEN],
    ["inspect", TOKEN],
    ["--version"],
]
SCRIPT = os.path.join(os.path.dirname(sys.executable), "tavro-token")


def best(command, repeats):
    fastest = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        # From "/", so that python -m finds the installed package rather than a checkout.
        subprocess.run(command, cwd="/", stdout=subprocess.DEVNULL, check=True)
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    baseline = best([sys.executable, "-c", "pass"], repeats)
    print(
        "CPython %s, best of %d; ratio = time / time of `python -c pass` (%.1f ms)"
        % (sys.version.split()[0], repeats, baseline * 1e3)
    )
    print()
    print("| command | `python -m tavro.libs.ciphers` | ratio | `tavro-token` | ratio |")
    print("|---|---|---|---|---|")
    for arguments in COMMANDS:
        module = best([sys.executable, "-m", "tavro.libs.ciphers"] + arguments, repeats)
        script = best([SCRIPT] + arguments, repeats)
        print(
            "| `%s` | %.1f ms | %.1fx | %.1f ms | %.1fx |"
            % (arguments[0], module * 1e3, module / baseline, script * 1e3, script / baseline)
        )


if __name__ == "__main__":
    main()
