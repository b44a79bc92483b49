"""Entry point: python3 tools/driver {target-test|interpreter|dist} [options]. The package and
the other helpers of tools/ are imported from tools/, the folder above this one."""

import argparse
import os
import sys

VERBS = {
    "target-test": "build the modules for each Debian target and run the suite there",
    "interpreter": "build the free-threaded CPython 3.14 and print its path",
    "dist": "make the release artefacts in dist/ and prove each",
}

if __name__ == "__main__":
    sys.path[0] = os.path.dirname(os.path.abspath(sys.path[0]))
    repo = os.path.dirname(sys.path[0])
    parser = argparse.ArgumentParser(
        prog="python3 tools/driver",
        usage="%%(prog)s {%s} [options]" % ",".join(VERBS),
        description="The build and test driver. VERB --help says what a verb takes.",
        epilog="verbs:\n" + "".join("  %-12s %s\n" % item for item in VERBS.items()),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("verb", choices=VERBS, help=argparse.SUPPRESS)
    # Only the verb is read here: the rest, --help included, is the verb's own.
    command, arguments = parser.parse_args(sys.argv[1:2]).verb, sys.argv[2:]
    if command == "target-test":
        from driver.target_test import main
    elif command == "interpreter":
        from driver.interpreter import main
    else:
        from driver.dist import main
    sys.exit(main(repo, arguments))
