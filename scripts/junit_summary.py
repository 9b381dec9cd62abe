"""Prints passed, failed and skipped counts per test file from a pytest
JUnit XML report, then the totals; exits 1 when anything failed. With
--all-run, also when a test was skipped or the report holds none, and the
skipped ones are named.

Usage: python scripts/junit_summary.py [--all-run] REPORT.xml
"""
import argparse
import collections
import sys
import xml.etree.ElementTree as ET


def test_file(classname):
    parts = classname.split(".")
    for i, part in enumerate(parts):
        if part.startswith("test_"):
            return "/".join(parts[:i + 1]) + ".py"
    return classname


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--all-run", action="store_true",
                    help="a skipped test or an empty report is a failure too")
    ap.add_argument("report")
    args = ap.parse_args()
    counts = collections.defaultdict(collections.Counter)
    skipped = []
    for case in ET.parse(args.report).iter("testcase"):
        tags = {child.tag for child in case}
        outcome = ("failed" if tags & {"failure", "error"}
                   else "skipped" if "skipped" in tags else "passed")
        counts[test_file(case.get("classname", "?"))][outcome] += 1
        if outcome == "skipped":
            skipped.append(f"{case.get('classname', '?')}.{case.get('name', '?')}")
    total = collections.Counter()
    width = max([len(name) for name in counts] + [5])
    for name in sorted(counts):
        c = counts[name]
        total.update(c)
        print(f"{name:{width}s}  {c['passed']:4d} passed  {c['failed']:4d} failed"
              f"  {c['skipped']:4d} skipped")
    print(f"{'total':{width}s}  {total['passed']:4d} passed  {total['failed']:4d} failed"
          f"  {total['skipped']:4d} skipped")
    if total["failed"]:
        return 1
    if args.all_run:
        for name in skipped:
            print(f"skipped: {name}")
        if skipped or not sum(total.values()):
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
