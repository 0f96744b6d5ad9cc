#!/usr/bin/env python3
"""Checks that every C++ block of a Markdown page is a region of an example.

A block is preceded by a line `<!-- snippet: FILE REGION -->` (FILE relative to
the repository); the block must equal the lines between the two `//! [REGION]`
markers of FILE, both without their common indentation. A C++ block without
such a line fails too, so that no code on the page can drift from code that is
built and run.

Usage: check_snippets.py PAGE REPOSITORY
"""
import re
import sys
import textwrap
from pathlib import Path

# A fenced block, with the snippet line right above its opening fence if it has one.
BLOCK = re.compile(r"^(?:<!--\s*snippet:\s*(\S+)\s+(\S+)\s*-->[ \t]*\n)?```(\w*)[ \t]*\n(.*?)^```[ \t]*$",
                   re.MULTILINE | re.DOTALL)


def region(path, name):
    lines = path.read_text(encoding="utf-8").splitlines()
    tag = "//! [%s]" % name
    marks = [i for i, line in enumerate(lines) if line.strip() == tag]
    if len(marks) != 2:
        raise ValueError("%s: %d markers %s, expected 2" % (path, len(marks), tag))
    return textwrap.dedent("\n".join(lines[marks[0] + 1 : marks[1]]))


def blocks(page):
    """(line number, language, (file, region) or None, text) per fenced block."""
    text = page.read_text(encoding="utf-8")
    for block in BLOCK.finditer(text):
        marker = block.group(1, 2) if block.group(1) else None
        yield text.count("\n", 0, block.start(3)) + 1, block.group(3), marker, textwrap.dedent(block.group(4))


def main(argv):
    if len(argv) != 3 or argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        return 0 if len(argv) == 2 else 2
    page, repository = Path(argv[1]), Path(argv[2])
    failures, checked = [], 0
    for line, language, marker, text in blocks(page):
        if marker is None:
            if language in ("cpp", "c++"):
                failures.append("%s:%d: C++ block without a snippet line" % (page, line))
            continue
        checked += 1
        try:
            expected = region(repository / marker[0], marker[1])
        except (OSError, ValueError) as error:
            failures.append("%s:%d: %s" % (page, line, error))
            continue
        if text.strip("\n") != expected.strip("\n"):
            failures.append("%s:%d: differs from %s [%s]; expected:\n%s" % (
                page, line, marker[0], marker[1], expected))
    for failure in failures:
        print(failure, file=sys.stderr)
    if not failures and checked == 0:
        print("%s: no snippets found" % page, file=sys.stderr)
        return 1
    print("%d snippets checked" % checked)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
