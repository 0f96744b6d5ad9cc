#!/usr/bin/env bash
# The demo on embedded defaults, run from a built tree (scripts/demo.sh builds
# first and then calls this):
#
#   scripts/run-demo.sh <build-dir> [--interactive] [--traces] [--keep]
#
# It starts, on free loopback ports, a cco-server, a matrix-server that
# registers at it, a receiver workstation (vorn-host with the driver plug-in
# switching the antennas of /DEVICES/KRV4, serving its value tree and
# registered at the CCO as RXA) and a mirroring workstation (vorn-host running
# the receiver mirroring). It then plays a short scenario: antenna changes and
# ranges, the matrix-server stopped and started again between two changes, a
# second receiver workstation joining and leaving, one matrix-server restart
# between two selections of the same antenna without and with
# AntennaSelfHealing, and prints a report. Every
# process runs in a process group of its own and is stopped on exit, Ctrl-C
# or failure; the demo checks that none is left.
#
# The mirroring workstation polls the CCO every 5 s and needs three polls
# before its first list (ORB, CCO, list), so the receiver part takes about
# 15 to 25 s; the antenna part runs meanwhile.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  cat <<EOF
usage: $0 <build-dir> [--interactive] [--traces] [--keep]
  --interactive  set everything up, start installation-view (its URL is printed), skip
                 the scenario and pass what you type to the receiver workstation's vorn-host (type "help" for its commands;
                 "@mirror CMD" goes to the mirroring workstation, "@matrix CMD" to the
                 matrix-server, "@tool ARGS" runs cco-tool; "quit" or Ctrl-D ends)
  --traces       show the driver's trace lines of both workstations as they come
  --keep         keep the logs (their folder is printed at the end)
EOF
}

build=""
interactive=0
traces=0
keep=0
for arg in "$@"; do
  case "$arg" in
    -h|--help) usage; exit 0 ;;
    --interactive) interactive=1 ;;
    --traces) traces=1 ;;
    --keep) keep=1 ;;
    -*) echo "run-demo: unknown option $arg" >&2; usage >&2; exit 2 ;;
    *) [[ -z $build ]] || { echo "run-demo: one build directory only" >&2; exit 2; }; build=$arg ;;
  esac
done
[[ -n $build ]] || { usage >&2; exit 2; }
[[ -d $build ]] || { echo "run-demo: $build is no directory; build first (scripts/build.sh)" >&2; exit 2; }
build=$(cd "$build" && pwd)
services=$build/services
vornhost=$build/apps/vorn-host/vorn-host
for program in "$services/cco-server" "$services/matrix-server" "$services/cco-tool" "$vornhost"; do
  [[ -x $program ]] || { echo "run-demo: $program is missing; build first" >&2; exit 1; }
done
for tool in setsid ss mkfifo; do
  command -v "$tool" >/dev/null || { echo "run-demo: '$tool' is needed (util-linux, iproute2)" >&2; exit 1; }
done
examples=$root/apps/vorn-host/examples
demofiles=$root/scripts/demo

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-demo.XXXXXX")
declare -A pid_of=() fd_of=()
started=() # every process group started, in order (a process's pid is its group id)
order=()   # names of the running processes, in start order
failed=0

