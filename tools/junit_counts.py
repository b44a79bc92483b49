"""Prints the counts of a pytest JUnit XML report the way pytest closes its run.

Usage: junit_counts.py REPORT.xml   prints, for example, "1 failed, 510 passed, 11 skipped"
"""

import argparse
import xml.etree.ElementTree as ElementTree


def outcome(testcase):
    for kind in ("failure", "skipped", "error"):
        if testcase.find(kind) is not None:
            return kind
    return "passed"


def counts(report_path):
    """Outcomes by kind. A test that fails and then errors in its teardown has a testcase
    element for each, so it counts as pytest counts it: once failed, once an error."""
    tally = {"failure": 0, "passed": 0, "skipped": 0, "error": 0}
    for testcase in ElementTree.parse(report_path).getroot().iter("testcase"):
        tally[outcome(testcase)] += 1
    return tally


def describe(tally):
    parts = []
    labels = (
        ("failure", "failed"),
        ("passed", "passed"),
        ("skipped", "skipped"),
        ("error", "error"),
    )
    for kind, label in labels:
        count = tally[kind]
        if count:
            plural = "s" if kind == "error" and count > 1 else ""
            parts.append(f"{count} {label}{plural}")
    return ", ".join(parts) or "no tests ran"


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("report", metavar="REPORT.xml")
    print(describe(counts(parser.parse_args().report)))
