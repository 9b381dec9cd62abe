"""Prints passed, failed and skipped counts per test file from a pytest
JUnit XML report, then the totals; exits 1 when anything failed.

Usage: python scripts/junit_summary.py REPORT.xml
"""
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
    counts = collections.defaultdict(collections.Counter)
    for case in ET.parse(sys.argv[1]).iter("testcase"):
        tags = {child.tag for child in case}
        outcome = ("failed" if tags & {"failure", "error"}
                   else "skipped" if "skipped" in tags else "passed")
        counts[test_file(case.get("classname", "?"))][outcome] += 1
    total = collections.Counter()
    width = max([len(name) for name in counts] + [5])
    for name in sorted(counts):
        c = counts[name]
        total.update(c)
        print(f"{name:{width}s}  {c['passed']:4d} passed  {c['failed']:4d} failed"
              f"  {c['skipped']:4d} skipped")
    print(f"{'total':{width}s}  {total['passed']:4d} passed  {total['failed']:4d} failed"
          f"  {total['skipped']:4d} skipped")
    return 1 if total["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
