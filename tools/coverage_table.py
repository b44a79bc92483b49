"""Prints lines and branches per file from gcovr's JSON summary, and fails below a bar.

Usage: coverage_table.py SUMMARY.json [--lines N] [--branches N]
"""

import argparse
import json
import sys


def share(covered, total):
    return 100.0 * covered / total if total else 100.0


def row(name, lines, lines_total, branches, branches_total):
    return (
        f"{name:<42} {lines:>5}/{lines_total:<5} {share(lines, lines_total):5.1f}%"
        f"  {branches:>5}/{branches_total:<5} {share(branches, branches_total):5.1f}%"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("summary")
    parser.add_argument("--lines", type=float, default=0)
    parser.add_argument("--branches", type=float, default=0)
    arguments = parser.parse_args()
    with open(arguments.summary) as file:
        summary = json.load(file)

    print(f"{'file':<42} {'lines':>13} {'':6}  {'branches':>11}")
    for entry in sorted(summary["files"], key=lambda entry: entry["filename"]):
        print(
            row(
                entry["filename"],
                entry["line_covered"],
                entry["line_total"],
                entry["branch_covered"],
                entry["branch_total"],
            )
        )
    lines = (summary["line_covered"], summary["line_total"])
    branches = (summary["branch_covered"], summary["branch_total"])
    print(row("total", *lines, *branches))

    failed = False
    for what, (covered, total), bar in (
        ("lines", lines, arguments.lines),
        ("branches", branches, arguments.branches),
    ):
        if share(covered, total) < bar:
            print(
                f"coverage: {what} {share(covered, total):.1f}% is below the bar of {bar}%",
                file=sys.stderr,
            )
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
