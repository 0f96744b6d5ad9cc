#!/usr/bin/env python3
"""A seeded fault campaign over a whole installation, and its checker.

The installation: cco-server with a state file, matrix-server, three receiver
workstations (vorn-host with the plug-in, serving their trees; self-healing on
some, off on others), one mirroring workstation and a registrar that registers
and removes value lists and locate entries through the library. As root with a
working `ip netns`, every host has a network namespace of its own on a bridge,
so that a host can also be cut off; otherwise all run on loopback.

Each cycle draws faults from the seed (several may overlap), ends them, waits a
drawn quiet time and then lets the checker judge the installation: every
invariant must hold within a settle bound derived from the configured paces.
A run is replayed by giving the same seed (and the same options).

Output ends with one line
  campaign seed=S minutes=M faults=N checks=K violations=V longest_settle_ms=X
and the exit status is 1 when a violation was found (2 for bad usage or an
installation that could not be started).
"""

import argparse
import collections
import ctypes
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ANTENNAS = {"HF1": 3, "HF2": 4, "VUHF": 6, "DUMMYLOAD": 0}
SWITCHABLE = ["HF1", "HF2", "VUHF"]
CATEGORY = "CentralServices/Receiver/PulseAnalysis"
MATRIX_WS = "campaign-ws"
MATRIX_NAME = "CCO/LocalSystem/LocalSubSystem/Workstations/%s/AntennaMatrixManager1/IF_MMR_c" % MATRIX_WS
DEVICE = "/DEVICES/KRV4"
FAULT_KINDS = ["kill", "stop", "cco-fault", "netcut", "select", "matrixout", "swap", "register", "unregister",
               "locate", "unlocate"]
DEFAULT_MIX = "kill=3,stop=3,cco-fault=3,netcut=2,select=4,matrixout=2,swap=1,register=3,unregister=2,locate=1,unlocate=1"
CCO_OPS = ["ResolveValues", "RegisterValues", "UnregisterValues", "Resolve", "GetSubSystems", "*"]
CCO_RAISES = ["TRANSIENT", "COMM_FAILURE", "NotFound"]

_libc = ctypes.CDLL(None, use_errno=True)


def _die_with_parent():
    # The campaign's children go when the campaign goes, even by SIGKILL.
    _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Stopped(Exception):
    pass


