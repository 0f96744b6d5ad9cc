#!/usr/bin/env python3
"""Runs the hand-made faults of mutants.ini against the test suite.

For each fault: change one line, rebuild the named targets, run the named
ctest selections in order until one fails, put the file back. A fault that
no fast selection catches is run against the whole suite (minus bench and
soak) with --suite, to tell "caught only by a slow test" from "survived".

Usage: tests/mutation/mutate.py [--build-dir DIR] [--only ID,ID] [--suite]
                                [--check] [--results FILE]
Run it from a clean worktree under `nice`: it edits tracked files and puts
them back with `git checkout`.
"""
import argparse
import configparser
import datetime
import os
import re
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
HERE = os.path.dirname(os.path.abspath(__file__))


def load(path):
    parser = configparser.ConfigParser(interpolation=None, delimiters=("=",), comment_prefixes=("#",),
                                       inline_comment_prefixes=None, strict=True)
    parser.optionxform = str
    with open(path, encoding="utf-8") as f:
        parser.read_file(f)
    mutants = []
    for mid in parser.sections():
        s = parser[mid]
        mutants.append({
            "id": mid,
            "file": s["file"],
            "function": s["function"],
            "from": s["from"],
            "to": s.get("to", ""),
            "occurrence": int(s.get("occurrence", "0")),
            "fault": s["fault"],
            "build": s["build"].split(),
            "tests": s["tests"].split(),
            "added": s.get("added", "").split(),
            "equivalent": s.get("equivalent", ""),
        })
    return mutants


def locate(m):
    """Returns (line index, lines) of the line the fault goes on."""
    with open(os.path.join(ROOT, m["file"]), encoding="utf-8") as f:
        lines = f.readlines()
    hits = [i for i, line in enumerate(lines) if m["from"] in line]
    if m["occurrence"]:
        if len(hits) < m["occurrence"]:
            raise ValueError("%s: occurrence %d of %r not found" % (m["id"], m["occurrence"], m["from"]))
        return hits[m["occurrence"] - 1], lines
    if len(hits) != 1:
        raise ValueError("%s: %r stands on %d lines, not one" % (m["id"], m["from"], len(hits)))
    return hits[0], lines


def run(cmd, timeout=None, log=None):
    result = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=timeout)
    if log is not None:
        log.write("$ %s\n%s\n" % (" ".join(cmd), result.stdout))
        log.flush()
    return result


def failed_tests(output):
    """Names the failing GoogleTest cases, else the failing ctest tests."""
    names = re.findall(r"^\[  FAILED  \] ([\w./]+)(?: \(|$)", output, re.M)
    if names:
        return sorted(set(names))
    return sorted(set(re.findall(r"Test\s+#\d+: (\S+) \.+\s*\*+(?:Failed|Timeout|Exception)", output)))


def ctest(build_dir, selection, log, exclude="bench|soak"):
    """Runs a selection; one written "slow:REGEX" may include tests labelled slow."""
    cmd = ["ctest", "--test-dir", build_dir, "--output-on-failure", "--stop-on-failure", "-E", exclude]
    if selection.startswith("slow:"):
        selection = selection[len("slow:"):]
    elif selection:
        cmd += ["-LE", "slow"]
    if selection:
        cmd += ["-R", selection]
    start = time.monotonic()
    result = run(cmd, log=log)
    seconds = time.monotonic() - start
    if "No tests were found" in result.stdout:
        raise RuntimeError("selection %r matches no test" % selection)
    return result.returncode == 0, failed_tests(result.stdout), seconds


def run_selections(build_dir, selections, log):
    """Runs selections in order until one fails: (outcome, failing tests)."""
    for selection in selections:
        ok, names, _ = ctest(build_dir, selection, log)
        if not ok:
            outcome = "caught (slow)" if selection.startswith("slow:") else "caught"
            return outcome, ",".join(names) or selection
    return "survived", ""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build")
    ap.add_argument("--mutants", default=os.path.join(HERE, "mutants.ini"))
    ap.add_argument("--only", default="", help="comma-separated ids")
    ap.add_argument("--suite", action="store_true",
                    help="run survivors of the listed selections against the whole suite (minus bench, soak)")
    ap.add_argument("--check", action="store_true", help="only check that every fault finds its line")
    ap.add_argument("--results", default=os.path.join(HERE, "results.tsv"))
    args = ap.parse_args()

    mutants = load(args.mutants)
    if args.only:
        by_id = {m["id"]: m for m in mutants}
        mutants = [by_id[mid] for mid in args.only.split(",")]  # in the order given
    for m in mutants:
        index, _ = locate(m)
        m["line"] = index + 1
    if args.check:
        for m in mutants:
            print("%s %s:%d %s" % (m["id"], m["file"], m["line"], m["function"]))
        return 0

    build_dir = os.path.abspath(os.path.join(ROOT, args.build_dir))
    log = open(os.path.join(HERE, "mutation.log"), "a", encoding="utf-8")
    log.write("\n==== run of %s\n" % datetime.datetime.utcnow().isoformat())
    new_file = not os.path.exists(args.results)
    out = open(args.results, "a", encoding="utf-8")
    if new_file:
        out.write("id\tfile:line\tfunction\tfault\tbefore\tafter\tcaught by\tseconds\n")
    for m in mutants:
        if run(["git", "diff", "--quiet", "--", m["file"]]).returncode != 0:
            sys.exit("%s has uncommitted changes; commit or stash them first" % m["file"])
        index, lines = locate(m)
        lines[index] = lines[index].replace(m["from"], m["to"], 1)
        start = time.monotonic()
        outcome, caught, before = "survived", "", None
        try:
            with open(os.path.join(ROOT, m["file"]), "w", encoding="utf-8") as f:
                f.writelines(lines)
            log.write("\n==== %s %s:%d\n" % (m["id"], m["file"], m["line"]))
            built = run(["cmake", "--build", build_dir, "-j2", "--target"] + m["build"], log=log)
            if built.returncode != 0:
                outcome = "does not build"
            else:
                # `tests` is the suite as it was; `added` the tests written for its survivors.
                outcome, caught = run_selections(build_dir, m["tests"], log)
                before = outcome
                if outcome != "caught" and m["added"]:
                    more, by = run_selections(build_dir, m["added"], log)
                    if more != "survived":
                        outcome, caught = more, by
                if outcome == "survived" and args.suite:
                    run(["cmake", "--build", build_dir, "-j2"], log=log)
                    ok, names, _ = ctest(build_dir, "", log)
                    if not ok:
                        outcome, caught = "caught by suite", ",".join(names)
        finally:
            run(["git", "checkout", "--", m["file"]])
        if before is None:
            before = outcome
        if m["equivalent"]:
            before = "equivalent" if before == "survived" else before
            outcome = "equivalent" if outcome == "survived" else outcome
        seconds = int(time.monotonic() - start)
        row = [m["id"], "%s:%d" % (m["file"], m["line"]), m["function"], m["fault"], before, outcome, caught,
               str(seconds)]
        out.write("\t".join(row) + "\n")
        out.flush()
        print("%-4s %-14s %-14s %-40s %s" % (m["id"], before, outcome, caught[:40], m["fault"]), flush=True)
    # Leave the build as the sources are.
    run(["cmake", "--build", build_dir, "-j2"], log=log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