now_ms() { local t=${EPOCHREALTIME/[.,]/}; REPLY=$((10#$t / 1000)); }
now_ms; t0=$REPLY
stamp() { now_ms; local d=$((REPLY - t0)); printf -v REPLY '+%d.%ds' $((d / 1000)) $((d % 1000 / 100)); }

say() { printf '\n== %s\n' "$*"; }
note() { stamp; printf '%7s  %s\n' "$REPLY" "$*"; }
die() {
  echo "run-demo: $*" >&2
  failed=1
  exit 1
}

# line_count FILE: number of lines in FILE so far (0 when missing).
line_count() { if [[ -f $1 ]]; then REPLY=$(wc -l <"$1"); else REPLY=0; fi; }

# wait_line FILE REGEX TIMEOUT_MS [FROM]: waits until a line after the first
# FROM lines of FILE matches REGEX; REPLY is that line. False on timeout.
wait_line() {
  local file=$1 regex=$2 timeout=$3 from=${4:-0} line
  now_ms; local deadline=$((REPLY + timeout))
  while :; do
    if [[ -f $file ]] && line=$(tail -n +$((from + 1)) "$file" | grep -m1 -E -- "$regex"); then
      REPLY=$line
      return 0
    fi
    now_ms
    ((REPLY < deadline)) || return 1
    sleep 0.05
  done
}

# running NAME: whether the process NAME still runs.
running() { [[ -n ${pid_of[$1]:-} ]] && kill -0 "${pid_of[$1]}" 2>/dev/null; }

# start_proc NAME PROGRAM ARGS...: runs PROGRAM in a process group of its own
# with stdin from a fifo that the demo holds open (so that it can send
# commands), stdout in $work/NAME.out and stderr in $work/NAME.err.
start_proc() {
  local name=$1
  shift
  mkfifo "$work/$name.in"
  setsid "$@" <"$work/$name.in" >"$work/$name.out" 2>"$work/$name.err" &
  pid_of[$name]=$!
  started+=($!)
  order+=("$name")
  local fd
  exec {fd}>"$work/$name.in"
  fd_of[$name]=$fd
}

# start_server NAME PROGRAM ARGS...: start_proc, then waits for the server's
# "READY <corbaloc>" line; REPLY is the corbaloc.
start_server() {
  local name=$1
  start_proc "$@"
  if ! wait_line "$work/$name.out" '^READY ' 10000; then
    cat "$work/$name.out" "$work/$name.err" >&2
    die "$name did not start"
  fi
  REPLY=${REPLY#READY }
}

# stop_proc NAME: SIGTERM to its process group, SIGKILL after 8 s.
stop_proc() {
  local name=$1 pid=${pid_of[$1]:-}
  [[ -n $pid ]] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || true
  now_ms
  local deadline=$((REPLY + 8000))
  while kill -0 "$pid" 2>/dev/null; do
    now_ms
    if ((REPLY >= deadline)); then
      echo "run-demo: $name did not stop within 8 s; killing it" >&2
      kill -KILL -- "-$pid" 2>/dev/null || true
      break
    fi
    sleep 0.05
  done
  local status=0
  wait "$pid" 2>/dev/null || status=$?
  local fd=${fd_of[$name]:-}
  [[ -z $fd ]] || exec {fd}>&-
  unset "pid_of[$name]" "fd_of[$name]"
  local remaining=()
  for n in "${order[@]}"; do [[ $n == "$name" ]] || remaining+=("$n"); done
  order=("${remaining[@]}")
  # 143: ended by the SIGTERM it was sent, which counts as clean too. A
  # vorn-host ends with 1 when one of its commands failed, which in an
  # interactive session is the user's business.
  ((interactive && status == 1)) && status=0
  if ((status != 0 && status != 143)); then
    echo "run-demo: $name exited with status $status" >&2
    return 1
  fi
}

# send NAME LINE: one command to the process's stdin.
send() { printf '%s\n' "$2" >&"${fd_of[$1]}"; }

# host_do NAME COMMAND...: runs vorn-host commands and waits until they are
# done (a vorn-host runs its commands one after the other, so an "echo" sent
# last answers when all before it have finished). HOST_OUTPUT holds what they
# printed; errors they reported go to HOST_ERRORS.
mark=0
host_do() {
  local name=$1
  shift
  line_count "$work/$name.out"
  local from=$REPLY
  line_count "$work/$name.err"
  local errfrom=$REPLY
  mark=$((mark + 1))
  local command
  for command in "$@"; do send "$name" "$command"; done
  send "$name" "echo @@$mark"
  if ! wait_line "$work/$name.out" "^@@$mark\$" 20000 "$from"; then
    running "$name" || die "$name ended unexpectedly (see $work/$name.err)"
    die "$name did not finish: $*"
  fi
  mapfile -t HOST_OUTPUT < <(tail -n +$((from + 1)) "$work/$name.out" | grep -v -E '^@@[0-9]+$')
  mapfile -t HOST_ERRORS < <(tail -n +$((errfrom + 1)) "$work/$name.err" | grep -E '^error:' || true)
  local e
  for e in "${HOST_ERRORS[@]}"; do echo "         ($name: $e)"; done
}

# free_port: a loopback TCP port nobody listens on, for a vorn-host whose
# value-tree server must be reachable under a port known before it starts.
used_ports=" "
free_port() {
  local listening port
  listening=$(ss -Htln 2>/dev/null | awk '{print $4}' | sed 's/.*://' | tr '\n' ' ')
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 12000))
    [[ " $listening " == *" $port "* || $used_ports == *" $port "* ]] && continue
    used_ports+="$port "
    REPLY=$port
    return 0
  done
  die "no free loopback port found"
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  ((status == 0)) || failed=1
  local i
  for ((i = ${#order[@]} - 1; i >= 0; i--)); do
    stop_proc "${order[i]}" || true
  done
  # Every process group that was started must be gone, grandchildren too.
  local left=() pgid
  now_ms
  local deadline=$((REPLY + 3000))
  for pgid in "${started[@]}"; do
    while kill -0 -- "-$pgid" 2>/dev/null; do
      now_ms
      ((REPLY < deadline)) || break
      sleep 0.05
    done
    if kill -0 -- "-$pgid" 2>/dev/null; then
      left+=("$pgid")
      kill -KILL -- "-$pgid" 2>/dev/null || true
    fi
  done
  if ((${#left[@]})); then
    echo "run-demo: process groups ${left[*]} were still there and have been killed" >&2
    status=1
  elif ((${#started[@]})); then
    echo "All ${#started[@]} processes stopped; none left."
  fi
  if ((failed)); then
    for log in "$work"/*.out "$work"/*.err; do
      [[ -s $log ]] || continue
      echo "--- last lines of ${log##*/}" >&2
      tail -n 15 "$log" >&2
    done
  fi
  if ((keep || failed)); then
    echo "Logs: $work"
  else
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

workstation=demo-ws
matrix_name="CCO/LocalSystem/LocalSubSystem/Workstations/$workstation/AntennaMatrixManager1/IF_MMR_c"
category="CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis"
mirrored=ANTENNA,USINGANTENNAMATRIX,LASTDRIVERERROR

tool() { "$services/cco-tool" --cco "$cco" --timeout 2000 "$@"; }

# The report's rows, "time|what happened|matrix connections|LASTDRIVERERROR".
timeline=()
last_error=""
errors_seen=()

# record WHAT: reads the matrix manager's connectionData through the CCO and
# the receiver's LASTDRIVERERROR, and adds a row to the report.
record() {
  local what=$1 connections error
  if connections=$(tool matrix "$matrix_name" state 2>/dev/null | sed -n 's/^connections: //p'); then
    [[ -n $connections ]] || connections="(nothing connected)"
  else
    connections="(no matrix manager registered)"
  fi
  host_do rxa "get /DEVICES/KRV4/LASTDRIVERERROR"
  error=${HOST_OUTPUT[0]#*= }
  stamp
  timeline+=("$REPLY|$what|$connections|$error")
  printf '%7s  %-44s matrix: %s\n' "$REPLY" "$what" "$connections"
  if [[ -n $error && $error != "$last_error" ]]; then
    printf '%7s  %-44s LASTDRIVERERROR: "%s"\n' "$REPLY" "" "$error"
    errors_seen+=("$REPLY \"$error\"")
  fi
  last_error=$error
}

# antenna STEP-TEXT COMMAND...: runs the commands on the receiver workstation;
# a switching run starts 20 ms after a change and runs on the host's thread,
# so once a short wait after it has passed, the run has ended.
antenna() {
  local what=$1
  shift
  host_do rxa "$@" "wait 150"
  record "$what"
}

start_traces() {
  ((traces)) || return 0
  local name
  for name in "$@"; do
    # On the terminal, not in a log; in a process group of its own like
    # everything else.
    setsid bash -c 'exec > >(exec sed -u "s/^/[$2 trace] /"); exec tail -n +1 -F "$1" 2>/dev/null' \
      _ "$work/$name.trace" "$name" </dev/null &
    pid_of[trace-$name]=$!
    started+=($!)
    order+=("trace-$name")
  done
}

step_servers() {
  say "The installation's servers, on free loopback ports"
  start_server cco "$services/cco-server" --port 0 --system DemoSystem --subsystem SubA \
    --subsystems SubA,SubB --workstation "$workstation"
  cco=$REPLY
  note "cco-server     $cco (system DemoSystem, subsystems SubA and SubB, workstation $workstation)"
  start_matrix matrix
}

# start_matrix NAME: a matrix-server (8 antennas, 4 receivers) that registers
# at the CCO; returns once the registration is there.
start_matrix() {
  start_server "$1" "$services/matrix-server" --port 0 --cco "$cco" --workstation "$workstation" \
    --id 1 --inputs 8 --outputs 4 --retry-interval 200
  local corbaloc=$REPLY
  wait_line "$work/$1.out" '^REGISTERED ' 10000 || die "the matrix-server did not register at the CCO"
  note "matrix-server  $corbaloc, registered as AntennaMatrixManager1 of $workstation"
}

step_workstations() {
  say "The workstations"
  # The mirroring workstation first: it needs three polls of 5 s before it
  # lists the receivers, and the antenna scenario can run meanwhile.
  start_proc mirror "$vornhost" --no-plugin --stay --cco "$cco" --trace-mask 0x20 \
    --trace-file "$work/mirror.trace"
  host_do mirror "mirror /RECEIVERS/RX%1 $mirrored"
  note "mirroring workstation: vorn-host mirroring $mirrored of every receiver registered at the CCO"
  note "                       into /RECEIVERS/RX<n> (first list after three 5 s polls)"

  free_port
  rxa_port=$REPLY
  start_proc rxa "$vornhost" --cco "$cco" --config "$examples/receiver.ini" \
    --script "$examples/receiver-tree.vorn" --trace-mask 0x20 --trace-file "$work/rxa.trace" \
    -- -ORBendPoint "giop:tcp:127.0.0.1:$rxa_port"
  start_traces mirror rxa
  host_do rxa "waitfor /DEVICES/KRV4/USINGANTENNAMATRIX true 10000"
  ((${#HOST_ERRORS[@]} == 0)) || die "the driver's antenna side did not start on the receiver workstation"
  note "receiver workstation A: vorn-host with the driver plug-in (AntennaMatrixDriver=true,"
  note "                        /DEVICES/KRV4 on matrix output 2; HF1=in 3, HF2=in 4, VUHF=in 6, DUMMYLOAD=none)"
  host_do rxa "receiver $rxa_port RXA 127.0.0.1 127.0.0.1 /DEVICES/KRV4"
  [[ ${HOST_OUTPUT[0]:-} == READY* ]] || die "receiver workstation A cannot serve its tree"
  note "                        serves its tree at ${HOST_OUTPUT[0]#READY }, registered as $category/RXA"
}

step_antennas() {
  say "Antenna changes on receiver workstation A (matrix state read through the CCO after each)"
  record "driver up, nothing selected yet"
  antenna "A selects HF1" "select /DEVICES/KRV4/ANTENNA HF1"
  antenna "A selects VUHF" "select /DEVICES/KRV4/ANTENNA VUHF"
  antenna "A hands ranges HF1, VUHF to the matrix" "ranges HF1:1500000:30000000,VUHF:30000000:3000000000"
  local ranges
  ranges=$(tool matrix "$matrix_name" state | grep -o 'ranges\.out[0-9]*=[^ ]*' | tr '\n' ' ' || true)
  note "${ranges:-no ranges held}"

  stop_proc matrix
  record "matrix-server stopped"
  antenna "A selects HF2 while the matrix is away" "select /DEVICES/KRV4/ANTENNA HF2"
  start_matrix matrix2
  record "matrix-server started again (empty matrix)"
  antenna "A selects HF1 (driver looks the manager up)" "select /DEVICES/KRV4/ANTENNA HF1"
  antenna "A selects HF2" "select /DEVICES/KRV4/ANTENNA HF2"
}

step_mirroring() {
  say "Receivers seen by the mirroring workstation"
  wait_line "$work/mirror.out" '^MIRROR connected index=0' 30000 ||
    die "the mirroring workstation did not connect to receiver A"
  note "${REPLY#MIRROR }   (RXA, 127.0.0.1:$rxa_port)"

  # The mirror follows a change on the receiver within one poll of its client.
  antenna "A selects VUHF (mirrored)" "select /DEVICES/KRV4/ANTENNA VUHF"
  host_do mirror "waitfor /RECEIVERS/RX0/ANTENNA VUHF 5000"
  ((${#HOST_ERRORS[@]} == 0)) && note "the mirroring workstation shows /RECEIVERS/RX0/ANTENNA = VUHF"

  free_port
  rxb_port=$REPLY
  line_count "$work/mirror.out"
  local from=$REPLY
  start_proc rxb "$vornhost" --no-plugin --stay --cco "$cco" --script "$demofiles/receiver-b.vorn" \
    --trace-mask 0x20 --trace-file "$work/rxb.trace" -- -ORBendPoint "giop:tcp:127.0.0.1:$rxb_port"
  start_traces rxb
  host_do rxb "receiver $rxb_port RXB 127.0.0.1 127.0.0.1 /DEVICES/KRV5"
  [[ ${HOST_OUTPUT[0]:-} == READY* ]] || die "receiver workstation B cannot serve its tree"
  note "receiver workstation B joins: serves /DEVICES/KRV5 on port $rxb_port, registered as RXB"
  wait_line "$work/mirror.out" '^MIRROR connected index=1' 15000 "$from" ||
    die "the mirroring workstation did not connect to receiver B"
  note "${REPLY#MIRROR }   (RXB, 127.0.0.1:$rxb_port)"
  show_mirror

  line_count "$work/mirror.out"
  from=$REPLY
  host_do rxb "unregister RXB"
  note "receiver workstation B leaves: unregisters RXB"
  wait_line "$work/mirror.out" '^MIRROR disconnected index=1' 15000 "$from" ||
    die "the mirroring workstation did not let receiver B go"
  note "${REPLY#MIRROR }"
  stop_proc rxb
}

# show_mirror: the mirrored values as the mirroring workstation has them.
mirror_snapshots=()
show_mirror() {
  host_do mirror "tree /RECEIVERS"
  stamp
  local at=$REPLY line
  for line in "${HOST_OUTPUT[@]}"; do
    [[ $line == */ ]] && continue
    printf '%7s    %s\n' "" "$line"
    mirror_snapshots+=("$at|$line")
  done
}

step_commit() {
  say "Receiver workstation A commits (CommitData releases the antenna's matrix input)"
  antenna "A commits" "commit"
}

# matrix_input_on OUTPUT: REPLY is the input the matrix connects to OUTPUT, or "".
matrix_input_on() {
  local connections
  connections=$(tool matrix "$matrix_name" state 2>/dev/null | sed -n 's/^connections: //p') || true
  REPLY=$(tr ';' '\n' <<<"$connections" | sed -n "s/^ *out $1 <- in \([0-9]*\) *\$/\1/p")
}

# restart_matrix: the running matrix-server is stopped and a new one (with an
# empty matrix) started in its place.
matrix_generation=2
restart_matrix() {
  local old=matrix$matrix_generation
  running "$old" || old=matrix
  stop_proc "$old"
  matrix_generation=$((matrix_generation + 1))
  start_matrix "matrix$matrix_generation"
}

# heal_run NAME LABEL OUTPUT: on the receiver workstation NAME, HF1 is
# selected, the matrix-server restarted, and HF1 selected again; after one
# ReconnectTimer (500 ms) the report notes what the matrix shows on OUTPUT.
# The driver writes MATRIXSTATE only with self-healing; HEALING says so.
heal_results=()
heal_run() {
  local name=$1 label=$2 output=$3 healing=$4
  host_do "$name" "select /DEVICES/KRV4/ANTENNA HF1" "wait 150"
  matrix_input_on "$output"
  note "$label: HF1 selected, matrix output $output <- input ${REPLY:-none}"
  restart_matrix
  host_do "$name" "select /DEVICES/KRV4/ANTENNA HF1" "wait 700"
  local state="(no MATRIXSTATE value)"
  if ((healing)); then
    host_do "$name" "get /DEVICES/KRV4/MATRIXSTATE"
    [[ ${HOST_OUTPUT[0]:-} == *"= "* ]] && state=${HOST_OUTPUT[0]#*= }
  fi
  matrix_input_on "$output"
  local shows="nothing"
  [[ $REPLY == 3 ]] && shows="HF1 (input 3)"
  [[ -n $REPLY && $REPLY != 3 ]] && shows="input $REPLY"
  note "$label: HF1 selected again after the restart; the matrix shows on output $output: $shows"
  heal_results+=("$label|$output|$shows|$state")
}

step_self_healing() {
  say "A matrix-server restart between two selections of HF1, without and with AntennaSelfHealing"
  heal_run rxa "self-healing off (workstation A)" 2 0

  free_port
  local port=$REPLY
  { cat "$examples/receiver.ini"; printf 'AntennaSelfHealing=true\n'; } >"$work/receiver-healing.ini"
  start_proc rxh "$vornhost" --cco "$cco" --config "$work/receiver-healing.ini" \
    --script "$examples/receiver-tree.vorn" --trace-mask 0x20 --trace-file "$work/rxh.trace" \
    -- -ORBendPoint "giop:tcp:127.0.0.1:$port"
  start_traces rxh
  host_do rxh "set /DEVICES/KRV4/ANTENNAS/MatrixOut 3" "waitfor /DEVICES/KRV4/USINGANTENNAMATRIX true 10000"
  ((${#HOST_ERRORS[@]} == 0)) || die "the driver's antenna side did not start on workstation H"
  note "receiver workstation H: like A, with AntennaSelfHealing=true, on matrix output 3"
  heal_run rxh "self-healing on (workstation H)" 3 1
  stop_proc rxh
}

step_report() {
  say "Report"
  echo "Matrix connections over time (connectionData of AntennaMatrixManager1, through the CCO):"
  local row time what connections error
  for row in "${timeline[@]}"; do
    IFS='|' read -r time what connections error <<<"$row"
    printf '  %7s  %-44s %s\n' "$time" "$what" "$connections"
  done
  echo
  echo "Receivers seen by the mirroring workstation:"
  local line
  while IFS= read -r line; do
    [[ $line =~ ^MIRROR\ (connected|disconnected)\ index=([0-9]+)(\ ip=([^ ]*))? ]] || continue
    printf '  %-12s /RECEIVERS/RX%s%s\n' "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}" \
      "${BASH_REMATCH[4]:+ (Ip ${BASH_REMATCH[4]})}"
  done < <(grep '^MIRROR ' "$work/mirror.out")
  echo "  mirrored values with both receivers there:"
  local snapshot last_at=""
  for snapshot in "${mirror_snapshots[@]}"; do last_at=${snapshot%%|*}; done
  for snapshot in "${mirror_snapshots[@]}"; do
    [[ ${snapshot%%|*} == "$last_at" ]] && printf '    %s\n' "${snapshot#*|}"
  done
  echo
  echo "LASTDRIVERERROR of receiver workstation A:"
  if ((${#errors_seen[@]})); then
    for line in "${errors_seen[@]}"; do printf '  %s\n' "$line"; done
  else
    echo "  (never written)"
  fi
  echo
  echo "After a matrix-server restart between two selections of HF1:"
  local label output shows state
  for row in "${heal_results[@]}"; do
    IFS='|' read -r label output shows state <<<"$row"
    printf '  %-32s matrix output %s shows %s\n' "$label" "$output" "$shows"
    [[ $state == "(no MATRIXSTATE value)" ]] || printf '  %-32s MATRIXSTATE: %s\n' "" "$state"
  done
  echo
  echo "Calls served: cco-server $(grep -c '^CALL ' "$work/cco.out" || true)," \
    "matrix-servers $(cat "$work"/matrix*.out | grep -c '^CALL ' || true)"
}

# start_view: installation-view on a free loopback port, showing the set-up live.
view_url=""
start_view() {
  local view=$build/apps/installation-view/installation-view
  [[ -x $view ]] || { note "installation-view is not built, so there is no page"; return 0; }
  start_server view "$view" --cco "$cco" --listen 127.0.0.1:0
  view_url=$REPLY
  note "installation-view $view_url  (open it in a browser on this machine)"
}

interactive_session() {
  start_view
  say "Interactive: your lines go to receiver workstation A's vorn-host"
  cat <<EOF
  Try:  select /DEVICES/KRV4/ANTENNA VUHF      tree /DEVICES/KRV4      ranges HF1:1:2
        @matrix state                          @tool list $category
        @mirror tree /RECEIVERS                @mirror help            help
  "quit" or Ctrl-D stops everything. The CCO is $cco.
EOF
  [[ -z $view_url ]] || echo "  The installation, live: $view_url"
  local line from
  while IFS= read -r -p 'vorn> ' line; do
    case "$line" in
      quit | exit) break ;;
      @tool\ *)
        # Word splitting is what the user means here.
        # shellcheck disable=SC2086
        tool ${line#@tool } || true
        continue
        ;;
      @matrix\ *)
        local m=matrix$matrix_generation
        running "$m" || m=matrix
        line_count "$work/$m.out"
        from=$REPLY
        send "$m" "${line#@matrix }"
        wait_line "$work/$m.out" '^(OK|ERROR) ' 5000 "$from" || true
        tail -n +$((from + 1)) "$work/$m.out" | grep -v '^CALL ' || true
        continue
        ;;
      @mirror\ *) host_do mirror "${line#@mirror }" ;;
      *) host_do rxa "$line" ;;
    esac
    printf '%s\n' "${HOST_OUTPUT[@]}"
  done
  echo
}

echo "Demo logs in $work"
step_servers
step_workstations
if ((interactive)); then
  interactive_session
else
  step_antennas
  step_mirroring
  step_commit
  step_self_healing
  step_report
fi
say "Stopping everything (the last started first)"
