#!/usr/bin/env python3
"""Fails when a file under devicecontrol/ includes a POSIX or Linux header.

The host runs on Windows, so the library must build without them. Each source
of the library is compiled with the build's own command (from
compile_commands.json) plus -fsyntax-only -H; the compiler then lists every
header it opens with its depth, so an include reached through a macro, a
conditional or a header of the library is seen as well as a plain one. A
header of the operating system counts only where a file of the library
includes it directly: what Qt or the platform's headers include is theirs.

Usage: check_includes.py BUILD_DIR LIBRARY_DIR
"""
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

# Headers that POSIX or Linux have and a Windows toolchain has not.
SYSTEM_ONLY = re.compile(
    r"/(?:sys|netinet|arpa|net|linux|asm|asm-generic)/[^/]+\.h$"
    r"|/(?:unistd|pthread|dlfcn|fcntl|poll|termios|dirent|semaphore|spawn|syslog|pwd|grp|netdb|ifaddrs"
    r"|sched|strings|libgen|glob|fnmatch|regex|wordexp|err|execinfo|endian|mqueue|aio|utmp|link|ucontext"
    r"|elf|features|alloca|malloc|byteswap|error|getopt|langinfo|nl_types|iconv|sysexits|ulimit|utime)\.h$")
DEPTH = re.compile(r"^(\.+) (.+)$")


def compile_command(entry):
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    if os.path.basename(args[0]) == "ccache":
        args = args[1:]
    out, skip = [], False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg == "-c" or arg.startswith("-M"):
            continue
        out.append(arg)
    return out + ["-fsyntax-only", "-H"]


def violations(entry, library):
    result = subprocess.run(compile_command(entry), cwd=entry["directory"], stderr=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, text=True)
    if result.returncode != 0:
        return ["%s: does not compile:\n%s" % (entry["file"], result.stderr[-2000:])]
    found = []
    stack = [os.path.realpath(entry["file"])]
    for line in result.stderr.splitlines():
        match = DEPTH.match(line)
        if not match:
            continue
        depth, header = len(match.group(1)), os.path.realpath(match.group(2))
        del stack[depth:]
        includer = stack[-1]
        stack.append(header)
        if SYSTEM_ONLY.search(header) and includer.startswith(library):
            found.append("%s includes %s" % (includer, header))
    return found


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip())
        return 2
    build, library = Path(argv[1]), os.path.realpath(argv[2]) + os.sep
    entries = [e for e in json.loads((build / "compile_commands.json").read_text())
               if os.path.realpath(os.path.join(e["directory"], e["file"])).startswith(library)]
    if not entries:
        print("no sources of %s in %s/compile_commands.json" % (library, build), file=sys.stderr)
        return 1
    with ThreadPoolExecutor(max_workers=2) as pool:
        found = sorted({v for vs in pool.map(lambda e: violations(e, library), entries) for v in vs})
    for line in found:
        print(line, file=sys.stderr)
    print("%d sources checked, %d POSIX or Linux includes" % (len(entries), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
