"""ThreadSanitizer's reports, sorted into those where the libraries' code makes one of the
racing accesses and those where the interpreter's code makes both: python3
tools/tsan_reports.py LOG... prints each report, then the counts, and exits 1 when any
report is the libraries'.

A race of the interpreter's code alone is the interpreter's, even when the libraries called
into it: a stand-in that sends a bytearray to the interpreter's own binascii, which reads the
bytes without the bytearray's lock while another thread writes them, races the same way
without the libraries."""

import argparse
import re
import sys

MARK = "WARNING: ThreadSanitizer:"
LIBRARIES = "tavro_crypt_"
# "  Previous read of size 1 at 0x... by thread T5:", "  Atomic write of size 4 ..."
ACCESS = re.compile(r"^\s+(Previous )?(atomic |Atomic )?(read|write|Read|Write) of size ")
FRAME = re.compile(r"^\s+#\d+ ")


def reports(text):
    """The reports of one log, each from its warning line to the next."""
    parts = text.split(MARK)
    return [MARK + part for part in parts[1:]]


def libraries_access(report):
    """Whether the code making one of the accesses, below the sanitizer's own interceptors
    (memcpy and the like), is the libraries'."""
    lines = report.splitlines()
    for index, line in enumerate(lines):
        if not ACCESS.match(line):
            continue
        for frame in lines[index + 1 :]:
            if not FRAME.match(frame):
                break
            if "libtsan" not in frame:
                if LIBRARIES in frame:
                    return True
                break
    return False


def main(paths):
    ours = theirs = 0
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as log:
            for report in reports(log.read()):
                mine = libraries_access(report)
                ours += mine
                theirs += not mine
                print("==== %s (%s)" % (path, "the libraries" if mine else "the interpreter alone"))
                print(report)
    print("tsan: %d reports of the libraries' code, %d of the interpreter's alone" % (ours, theirs))
    return 1 if ours else 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("logs", nargs="+", metavar="LOG")
    sys.exit(main(parser.parse_args().logs))
