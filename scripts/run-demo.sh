#!/usr/bin/env bash
# The demo on embedded defaults, run from a built tree:
#   scripts/run-demo.sh <build-dir>
# Starts the installation's servers on free loopback ports, shows them
# answering, and stops them again; no process is left behind, also on
# Ctrl-C or failure. To add a step: start what it needs with start_server
# (it waits for the READY line) and append a function to the steps below.
set -euo pipefail

build=${1:-}
if [[ -z "$build" || "$build" == -h || "$build" == --help ]]; then
  echo "usage: $0 <build-dir>"
  [[ -n "$build" ]] && exit 0 || exit 2
fi
build=$(cd "$build" && pwd)
services=$build/services
for program in services/cco-server services/matrix-server services/cco-tool apps/vorn-host/vorn-host; do
  [[ -x $build/$program ]] || { echo "run-demo: $build/$program is missing; build first" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-demo.XXXXXX")
pids=()

cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    # Up to 5 s for a clean exit, then SIGKILL.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '\n== %s\n' "$*"; }

# start_server NAME PROGRAM ARGS... : runs PROGRAM in the background with its
# output in $work/NAME.log, waits for its READY line and sets the variable
# NAME to the corbaloc it printed.
start_server() {
  local name=$1; shift
  local log=$work/$name.log
  # stdin stays open (a fifo we hold) so the server can take commands.
  mkfifo "$work/$name.in"
  "$@" <"$work/$name.in" >"$log" 2>&1 &
  pids+=($!)
  exec {fd}>"$work/$name.in"
  eval "${name}_in=$fd"
  local line=""
  for _ in $(seq 100); do
    line=$(grep -m1 '^READY ' "$log" || true)
    [[ -n "$line" ]] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z "$line" ]]; then
    echo "run-demo: $name did not start:" >&2
    cat "$log" >&2
    exit 1
  fi
  printf -v "$name" '%s' "${line#READY }"
  echo "$name: ${!name}"
}

# wait_for_line NAME TEXT: waits up to 5 s for TEXT in NAME's output.
wait_for_line() {
  for _ in $(seq 50); do
    grep -q -- "$2" "$work/$1.log" && return 0
    sleep 0.1
  done
  echo "run-demo: no '$2' from $1" >&2
  exit 1
}

tool() { echo "\$ cco-tool $*"; "$services/cco-tool" --cco "$cco" "$@"; }

workstation=demo-ws
matrix_name="CCO/LocalSystem/LocalSubSystem/Workstations/$workstation/AntennaMatrixManager1/IF_MMR_c"

step_servers() {
  say "Starting the installation's servers on free loopback ports"
  start_server cco "$services/cco-server" --port 0 --system DemoSystem --subsystem SubA \
    --subsystems SubA,SubB --workstation "$workstation"
  start_server matrix "$services/matrix-server" --port 0 --cco "$cco" --workstation "$workstation" \
    --id 1 --inputs 8 --outputs 4
  wait_for_line matrix "^REGISTERED "
  echo "matrix-server registered as $matrix_name"
}

step_cco() {
  say "The CCO answers"
  tool names
  tool subsystems
  tool register "CCO/LocalSystem/SubSystems/SubB/CentralServices/Receiver/PulseAnalysis/rx1" \
    rxhost 1 demo 9000
  tool list "CCO/LocalSystem/SubSystems/SubB/CentralServices/Receiver/PulseAnalysis"
  tool list "CCO/LocalSystem/SubSystems/SubB/CentralServices/Receiver/PulseAnalysis/rx1"
  tool list "CCO/LocalSystem/LocalSubSystem/Workstations/$workstation"
}

step_matrix() {
  say "The matrix manager, found through the CCO, switches antennas"
  tool matrix "$matrix_name" connect 3 1
  tool matrix "$matrix_name" connect 5 2
  tool matrix "$matrix_name" connect 6 1 || true   # output 1 is taken: refused
  tool matrix "$matrix_name" disconnect 3 1
  tool matrix "$matrix_name" connect 6 1
  tool matrix "$matrix_name" state
}

step_driver() {
  say "vorn-host loads the driver plug-in; the ORB comes up only after 500 ms"
  printf '[ExternalCCODriver]\nReconnectTimer=200\n' >"$work/vorn.ini"
  echo "\$ vorn-host --cco $cco --config vorn.ini --trace-mask 0x20 --orb-delay-ms 500 < commands"
  "$build/apps/vorn-host/vorn-host" --cco "$cco" --config "$work/vorn.ini" --trace-mask 0x20 \
    --orb-delay-ms 500 2>&1 <<'COMMANDS'
mkvalue selection /DEVICES/KRV4/ANTENNA A1,A2,A3
select /DEVICES/KRV4/ANTENNA A2
wait 1500
tree /DEVICES
COMMANDS
}

step_stop() {
  say "Stopping the servers (the last started first)"
  while ((${#pids[@]})); do
    local pid=${pids[-1]}
    kill -TERM "$pid"
    wait "$pid" || { echo "run-demo: a server exited with $?" >&2; exit 1; }
    unset 'pids[-1]'
  done
  echo "calls served by the cco-server: $(grep -c '^CALL ' "$work/cco.log")"
  echo "calls served by the matrix-server: $(grep -c '^CALL ' "$work/matrix.log")"
  tail -n 3 "$work/matrix.log"
}

steps=(step_servers step_cco step_matrix step_driver step_stop)
for step in "${steps[@]}"; do "$step"; done
say "Demo finished"
