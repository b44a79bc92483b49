"""Entry point: python3 tools/driver {target-test|interpreter|dist} [options]. The package and
the other helpers of tools/ are imported from tools/, the folder above this one."""

import os
import sys

VERBS = ("target-test", "interpreter", "dist")

if __name__ == "__main__":
    sys.path[0] = os.path.dirname(os.path.abspath(sys.path[0]))
    repo = os.path.dirname(sys.path[0])
    if len(sys.argv) < 2 or sys.argv[1] not in VERBS:
        sys.exit("usage: python3 tools/driver {%s} [options]" % "|".join(VERBS))
    command, arguments = sys.argv[1], sys.argv[2:]
    if command == "target-test":
        from driver.target_test import main
    elif command == "interpreter":
        from driver.interpreter import main
    else:
        from driver.dist import main
    sys.exit(main(repo, arguments))
