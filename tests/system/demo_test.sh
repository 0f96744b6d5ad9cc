#!/usr/bin/env bash
# Runs the demo on a built tree as a user would and checks what it reports:
# the switching through the matrix-server and its restarts (without and with
# self-healing), both receivers coming and going at the mirroring workstation,
# the driver's error text, the time it takes, and that no process of it is left.
# Usage: demo_test.sh <source-dir> <build-dir>
set -euo pipefail
root=$1
build=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT

fail() {
  cat "$out"
  echo "demo test: $*" >&2
  exit 1
}

start=$SECONDS
"$root/scripts/run-demo.sh" "$build" >"$out" 2>&1 </dev/null || fail "the demo failed"
took=$((SECONDS - start))

expect() { grep -qE -- "$1" "$out" || fail "missing in the demo's output: $1"; }
expect '^ +\+[0-9.]+s +A selects HF1 +out 2 <- in 3$'
expect '^ +\+[0-9.]+s +A selects VUHF +out 2 <- in 6$'
expect 'ranges\.out2=3:1500000:30000000,6:30000000:3000000000'
expect '^ +\+[0-9.]+s +matrix-server stopped +\(no matrix manager registered\)$'
expect '^ +\+[0-9.]+s +A selects HF2 +out 2 <- in 4$'
expect '^ +\+[0-9.]+s +A commits +\(nothing connected\)$'
expect '^  connected +/RECEIVERS/RX0 \(Ip 127\.0\.0\.1\)$'
expect '^  connected +/RECEIVERS/RX1 \(Ip 127\.0\.0\.1\)$'
expect '^  disconnected /RECEIVERS/RX1$'
expect '/RECEIVERS/RX1/ANTENNA \[string\] = DISCONE'
expect '"Antenna cannot be changed, CommController not responding!"'
expect '^  self-healing off \(workstation A\) +matrix output 2 shows nothing$'
expect '^  self-healing on \(workstation H\) +matrix output 3 shows HF1 \(input 3\)$'
expect 'MATRIXSTATE: connected: output 3 <- input 3 \(antenna HF1\)'
expect '^All [0-9]+ processes stopped; none left\.$'
((took < 60)) || fail "the demo took ${took} s, not well under a minute"

work=$(sed -n 's/^Demo logs in //p' "$out")
[[ -n $work ]] || fail "the demo named no log folder"
[[ ! -e $work ]] || fail "the demo left its folder $work"
if pgrep -f -- "$work" >/dev/null; then
  pgrep -af -- "$work" >&2
  fail "processes of the demo are still running"
fi
