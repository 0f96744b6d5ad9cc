#!/usr/bin/env python3
"""Prints the results of mutate.py as the Markdown table and kill rates of docs/testing.md.

Usage: tests/mutation/table.py [results.tsv]
A fault counts as caught when a test fails with it; "caught (slow)" when only
a test labelled slow does. Equivalent faults and those that do not build are
left out of the rate.
"""
import csv
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mutate import load, locate  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def share(part, whole):
    return "%d of %d (%.0f%%)" % (part, whole, 100.0 * part / whole) if whole else "-"


def rate(rows, column):
    counted = [r for r in rows if r[column] not in ("equivalent", "does not build")]
    caught = [r for r in counted if r[column].startswith("caught")]
    fast = [r for r in counted if r[column] == "caught"]
    return len(caught), len(fast), len(counted)


FOLDERS = ("platform/", "services/", "devicecontrol/", "apps/vorn-host/", "apps/installation-view/")


def folder(row):
    path = row["file:line"]
    return next((f for f in FOLDERS if path.startswith(f)), "other")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "results.tsv")
    with open(path, encoding="utf-8") as f:
        rows = list(csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE))
    # A later run of a fault replaces an earlier one, except for "before": the first run of a fault
    # measured the suite as it was (a later run may find an old test sharpened since).
    latest, first = {}, {}
    for row in rows:
        first.setdefault(row["id"], row)
        latest[row["id"]] = dict(row)
    for mid, row in latest.items():
        if first[mid]["before"] != "does not build":
            row["before"] = first[mid]["before"]
    # Equivalence is a judgement kept in the list; it holds for rows of earlier runs too.
    listed = {m["id"]: m for m in load(os.path.join(HERE, "mutants.ini"))}
    for mid, row in latest.items():
        if listed.get(mid, {}).get("equivalent"):
            for column in ("before", "after"):
                if row[column] == "survived":
                    row[column] = "equivalent"
    # Rows name the line where the fault stands in today's code, which edits elsewhere in a file move.
    for mid, row in latest.items():
        if mid in listed:
            try:
                index, _ = locate(listed[mid])
                row["file:line"] = "%s:%d" % (listed[mid]["file"], index + 1)
            except ValueError:
                pass
    order = "PSDAV"
    rows = sorted(latest.values(), key=lambda r: (order.index(r["id"][0]) if r["id"][0] in order else len(order), r["id"]))
    not_run = [mid for mid in listed if mid not in latest]
    print("| id | file:line | function | fault | before | after | caught by |")
    print("|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %s | `%s` | `%s` | %s | %s | %s | %s |" % (r["id"], r["file:line"], r["function"],
                                                         r["fault"].replace("|", "\\|"), r["before"], r["after"],
                                                         r["caught by"].replace(",", ", ") or "-"))
    print()
    for column in ("before", "after"):
        caught, fast, counted = rate(rows, column)
        print("- %s: %d of %d non-equivalent faults caught (%.0f%%), %d of them by a fast test (%.0f%%)."
              % (column, caught, counted, 100.0 * caught / counted, fast, 100.0 * fast / counted))
    # Per folder of product code: a rate in all could hide a folder that is barely measured.
    print()
    print("| folder | faults | equivalent | caught before | caught after | by a fast test |")
    print("|---|---|---|---|---|---|")
    for name in FOLDERS + ("other",):
        part = [r for r in rows if folder(r) == name]
        if not part:
            continue
        before, _, counted = rate(part, "before")
        after, fast, _ = rate(part, "after")
        print("| %s | %d | %d | %s | %s | %s |" % (
            name.rstrip("/"), len(part), sum(1 for r in part if r["after"] == "equivalent"),
            share(before, counted), share(after, counted), share(fast, counted)))
    before, _, counted = rate(rows, "before")
    after, fast, _ = rate(rows, "after")
    print("| all | %d | %d | %s | %s | %s |" % (len(rows), sum(1 for r in rows if r["after"] == "equivalent"),
                                             share(before, counted), share(after, counted), share(fast, counted)))
    print()
    print("- equivalent: %d" % sum(1 for r in rows if r["after"] == "equivalent"))
    if not_run:
        print("- listed but not run: %s" % ", ".join(not_run))


if __name__ == "__main__":
    main()