class Process:
    """A child with its output collected line by line on reader threads."""

    def __init__(self, name, argv, env, prefix=()):
        self.name = name
        self.argv = list(prefix) + list(argv)
        self.env = env
        self.lines = []
        self.cond = threading.Condition()
        self.popen = None
        self.stopped = False  # SIGSTOP in force
        self.expected_exit = False
        self.mark = 0

    def start(self, ready_text, timeout):
        self.lines = []
        self.stopped = False
        self.expected_exit = False
        # Popen on the main thread only: the death signal follows the thread
        # that forked.
        self.popen = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, env=self.env, preexec_fn=_die_with_parent)
        for stream, tag in ((self.popen.stdout, ""), (self.popen.stderr, "stderr: ")):
            threading.Thread(target=self._read, args=(stream, tag), daemon=True).start()
        return self.wait_line(lambda l: l.startswith(ready_text), timeout) is not None

    def _read(self, stream, tag):
        for raw in iter(stream.readline, b""):
            with self.cond:
                self.lines.append(tag + raw.decode("utf-8", "replace").rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    @property
    def pid(self):
        return self.popen.pid if self.popen else None

    def running(self):
        return self.popen is not None and self.popen.poll() is None

    def wait_line(self, match, timeout, start=0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if match(self.lines[i]):
                        return i
                start = max(start, len(self.lines))
                left = deadline - time.monotonic()
                if left <= 0 or (self.popen.poll() is not None and start >= len(self.lines)):
                    return None
                self.cond.wait(min(left, 0.1))

    def send(self, line):
        try:
            self.popen.stdin.write((line + "\n").encode())
            self.popen.stdin.flush()
            return True
        except (BrokenPipeError, OSError, ValueError):
            return False

    def host_do(self, commands, timeout):
        """vorn-host: runs `commands`, returns their stdout lines, or None when
        the host did not get through them in time."""
        self.mark += 1
        mark = "@@%d" % self.mark
        with self.cond:
            start = len(self.lines)
        for c in commands + ["echo " + mark]:
            if not self.send(c):
                return None
        at = self.wait_line(lambda l: l == mark, timeout, start)
        if at is None:
            return None
        with self.cond:
            return [l for l in self.lines[start:at] if not l.startswith("stderr: ")]

    def server_do(self, command, timeout):
        """cco-server / matrix-server: the lines printed before "OK command"."""
        with self.cond:
            start = len(self.lines)
        if not self.send(command):
            return None
        at = self.wait_line(lambda l: l == "OK " + command or l.startswith("ERROR " + command), timeout, start)
        if at is None or self.lines[at].startswith("ERROR"):
            return None
        with self.cond:
            return list(self.lines[start:at])

    def signal(self, sig):
        if self.running():
            try:
                os.kill(self.popen.pid, sig)
            except ProcessLookupError:
                pass

    def kill(self):
        self.expected_exit = True
        self.signal(signal.SIGKILL)
        if self.popen:
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                pass
        self.stopped = False

    def terminate(self, grace=5.0):
        self.expected_exit = True
        if self.stopped:
            self.signal(signal.SIGCONT)
            self.stopped = False
        self.signal(signal.SIGTERM)
        if self.popen:
            try:
                self.popen.wait(grace)
            except subprocess.TimeoutExpired:
                self.kill()

    def figures(self):
        """Threads, VmRSS (kB) and open descriptors, or None."""
        try:
            threads = rss = None
            with open("/proc/%d/status" % self.pid) as f:
                for line in f:
                    if line.startswith("Threads:"):
                        threads = int(line.split()[1])
                    elif line.startswith("VmRSS:"):
                        rss = int(line.split()[1])
            fds = len(os.listdir("/proc/%d/fd" % self.pid))
            return threads, rss, fds
        except (OSError, ValueError, TypeError):
            return None


def value_text(line):
    """The value in vorn-host's "PATH = VALUE" answer to get."""
    return line.split(" = ", 1)[1] if " = " in line else line.rstrip(" =")


def entry_at(entries, path):
    """The values bound at `path` (relative to the local subsystem), found
    under the canonical name the CCO lists them by."""
    tail = path.split("/LocalSubSystem/", 1)[-1]
    for name, values in entries.items():
        if name.endswith("/" + tail):
            return values
    return None


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def run_quiet(argv, timeout=10):
    try:
        r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout,
                           preexec_fn=_die_with_parent)
        return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")
    except (subprocess.TimeoutExpired, OSError) as e:
        return -1, "", str(e)


class Network:
    """Hosts of the installation: network namespaces on one bridge, or loopback."""

    SUBNET = "10.213.23."
    PREFIX = "ecdcamp"

    def __init__(self, hosts, use_netns):
        self.hosts = hosts
        self.netns = use_netns
        self.base = "%s%d" % (self.PREFIX, os.getpid())
        self.created = False
        self.ip = shutil.which("ip") or "/usr/sbin/ip"

    def address(self, host):
        i = self.hosts.index(host)
        return (self.SUBNET if self.netns else "127.0.0.") + str(21 + i)

    def space(self, host):
        return "%s-%s" % (self.base, host)

    def prefix(self, host):
        return [self.ip, "netns", "exec", self.space(host)] if self.netns else []

    def _ip(self, *args):
        code, _, err = run_quiet([self.ip] + list(args))
        if code != 0:
            raise RuntimeError("ip %s: %s" % (" ".join(args), err.strip()))

    def create(self):
        if not self.netns:
            return
        self.remove_stale()
        self.created = True
        bridge = self.base + "-net"
        self._ip("netns", "add", bridge)
        self._ip("-n", bridge, "link", "add", "br0", "type", "bridge")
        self._ip("-n", bridge, "link", "set", "br0", "up")
        for i, host in enumerate(self.hosts):
            space = self.space(host)
            peer = "c%dx%d" % (os.getpid(), i)
            self._ip("netns", "add", space)
            self._ip("-n", space, "link", "set", "lo", "up")
            self._ip("-n", space, "link", "add", "eth0", "type", "veth", "peer", "name", peer, "netns", bridge)
            self._ip("-n", bridge, "link", "set", peer, "master", "br0", "up")
            self._ip("-n", space, "addr", "add", self.address(host) + "/24", "dev", "eth0")
            self._ip("-n", space, "link", "set", "eth0", "up")

    def cut(self, host, down):
        self._ip("-n", self.space(host), "link", "set", "eth0", "down" if down else "up")

    def remove(self):
        if self.created:
            self.created = False
            self._remove(self.base)

    def _remove(self, base):
        for suffix in ["net"] + self.hosts:
            run_quiet([self.ip, "netns", "del", "%s-%s" % (base, suffix)])

    def remove_stale(self):
        """Namespaces of earlier runs whose campaign is gone."""
        _, out, _ = run_quiet([self.ip, "netns", "list"])
        for line in out.splitlines():
            name = line.split(" ")[0]
            m = re.match(r"%s(\d+)-" % self.PREFIX, name)
            if m and not os.path.exists("/proc/" + m.group(1)):
                run_quiet([self.ip, "netns", "del", name])

    @staticmethod
    def usable():
        if os.geteuid() != 0 or not shutil.which("ip"):
            return False
        probe = "%sprobe%d" % (Network.PREFIX, os.getpid())
        ok = run_quiet(["ip", "netns", "add", probe])[0] == 0
        run_quiet(["ip", "netns", "del", probe])
        return ok


class Campaign:
    def __init__(self, args, seed):
        self.args = args
        self.seed = seed
        self.rng = random.Random(seed)
        self.build = os.path.abspath(args.build)
        self.tmp = tempfile.mkdtemp(prefix="campaign-%d-" % seed)
        self.call_ms = args.call_timeout_ms
        self.tick_ms = args.reconnect_ms
        self.watcher_poll_ms = 5000  # the mirroring's fixed watcher pace
        # How long the installation may take to come right once the faults
        # have ended: the mirroring needs up to three watcher polls (a fresh
        # watcher polls first on its third) and a query each of up to a few
        # call timeouts; a receiver two retry ticks and a switching run of up
        # to four calls.
        self.settle_ms = (3 * self.watcher_poll_ms + 2 * self.tick_ms + 6 * self.call_ms)
        # The longest the host thread may be held: a switching run of four
        # calls (lookup, narrow, disconnect, connect), each bounded by the
        # call timeout, plus a tick.
        self.stall_ms = 4 * self.call_ms + 2 * self.tick_ms + 1000
        self.mix = self._parse_mix(args.mix)
        self.netns = args.netns_on
        hosts = ["cco", "mir", "reg", "rx1", "rx2", "rx3", "rx4"]
        self.net = Network(hosts, self.netns)
        self.env = dict(os.environ, VORN_CALL_TIMEOUT_MS=str(self.call_ms),
                        VORN_CONNECT_TIMEOUT_MS=str(min(500, self.call_ms)), VORN_TRACE_MASK="", VORN_CONFIG="")
        self.procs = {}
        self.history = []
        self.violations = []
        self.faults_by_kind = collections.Counter()
        self.in_force = {}  # fault id -> description
        self.recent_faults = []  # of the cycle under way, for the violations' context
        self.checks = 0
        self.longest_settle = 0
        self.t0 = time.monotonic()
        self.cco_port = 2809 if self.netns else free_port()
        self.matrix_port = 7100 if self.netns else free_port()
        # Receiver slots: three active, one waiting to join; outputs 2 per slot.
        self.slots = {}
        for i, name in enumerate(["rx1", "rx2", "rx3", "rx4"]):
            self.slots[name] = {"healing": i % 2 == 0, "outputs": [2 * i + 1, 2 * i + 2],
                                "port": 7000 if self.netns else free_port(), "active": i < 3, "gen": 0}
        self.regs = {}  # path -> state: issued, acked, removing, removed
        self.reg_counter = 0
        self.locates = {"loc%d" % i: {"host": "dev-host-%d" % i, "port": 5100 + i, "state": "idle",
                                      "busy": False} for i in range(3)}
        self.samples = collections.defaultdict(list)  # (name, pid) -> [(threads, rss, fds)]
        self.stalls = []
        self.rx_script_cache = {}

    # -- bookkeeping -------------------------------------------------------------------------------------------

    def now_ms(self):
        return int((time.monotonic() - self.t0) * 1000)

    def log(self, text):
        line = "[%8.3f] %s" % (self.now_ms() / 1000.0, text)
        self.history.append(line)
        if self.args.verbose:
            print(line, flush=True)

    def violate(self, invariant, detail):
        faults = ", ".join(sorted(self.in_force.values())) or "none"
        recent = ", ".join(self.recent_faults[-6:]) if self.recent_faults else "none"
        text = ("VIOLATION %s at t=%.3fs seed=%d: %s (faults in force: %s; last faults: %s)"
                % (invariant, self.now_ms() / 1000.0, self.seed, detail, faults, recent))
        self.violations.append(text)
        self.log(text)
        print(text, flush=True)

    def _parse_mix(self, text):
        mix = {}
        for item in text.split(","):
            kind, _, weight = item.partition("=")
            if kind not in FAULT_KINDS or not weight.isdigit():
                raise SystemExit("campaign: bad --mix item '%s' (kinds: %s)" % (item, ", ".join(FAULT_KINDS)))
            mix[kind] = int(weight)
        return mix

    # -- the installation --------------------------------------------------------------------------------------

    def tool(self, name):
        for sub in ("apps/vorn-host", "services", "services/cco", "services/matrix", "services/tool",
                    "tests/campaign"):
            path = os.path.join(self.build, sub, name)
            if os.access(path, os.X_OK):
                return path
        raise SystemExit("campaign: %s not found in %s (build it first)" % (name, self.build))

    def cco_address(self):
        return "%s:%d" % (self.net.address("cco"), self.cco_port)

    # A process kept from an earlier start is started again (same command);
    # a missing one is made. `prefix` names the host whose namespace it runs in.
    def launch(self, name, argv, prefix, ready, what):
        p = self.procs.get(name) or Process(name, argv, self.env, self.net.prefix(prefix))
        self.procs[name] = p
        if not p.start(ready, 20):
            raise RuntimeError("%s did not start: %s" % (what, "\n".join(p.lines[-10:])))
        return p

    def start_cco(self):
        self.launch("cco", [
            self.tool("cco-server"), "--host", self.net.address("cco"), "--port", str(self.cco_port),
            "--workstation", MATRIX_WS, "--state-file", os.path.join(self.tmp, "cco.state"), "--quiet"],
            "cco", "READY", "cco-server")

    def start_matrix(self):
        self.launch("matrix", [
            self.tool("matrix-server"), "--host", self.net.address("cco"), "--port", str(self.matrix_port),
            "--cco", "corbaloc::%s/CCO" % self.cco_address(), "--workstation", MATRIX_WS, "--inputs", "8",
            "--outputs", "8", "--retry-interval", str(self.tick_ms), "--quiet"],
            "cco", "READY", "matrix-server")

    def start_registrar(self):
        self.launch("registrar", [
            self.tool("campaign-registrar"), "corbaloc::%s/CCO" % self.cco_address(), str(self.tick_ms), "100"],
            "reg", "READY", "registrar")
        for loc in self.locates.values():
            loc["busy"] = False

    def start_mirror(self):
        script = os.path.join(self.tmp, "mirror.vorn")
        with open(script, "w") as f:
            f.write("mirror /RECEIVERS/RX%1 ANTENNA,LASTDRIVERERROR\necho READY vorn-host\n")
        self.launch("mirror", [
            self.tool("vorn-host"), "--no-plugin", "--stay", "--cco", self.cco_address(), "--script", script],
            "mir", "READY vorn-host", "mirroring workstation")

    def start_receiver(self, name):
        slot = self.slots[name]
        addr = self.net.address(name)
        config = os.path.join(self.tmp, name + ".ini")
        with open(config, "w") as f:
            f.write("[ExternalCCODriver]\nReconnectTimer=%d\nValuePath=%s\nAntennaMatrixDriver=true\n"
                    "MatrixID=1\nMatrixRemoteHost=%s\nOutputNumber=%d\nAntennaSelfHealing=%s\n"
                    % (self.tick_ms, DEVICE, MATRIX_WS, slot["outputs"][0], "true" if slot["healing"] else "false"))
        script = os.path.join(self.tmp, name + ".vorn")
        with open(script, "w") as f:
            for antenna, port in ANTENNAS.items():
                f.write("mkvalue int %s/ANTENNAS/%s/ExternalNumber %d\n" % (DEVICE, antenna, port))
            f.write("mkvalue int %s/ANTENNAS/MatrixOut %d\n" % (DEVICE, slot["outputs"][0]))
            f.write("mkvalue selection %s/ANTENNA %s\n" % (DEVICE, ",".join(ANTENNAS)))
            f.write("mkvalue string %s/LASTDRIVERERROR\n" % DEVICE)
            f.write("mkvalue selection %s/HARDWARESTATUS STOPPED,RUNNING\n" % DEVICE)
            f.write("select %s/HARDWARESTATUS RUNNING\n" % DEVICE)
            # The operator's choice from before the workstation started: the
            # driver finds it selected when its antenna side comes up.
            f.write("select %s/ANTENNA %s\n" % (DEVICE, self.rng.choice(list(ANTENNAS))))
            f.write("receiver %s:%d %s %s %s %s\n" % (addr, slot["port"], name, addr, addr, DEVICE))
            f.write("echo READY vorn-host\n")
        # vorn-host links the library for its receiver roles; the plug-in
        # must be that same library, so both come from one build tree.
        build = os.path.abspath(self.args.receiver_build or self.build)
        # A new process each time: its configuration and script are written anew.
        self.procs.pop(name, None)
        self.launch(name, [os.path.join(build, "apps/vorn-host/vorn-host"), "--cco", self.cco_address(), "--config",
                           config, "--stay", "--plugin",
                           os.path.join(build, "devicecontrol/receiver/externalccodriver/libExternalCCODriver.so"),
                           "--script", script, "--", "-ORBendPoint", "giop:tcp:%s:%d" % (addr, slot["port"])],
                    name, "READY vorn-host", "receiver " + name)
        slot["gen"] += 1

    def restart(self, name):
        # Two of a workstation on one address would answer for each other.
        if name in self.procs and self.procs[name].running():
            self.procs[name].kill()
        starters = {"cco": self.start_cco, "matrix": self.start_matrix, "registrar": self.start_registrar,
                    "mirror": self.start_mirror}
        for attempt in range(3):
            try:
                if name in starters:
                    starters[name]()
                else:
                    self.start_receiver(name)
                return
            except RuntimeError as e:
                self.log("restart of %s failed (%s); again" % (name, e))
                self.procs[name].kill()
        raise RuntimeError("%s cannot be restarted" % name)

    def long_lived(self):
        return [n for n in ("cco", "matrix", "registrar", "mirror") if n in self.procs] + \
            [n for n, s in self.slots.items() if s["active"] and n in self.procs]

    def set_up(self):
        self.net.create()
        self.start_cco()
        self.start_matrix()
        self.start_mirror()
        for name, slot in self.slots.items():
            if slot["active"]:
                self.start_receiver(name)
        self.start_registrar()
        self.log("installation up (%s); settle bound %d ms, stall bound %d ms"
                 % ("network namespaces" if self.netns else "loopback", self.settle_ms, self.stall_ms))

    def tear_down(self):
        for name, p in list(self.procs.items()):
            p.terminate(3)
        self.net.remove()
        shutil.rmtree(self.tmp, ignore_errors=True)

    # -- what the installation says ---------------------------------------------------------------------------

    def cco_entries(self):
        lines = self.procs["cco"].server_do("dump", self.call_ms / 1000.0 + 2)
        if lines is None:
            return None
        entries = {}
        for line in lines:
            m = re.match(r"ENTRY (.*?) =((?: \[.*?\])*)$", line)
            if m:
                entries[m.group(1)] = re.findall(r"\[(.*?)\]", m.group(2))
        return entries

    def matrix_connections(self):
        lines = self.procs["matrix"].server_do("state", 3)
        if lines is None:
            return None
        conns = {}
        for line in lines:
            if line.startswith("CONNECTIONS "):
                for m in re.finditer(r"out (\d+) <- in (\d+)", line):
                    conns[int(m.group(1))] = int(m.group(2))
        return conns

    def receiver_state(self, name):
        out = self.procs[name].host_do(["get %s/ANTENNA" % DEVICE, "get %s/ANTENNAS/MatrixOut" % DEVICE,
                                        "get %s/LASTDRIVERERROR" % DEVICE, "get %s/USINGANTENNAMATRIX" % DEVICE],
                                       self.stall_ms / 1000.0)
        if out is None or len(out) < 4:
            return None
        out = [value_text(l) for l in out]
        return {"ANTENNA": out[0], "MatrixOut": out[1], "LASTDRIVERERROR": out[2], "USING": out[3]}

    def mirror_state(self):
        """index -> ip of the receivers the mirroring workstation reports connected."""
        p = self.procs["mirror"]
        connected = {}
        with p.cond:
            lines = list(p.lines)
        for line in lines:
            m = re.match(r"MIRROR connected index=(\d+) ip=(\S*)", line)
            if m:
                connected[int(m.group(1))] = m.group(2)
            m = re.match(r"MIRROR disconnected index=(\d+)", line)
            if m:
                connected.pop(int(m.group(1)), None)
        return connected

    def registered_receivers(self, entries):
        regs = {}
        for path, values in entries.items():
            if CATEGORY in path and len(values) == 4:
                regs[path.rsplit("/", 1)[-1]] = (values[0], values[3])
        return regs

    # -- the checker ------------------------------------------------------------------------------------------

    def judge(self, entries):
        """The invariants as they stand now: a list of (invariant, detail) that do not hold."""
        failing = []
        if entries is None:
            return [("cco-answers", "the CCO did not answer its dump")]
        registered = self.registered_receivers(entries)
        rx_state = {}
        for name, slot in self.slots.items():
            if slot["active"] and self.procs[name].running():
                state = self.receiver_state(name)
                if state is None:
                    failing.append(("host-responsive", "%s did not answer within %d ms" % (name, self.stall_ms)))
                    continue
                rx_state[name] = state
        # The mirroring mirrors exactly the registered and reachable receivers.
        expected = {}
        for name, state in rx_state.items():
            addr = self.net.address(name)
            if registered.get(name) == (addr, str(self.slots[name]["port"])):
                expected[addr] = name
        mirrored = self.mirror_state()
        ips = sorted(mirrored.values())
        if sorted(expected) != ips:
            failing.append(("mirror-exact", "mirrored %s, registered and reachable %s"
                            % (ips, sorted(expected))))
        else:
            for index, ip in sorted(mirrored.items()):
                name = expected[ip]
                out = self.procs["mirror"].host_do(["get /RECEIVERS/RX%d/ANTENNA" % index,
                                                    "get /RECEIVERS/RX%d/LASTDRIVERERROR" % index], 3)
                out = [value_text(l) for l in out] if out is not None else None
                own = [rx_state[name]["ANTENNA"], rx_state[name]["LASTDRIVERERROR"]]
                if out != own:
                    failing.append(("mirror-values", "RX%d mirrors %s of %s, which holds %s" % (index, out, name, own)))
        # The matrix: a self-healing receiver's selected antenna on its output.
        conns = self.matrix_connections()
        self.last_seen = "matrix %s; receivers %s" % (
            conns, ", ".join("%s%s %s@%s" % (n, "+" if self.slots[n]["healing"] else "-", st["ANTENNA"],
                                             st["MatrixOut"]) for n, st in sorted(rx_state.items())))
        if conns is None:
            failing.append(("matrix-answers", "the matrix manager did not answer"))
        else:
            for name, state in rx_state.items():
                try:
                    out = int(state["MatrixOut"])
                except ValueError:
                    failing.append(("receiver-tree", "%s has MatrixOut '%s'" % (name, state["MatrixOut"])))
                    continue
                want = ANTENNAS.get(state["ANTENNA"], 0)
                have = conns.get(out, 0)
                if self.slots[name]["healing"]:
                    if have != want:
                        failing.append(("self-healing", "%s selects %s (input %d) but output %d has input %d"
                                        % (name, state["ANTENNA"], want, out, have)))
                elif self.slots[name].get("confirmed") is not None:
                    antenna, port = self.slots[name]["confirmed"]
                    if port != out or state["ANTENNA"] != antenna:
                        continue  # moved on since; nothing follows for certain
                    if have != want:
                        failing.append(("stated-switching", "%s switched to %s (input %d) on a free output %d, "
                                        "which has input %d" % (name, antenna, want, out, have)))
        # Registrations the CCO acknowledged stay; removed ones stay away.
        for path, reg in self.regs.items():
            found = entry_at(entries, path)
            present = found == reg["values"]
            if reg["state"] == "acked" and not present:
                failing.append(("registration-kept", "%s was acknowledged and is gone (%s restarts of the CCO "
                                "since)" % (path, reg["restarts"])))
            elif reg["state"] == "removed" and found is not None:
                failing.append(("removal-kept", "%s was removed and is back" % path))
        for dev, loc in self.locates.items():
            present = self.locate_present(entries, loc)
            if loc["state"] == "acked" and not present:
                failing.append(("registration-kept", "locate entry of %s:%d was acknowledged and is gone"
                                % (loc["host"], loc["port"])))
            elif loc["state"] == "removed" and present:
                failing.append(("removal-kept", "locate entry of %s:%d was removed and is back"
                                % (loc["host"], loc["port"])))
        return failing

    def locate_present(self, entries, loc):
        for path, values in entries.items():
            if re.search(r"/Locate\d+$", path) and len(values) == 4 and values[0] == loc["host"] \
                    and values[3] == str(loc["port"]):
                return True
        return False

    def observe_registrations(self, entries):
        """What the CCO shows once the faults have ended is what it acknowledged."""
        for path, reg in self.regs.items():
            found = entry_at(entries, path)
            if reg["state"] == "issued" and found == reg["values"]:
                reg["state"] = "acked"
                self.log("the CCO holds %s" % path)
            elif reg["state"] == "removing" and found is None:
                reg["state"] = "removed"
                self.log("the CCO no longer holds %s" % path)
        for loc in self.locates.values():
            if loc["busy"]:
                continue
            present = self.locate_present(entries, loc)
            if loc["state"] == "issued" and present:
                loc["state"] = "acked"
                self.log("the CCO holds the locate entry of %s:%d" % (loc["host"], loc["port"]))
            elif loc["state"] == "removing" and not present:
                loc["state"] = "removed"
                self.log("the CCO no longer holds a locate entry of %s:%d" % (loc["host"], loc["port"]))

    def confirm_stated_switching(self):
        """A receiver without self-healing follows only antenna changes. What
        follows for certain: with its output freed by the operator, five
        changes in a row, each to another antenna than the one before, leave
        the last one's input on it. A change only looks the manager up when the
        driver has lost it, and the first call on a connection to a server
        restarted since may fail once (one per server, each at its first use);
        after those, one change may still meet a stale input number and do
        nothing, and the next one is switched."""
        conns = self.matrix_connections()
        if conns is None:
            return
        for name, slot in self.slots.items():
            slot["confirmed"] = None
            if slot["healing"] or not slot["active"] or not self.procs[name].running():
                continue
            p = self.procs[name]
            if p.host_do(["waitfor %s/USINGANTENNAMATRIX true %d" % (DEVICE, self.settle_ms)],
                         self.settle_ms / 1000.0 + 2) is None:
                continue
            state = self.receiver_state(name)
            if state is None:
                continue
            out = int(state["MatrixOut"] or 0)
            if conns.get(out):
                cco_tool = self.net.prefix("cco") + [self.tool("cco-tool"), "--cco", "corbaloc::%s/CCO"
                                                     % self.cco_address(), "matrix", MATRIX_NAME, "disconnect",
                                                     str(conns[out]), str(out)]
                run_quiet(cco_tool)
            changes = []
            previous = state["ANTENNA"]
            for _ in range(5):
                previous = self.rng.choice([x for x in SWITCHABLE if x != previous])
                changes.append(previous)
            # "wait 100" lets the 20 ms switching run of each change happen
            # before the next change; the run holds the host thread, so the
            # wait cannot end before it.
            commands = []
            for antenna in changes:
                commands += ["select %s/ANTENNA %s" % (DEVICE, antenna), "wait 100"]
            p.host_do(commands, self.stall_ms * len(changes) / 1000.0)
            slot["confirmed"] = (changes[-1], out)
            self.log("operator freed output %d of %s and selected %s" % (out, name, ", ".join(changes)))

    def check(self):
        """After the faults and the quiet time: every invariant must hold within
        the settle bound, counted from the last change of what is registered."""
        self.checks += 1
        self.confirm_stated_switching()
        start = time.monotonic()
        deadline = start + self.settle_ms / 1000.0
        hard_deadline = start + 2 * self.settle_ms / 1000.0
        last_registered = None
        failing = []
        while True:
            entries = self.cco_entries()
            if entries is not None:
                self.observe_registrations(entries)
                registered = self.registered_receivers(entries)
                if last_registered is not None and registered != last_registered:
                    deadline = min(hard_deadline, time.monotonic() + self.settle_ms / 1000.0)
                last_registered = registered
            failing = self.judge(entries)
            if not failing or time.monotonic() >= deadline:
                break
            time.sleep(0.2)  # poll interval of the settle wait, bounded by its deadline
        settle = int((time.monotonic() - start) * 1000)
        if failing:
            for invariant, detail in failing:
                self.violate(invariant, detail + " after %d ms" % settle)
        else:
            self.longest_settle = max(self.longest_settle, settle)
            self.log("check %d held after %d ms: mirrored %s; lists held %d, removed %d; locate %s"
                     % (self.checks, settle, sorted(self.mirror_state().values()),
                        sum(r["state"] == "acked" for r in self.regs.values()),
                        sum(r["state"] == "removed" for r in self.regs.values()),
                        ",".join("%s=%s" % (d, l["state"]) for d, l in sorted(self.locates.items()))))
            self.log("  " + self.last_seen)
        self.sample_resources()

    def sample_resources(self):
        for name in self.long_lived():
            p = self.procs[name]
            if p.running():
                f = p.figures()
                if f:
                    self.samples[(name, p.pid)].append(f)

    def ping_hosts(self):
        """The host threads of the workstations answer within the stall bound."""
        for name in ["mirror"] + [n for n, s in self.slots.items() if s["active"]]:
            p = self.procs.get(name)
            if not p or not p.running() or p.stopped:
                continue
            t = time.monotonic()
            if p.host_do([], self.stall_ms / 1000.0) is None and p.running() and not p.stopped:
                self.violate("host-stall", "%s did not answer within %d ms" % (name, self.stall_ms))
            self.stalls.append(int((time.monotonic() - t) * 1000))

    def watch_crashes(self):
        for name, p in list(self.procs.items()):
            if name in self.slots and not self.slots[name]["active"]:
                continue
            if not p.running() and not p.expected_exit:
                code = p.popen.returncode if p.popen else None
                self.violate("no-crash", "%s (pid %s) ended by itself with status %s; last output: %s"
                             % (name, p.pid, code, " | ".join(p.lines[-5:])))
                self.restart(name)

    def judge_trends(self):
        """Threads, descriptors and resident memory of each long-lived process:
        a least-squares slope over the second half of its samples, projected
        over that half."""
        for (name, pid), series in self.samples.items():
            if len(series) < 16:
                continue
            half = series[len(series) // 2:]
            n = len(half)
            xs = range(n)
            mx = (n - 1) / 2.0
            for k, label, limit_abs, limit_rel in ((0, "threads", 4, 0.25), (1, "VmRSS kB", 16384, 0.25),
                                                   (2, "descriptors", 8, 0.25)):
                ys = [s[k] for s in half]
                my = sum(ys) / float(n)
                slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
                growth = slope * n
                if growth > limit_abs and growth > limit_rel * my:
                    self.violate("no-growth", "%s (pid %d): %s grew by %.0f over the last %d cycles (mean %.0f)"
                                 % (name, pid, label, growth, n, my))

    # -- the faults -------------------------------------------------------------------------------------------

    def draw(self):
        kinds = [k for k in FAULT_KINDS if self.mix.get(k, 0) > 0 and (k != "netcut" or self.netns)]
        return self.rng.choices(kinds, [self.mix[k] for k in kinds])[0]

    def active_receivers(self):
        return [n for n, s in self.slots.items() if s["active"]]

    def cycle(self):
        """Draws overlapping faults on a timeline, plays it, ends them."""
        count = self.rng.randint(1, self.args.rate)
        window = self.rng.uniform(0.5, 4.0)
        events = []
        for _ in range(count):
            kind = self.draw()
            at = self.rng.uniform(0, window)
            duration = self.rng.uniform(0.2, 3.0)
            events.append((at, kind, duration))
        events.sort()
        self.recent_faults = []
        ends = []  # (time, fault id, undo)
        start = time.monotonic()
        for at, kind, duration in events:
            while True:
                now = time.monotonic() - start
                due = [e for e in ends if e[0] <= now]
                for e in due:
                    ends.remove(e)
                    e[2]()
                    self.in_force.pop(e[1], None)
                if now >= at:
                    break
                # A drawn pause: the time between faults is itself drawn.
                time.sleep(min(0.05, at - now))  # the drawn time between faults
            undo = self.inject(kind, duration)
            if undo:
                fid = len(self.history)
                ends.append((time.monotonic() - start + duration, fid, undo[1]))
                self.in_force[fid] = undo[0]
            self.watch_crashes()
        for e in sorted(ends):
            left = e[0] - (time.monotonic() - start)
            if left > 0:
                time.sleep(left)  # the fault's drawn duration
            e[2]()
            self.in_force.pop(e[1], None)
        self.ping_hosts()
        quiet = self.rng.uniform(0, self.args.quiet_max)
        self.log("faults ended; quiet %.2f s" % quiet)
        time.sleep(quiet)  # the drawn quiet time
        self.watch_crashes()

    def inject(self, kind, duration):
        """Starts one fault; returns (description, undo) for one that lasts."""
        self.faults_by_kind[kind] += 1
        rng = self.rng
        if kind == "kill":
            name = rng.choice(["cco", "matrix", "mirror", "registrar"] + self.active_receivers())
            if not self.procs[name].running():
                return self.skip(kind)  # killed already in this cycle, restarted when that fault ends
            desc = "SIGKILL %s" % name
            self.announce(desc, " (pid %s)" % self.procs[name].pid)
            self.procs[name].kill()
            if name == "cco":
                for reg in self.regs.values():
                    reg["restarts"] += 1

            def undo():
                self.restart(name)
                self.log("restarted %s (pid %s)" % (name, self.procs[name].pid))
            return desc, undo
        if kind == "stop":
            name = rng.choice(["cco", "matrix", "mirror", "registrar"] + self.active_receivers())
            p = self.procs[name]
            if p.stopped or not p.running():
                return self.skip(kind)
            desc = "SIGSTOP %s for %.2f s" % (name, duration)
            self.announce(desc)
            p.signal(signal.SIGSTOP)
            p.stopped = True

            def undo():
                p.signal(signal.SIGCONT)
                p.stopped = False
                self.log("SIGCONT %s" % name)
            return desc, undo
        if kind == "cco-fault":
            op = rng.choice(CCO_OPS)
            mode = rng.choice(["delay", "hang", "raise"])
            injection = {"delay": "delay %s %d" % (op, rng.randint(100, 2 * self.call_ms)),
                    "hang": "hang %s" % op,
                    "raise": "raise %s %s" % (op, rng.choice(CCO_RAISES))}[mode]
            desc = "CCO fault %s for %.2f s" % (injection, duration)
            cco = self.procs["cco"]
            if cco.stopped or not cco.running() or cco.server_do("fault " + injection, 3) is None:
                return self.skip(kind)
            self.announce(desc)
            pid = cco.pid

            def undo():
                # A CCO restarted meanwhile has forgotten the fault.
                if cco.running() and cco.pid == pid:
                    if cco.stopped:
                        cco.signal(signal.SIGCONT)
                        cco.stopped = False
                    cco.server_do("fault clear", 5)
                self.log("CCO fault cleared")
            return desc, undo
        if kind == "netcut":
            name = rng.choice(["cco", "mir", "reg"] + self.active_receivers())
            if any(d.startswith("network of %s " % name) for d in self.in_force.values()):
                return self.skip(kind)
            desc = "network of %s cut for %.2f s" % (name, duration)
            self.announce(desc)
            self.net.cut(name, True)

            def undo():
                self.net.cut(name, False)
                self.log("network of %s restored" % name)
            return desc, undo
        if kind == "select":
            name = rng.choice(self.active_receivers())
            antenna = rng.choice(list(ANTENNAS))
            self.announce("operator selects %s on %s" % (antenna, name))
            self.send_host(name, "select %s/ANTENNA %s" % (DEVICE, antenna))
            return None
        if kind == "matrixout":
            name = rng.choice(self.active_receivers())
            out = rng.choice(self.slots[name]["outputs"])
            self.announce("operator sets MatrixOut %d on %s" % (out, name))
            self.send_host(name, "set %s/ANTENNAS/MatrixOut %d" % (DEVICE, out))
            return None
        if kind == "swap":
            leaving = rng.choice(self.active_receivers())
            joining = [n for n, s in self.slots.items() if not s["active"]][0]
            self.announce("%s leaves, %s joins" % (leaving, joining))
            p = self.procs[leaving]
            if p.running() and not p.stopped:
                p.host_do(["unregister %s" % leaving], 2)
                # The removal gets the time a request needs when the CCO
                # answers; a CCO that does not leaves the entry behind, as a
                # workstation switched off would.
                gone_by = time.monotonic() + 2 * self.call_ms / 1000.0
                while time.monotonic() < gone_by:
                    entries = self.cco_entries()
                    if entries is not None and leaving not in self.registered_receivers(entries):
                        break
                    time.sleep(0.05)  # poll interval of a wait with a deadline
            p.terminate(3)
            self.slots[leaving]["active"] = False
            self.slots[joining]["active"] = True
            self.slots[joining]["healing"] = self.slots[leaving]["healing"]
            self.restart(joining)
            return None
        if kind == "register":
            self.reg_counter += 1
            path = "CCO/LocalSystem/LocalSubSystem/Campaign/Lists/s%d-%d" % (self.seed, self.reg_counter)
            values = ["v%d" % self.reg_counter, "seed%d" % self.seed]
            self.regs[path] = {"values": values, "state": "issued", "restarts": 0}
            self.announce("registrar registers %s" % path.rsplit("/", 1)[-1])
            self.procs["registrar"].send("register %s %s" % (path, ",".join(values)))
            return None
        if kind == "unregister":
            acked = [p for p, r in self.regs.items() if r["state"] == "acked"]
            if not acked:
                return self.skip(kind)
            path = rng.choice(sorted(acked))
            self.regs[path]["state"] = "removing"
            self.announce("registrar removes %s" % path.rsplit("/", 1)[-1])
            self.procs["registrar"].send("unregister %s" % path)
            return None
        if kind in ("locate", "unlocate"):
            # One request per device at a time, and one device at a time: the
            # locate registration's numbers are only guarded by read-back.
            if any(l["busy"] for l in self.locates.values()):
                self.poll_locates()
                if any(l["busy"] for l in self.locates.values()):
                    return self.skip(kind)
            dev = rng.choice(sorted(self.locates))
            loc = self.locates[dev]
            loc["busy"] = True
            loc["state"] = "issued" if kind == "locate" else "removing"
            loc["since"] = len(self.procs["registrar"].lines)
            self.announce("registrar %s %s" % (kind, dev), " (%s:%d)" % (loc["host"], loc["port"]))
            self.procs["registrar"].send("%s %s %s dev %d" % (kind, dev, loc["host"], loc["port"]))
            return None
        raise AssertionError(kind)

    def announce(self, fault, detail=""):
        """Logs a fault as it starts; the violations name the latest ones."""
        self.recent_faults.append(fault)
        self.log(fault + detail)

    def skip(self, kind):
        """A drawn fault that cannot be applied now is not counted."""
        self.faults_by_kind[kind] -= 1
        return None

    def poll_locates(self):
        p = self.procs["registrar"]
        for dev, loc in self.locates.items():
            if loc["busy"] and p.wait_line(lambda l: l == "DONE " + dev, 0, loc.get("since", 0)) is not None:
                loc["busy"] = False

    def send_host(self, name, command):
        p = self.procs[name]
        if p.running() and not p.stopped:
            p.send(command)

    # -- the run ----------------------------------------------------------------------------------------------

    def run(self):
        self.set_up()
        self.log("first check: the installation as started")
        self.check()
        end = time.monotonic() + self.args.minutes * 60
        while time.monotonic() < end:
            self.cycle()
            self.poll_locates()
            self.check()
        self.judge_trends()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "../../build"),
                        help="the build tree with vorn-host, the servers and campaign-registrar")
    parser.add_argument("--seed", type=int, help="seed of the run (default: drawn and printed)")
    parser.add_argument("--seeds", help="several seeds, comma-separated, run one after the other")
    parser.add_argument("--minutes", type=float, default=1.0, help="length of the fault phase of each seed")
    parser.add_argument("--report", help="file for the history, the faults by kind and the violations")
    parser.add_argument("--mix", default=DEFAULT_MIX, help="weights of the fault kinds (default: %(default)s)")
    parser.add_argument("--rate", type=int, default=3, help="most faults drawn per cycle (they overlap)")
    parser.add_argument("--quiet-max", type=float, default=2.0, help="longest drawn quiet time, s")
    parser.add_argument("--call-timeout-ms", type=int, default=1000, help="the ORB call timeout of all clients")
    parser.add_argument("--reconnect-ms", type=int, default=200, help="the drivers' ReconnectTimer")
    parser.add_argument("--receiver-build", help="the build tree whose vorn-host and plug-in the receiver "
                        "workstations run (default: --build); for instance one configured with "
                        "-DECD_PLANTED_FAULT=skip-reassert")
    parser.add_argument("--netns", choices=["auto", "on", "off"], default="auto",
                        help="network namespaces: when root and `ip netns` works (auto), required, or never")
    parser.add_argument("--verbose", action="store_true", help="print the history as it happens")
    args = parser.parse_args()
    if args.minutes <= 0 or args.rate < 1 or args.quiet_max < 0 or args.call_timeout_ms <= 0 or args.reconnect_ms <= 0:
        parser.error("--minutes, --rate, --call-timeout-ms and --reconnect-ms must be positive")
    if args.seed is not None and args.seeds:
        parser.error("--seed and --seeds exclude each other")
    try:
        seeds = [int(s) for s in args.seeds.split(",")] if args.seeds else \
            [args.seed if args.seed is not None else random.SystemRandom().randrange(1, 1 << 31)]
    except ValueError:
        parser.error("--seeds takes numbers")
    usable = Network.usable()
    if args.netns == "on" and not usable:
        parser.error("network namespaces need root and a working `ip netns`")
    args.netns_on = usable and args.netns != "off"

    # SIGTERM, SIGINT and SIGHUP end the run through the same clean-up as its end.
    def stop(signum, _frame):
        raise Stopped("signal %d" % signum)
    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(s, stop)

    report = []
    totals = collections.Counter()
    longest = 0
    lines = []
    status = 0
    for seed in seeds:
        c = Campaign(args, seed)
        try:
            c.run()
        except RuntimeError as e:
            c.violate("installation", str(e))
            status = 2
        except Stopped as e:
            c.log("stopped by %s" % e)
            status = status or 2
        finally:
            c.tear_down()
        faults = sum(c.faults_by_kind.values())
        line = ("campaign seed=%d minutes=%g faults=%d checks=%d violations=%d longest_settle_ms=%d"
                % (seed, args.minutes, faults, c.checks, len(c.violations), c.longest_settle))
        lines.append(line)
        totals.update({"faults": faults, "checks": c.checks, "violations": len(c.violations)})
        longest = max(longest, c.longest_settle)
        report += ["# seed %d (%s)" % (seed, "network namespaces" if c.netns else "loopback"),
                   "faults by kind: " + ", ".join("%s=%d" % kv for kv in sorted(c.faults_by_kind.items())),
                   "longest host-thread answer: %d ms (bound %d ms)" % (max(c.stalls or [0]), c.stall_ms)]
        report += c.violations + c.history + [line, ""]
        if c.violations and status == 0:
            status = 1
    if len(seeds) > 1:
        lines.append("campaign seed=%s minutes=%g faults=%d checks=%d violations=%d longest_settle_ms=%d"
                     % (",".join(map(str, seeds)), args.minutes, totals["faults"], totals["checks"],
                        totals["violations"], longest))
    if args.report:
        with open(args.report, "w") as f:
            f.write("\n".join(report + lines) + "\n")
    for line in lines:
        print(line, flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
