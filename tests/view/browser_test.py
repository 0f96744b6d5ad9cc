#!/usr/bin/env python3
"""The installation view in headless Chromium, against a cco-server, a
matrix-server and two receiver workstations (vorn-host with the driver, one
with AntennaSelfHealing) on free loopback ports: the page names each
receiver's antenna and finds it in sync; after a matrix-server restart the
receiver that does not heal is out of sync, with the reason, at the top, and
the history tells the restart and the released crosspoint; a driver error
shows with its receiver; a hung CCO shows as not answering; the browser logs
no error. Chromium is driven through chromedriver's WebDriver HTTP interface."""
import argparse
import base64
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

CALL_TIMEOUT_MS = 1000
REFRESH_MS = 300
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--disable-dev-shm-usage", "--window-size=1400,1100"]


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Process:
    """A child in a process group of its own whose stdout lines are collected."""

    def __init__(self, name, args):
        self.name = name
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, start_new_session=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait_line(self, prefix, timeout=15.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if line.startswith(prefix):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise Failure(f"{self.name}: no line '{prefix}' (output: {self.lines[-15:]})")
                self.cond.wait(min(left, 0.2))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(8)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        return self.proc.returncode


def http(method, url, body=None, timeout=30):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request(url, data=data, method=method, headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


class Browser:
    def __init__(self, driver_url, chromium, profile):
        self.base = driver_url
        caps = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": chromium, "args": CHROMIUM_FLAGS + [f"--user-data-dir={profile}"]},
            "goog:loggingPrefs": {"browser": "ALL"}}}}
        status, body = http("POST", f"{self.base}/session", caps, timeout=60)
        if status != 200:
            raise Failure(f"chromedriver could not start Chromium: {body[:400]!r}")
        self.session = f"{self.base}/session/{json.loads(body)['value']['sessionId']}"

    def call(self, method, path, body=None):
        status, raw = http(method, self.session + path, body)
        value = json.loads(raw)["value"] if raw else None
        if status != 200:
            raise Failure(f"WebDriver {path}: {value}")
        return value

    def run(self, script, *args):
        return self.call("POST", "/execute/sync", {"script": script, "args": list(args)})

    def wait(self, what, script, good, timeout, *args):
        """Runs `script` until `good` holds for what it returns."""
        deadline = time.monotonic() + timeout
        while True:
            result = self.run(script, *args)
            if good(result):
                return result
            if time.monotonic() > deadline:
                text = self.run("return document.body ? document.body.innerText : ''")
                raise Failure(f"the page did not show {what} within {timeout} s; it shows:\n{text[:1500]}")
            time.sleep(0.1)  # poll interval of a wait with a deadline

    def screenshot(self, path):
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("GET", "/screenshot")))

    def errors(self):
        entries = self.call("POST", "/se/log", {"type": "browser"}) or []
        return [e for e in entries if e.get("level") == "SEVERE"]

    def close(self):
        http("DELETE", self.session)


CCO_STATUS = "const s = document.getElementById('cco-status'); return s ? s.textContent : '';"
CELL_ON = "const c = document.querySelector(`td[data-in='${arguments[0]}'][data-out='${arguments[1]}']`);" \
          "return !!c && c.classList.contains('on');"
# A receiver's row as the operator reads it, or null while it is not listed.
ROW = """const r = document.querySelector(`tr[data-receiver='${arguments[0]}']`);
if (!r) return null;
const cell = name => { const c = r.querySelector('.' + name); return c ? c.textContent.trim() : ''; };
return { antenna: cell('antenna'), sync: cell('sync'), error: cell('driver-error'), tree: cell('tree-status'),
         index: Array.from(r.parentNode.children).indexOf(r) };"""
ATTENTION = "return Array.from(document.querySelectorAll('#attention li')).map(li => li.textContent);"
HISTORY = "return Array.from(document.querySelectorAll('#history-rows tr')).filter(r => !r.hidden)" \
          ".map(r => r.dataset.kind + ' | ' + r.textContent);"
FILTER = "const s = document.getElementById('history-filter'); s.value = arguments[0];" \
         "s.dispatchEvent(new Event('change'));"
GRID_LABELS = "const m = document.querySelector('.matrix'); if (!m) return null;" \
              "const o = m.querySelector(`th[data-output='${arguments[0]}']`);" \
              "const i = m.querySelector(`th[data-input='${arguments[1]}']`);" \
              "return [o ? o.textContent : '', i ? i.textContent : ''];"


RECEIVER_TREE = """mkvalue int /DEVICES/KRV4/ANTENNAS/HF1/ExternalNumber 3
mkvalue int /DEVICES/KRV4/ANTENNAS/HF2/ExternalNumber 4
mkvalue int /DEVICES/KRV4/ANTENNAS/VUHF/ExternalNumber 6
mkvalue int /DEVICES/KRV4/ANTENNAS/MatrixOut {output}
mkvalue selection /DEVICES/KRV4/ANTENNA HF1,HF2,VUHF
mkvalue string /DEVICES/KRV4/LASTDRIVERERROR
mkvalue selection /DEVICES/KRV4/HARDWARESTATUS STOPPED,RUNNING
select /DEVICES/KRV4/HARDWARESTATUS RUNNING
"""

RECEIVER_CONFIG = """[ExternalCCODriver]
ReconnectTimer=300
ValuePath=/DEVICES/KRV4
AntennaMatrixDriver=true
MatrixID=1
MatrixRemoteHost=ws1
OutputNumber={output}
AntennaSelfHealing={healing}
"""


def scenario(args, work, started):
    def start(name, argv):
        p = Process(name, argv)
        started.append(p)
        return p

    cco_server = start("cco-server", [args.cco_server, "--port", "0", "--system", "ViewSystem", "--subsystem", "SubA",
                                      "--subsystems", "SubA", "--workstation", "ws1"])
    cco = cco_server.wait_line("READY ").split(" ", 1)[1]
    matrix_args = [args.matrix_server, "--port", "0", "--cco", cco, "--workstation", "ws1", "--id", "1",
                   "--inputs", "8", "--outputs", "4", "--retry-interval", "200"]
    matrix = start("matrix-server", matrix_args)
    matrix.wait_line("REGISTERED ")

    # Two receiver workstations with the driver: RXA on output 2 without
    # self-healing, RXB on output 3 with it. A driver without self-healing
    # only looks the matrix manager up on the first change it sees while it
    # has none, so each selects twice, once its antenna side is up.
    receivers = {}
    for name, output, healing, antenna in (("RXA", 2, "false", "HF1"), ("RXB", 3, "true", "VUHF")):
        config = os.path.join(work, f"{name}.ini")
        script = os.path.join(work, f"{name}.vorn")
        pathlib.Path(config).write_text(RECEIVER_CONFIG.format(output=output, healing=healing))
        pathlib.Path(script).write_text(RECEIVER_TREE.format(output=output))
        port = free_port()
        host = start(f"vorn-host {name}", [args.vorn_host, "--plugin", args.plugin, "--config", config,
                                           "--script", script, "--cco", cco, "--",
                                           "-ORBendPoint", f"giop:tcp:127.0.0.1:{port}"])
        host.send(f"receiver {port} {name} 127.0.0.1 127.0.0.1 /DEVICES/KRV4")
        host.wait_line("READY ")
        for command in ("waitfor /DEVICES/KRV4/USINGANTENNAMATRIX true 10000", "select /DEVICES/KRV4/ANTENNA HF2",
                        f"select /DEVICES/KRV4/ANTENNA {antenna}", f"echo {name} selected"):
            host.send(command)
        receivers[name] = host
    # The view starts on settled trees: a first reading that races a change
    # on the receiver's host has been seen to stay unmirrored (a question for
    # the tree server, not for this page).
    for name in receivers:
        receivers[name].wait_line(f"{name} selected")

    view = start("installation-view", [args.view, "--cco", cco, "--listen", "127.0.0.1:0", "--refresh",
                                       str(REFRESH_MS), "--call-timeout", str(CALL_TIMEOUT_MS)])
    url = view.wait_line("READY ").split(" ", 1)[1]

    # It says so once it listens, on the port it found free.
    driver = start("chromedriver", [args.chromedriver, "--port=0"])
    driver_port = driver.wait_line("ChromeDriver was started successfully on port ", 20).rstrip(".").split()[-1]
    driver_url = f"http://127.0.0.1:{driver_port}"

    def row_is(antenna, sync):
        return lambda r: r is not None and r["antenna"] == antenna and r["sync"].startswith(sync)

    def told(kind, receiver=""):
        return lambda history: any(e.startswith(kind) and receiver in e for e in history)

    browser = Browser(driver_url, args.chromium, os.path.join(work, "profile"))
    try:
        browser.call("POST", "/url", {"url": url})
        browser.wait("the CCO answering", CCO_STATUS, lambda t: t == "CCO answering", 15)
        # The driver switches once it found the matrix manager; the page
        # names each receiver's antenna and finds its output showing it.
        browser.wait("RXA on HF1 in sync", ROW, row_is("HF1", "in sync"), 20, "RXA")
        browser.wait("RXB on VUHF in sync", ROW, row_is("VUHF", "in sync"), 20, "RXB")
        browser.wait("input 3 on output 2 in the grid", CELL_ON, bool, 10, 3, 2)
        browser.wait("the grid's labels", GRID_LABELS, lambda l: l and "RXA" in l[0] and "HF1" in l[1], 10, 2, 3)

        # The matrix-server restarts empty. RXB's driver heals; RXA's does
        # not, and the page says why, at the top.
        matrix.stop()
        browser.wait("the matrix manager gone", HISTORY, told("matrix not answering"), 15)
        matrix = start("matrix-server (again)", matrix_args)
        matrix.wait_line("REGISTERED ")
        a = browser.wait("RXA out of sync", ROW, row_is("HF1", "out of sync"), 20, "RXA")
        if "output 2 shows nothing; HF1 is input 3" not in a["sync"]:
            raise Failure(f"RXA's reason is not told: {a['sync']!r}")
        if a["index"] != 0:
            raise Failure(f"RXA out of sync is not the first receiver: {a}")
        browser.wait("RXA at the top", ATTENTION, lambda t: any(x.startswith("RXA") and "out of sync" in x for x in t),
                     10)
        browser.wait("RXB in sync again", ROW, row_is("VUHF", "in sync"), 20, "RXB")
        browser.wait("the restart and the released crosspoint in the history", HISTORY,
                     lambda h: told("matrix back")(h) and told("crosspoint released", "RXA")(h)
                     and told("out of sync", "RXA")(h), 15)
        browser.screenshot(os.path.join(args.out, "installation-view.png"))

        # With the manager away, a selection fails in the driver, which says
        # so in its tree; the page shows it with its receiver.
        matrix.stop()
        browser.wait("the matrix manager gone again", ATTENTION, lambda t: not any("in sync" in x for x in t), 15)
        receivers["RXA"].send("select /DEVICES/KRV4/ANTENNA HF2")
        browser.wait("RXA's driver error", ROW, lambda r: r is not None and "not responding" in r["error"], 15, "RXA")
        browser.wait("the driver error in the history", HISTORY, told("driver error set", "RXA"), 10)
        # Filtering keeps one receiver's events (RXB may have none: it heals
        # before a refresh sees its crosspoint gone).
        everything = browser.run(HISTORY)
        browser.run(FILTER, "RXA")
        shown = browser.run(HISTORY)
        if not shown or len(shown) >= len(everything) or any("RXA" not in e for e in shown):
            raise Failure(f"the filter for RXA shows: {shown}")
        browser.run(FILTER, "")

        # A hung CCO: shown within the call timeout (plus a refresh), and the view still serves.
        cco_server.send("fault hang *")
        cco_server.wait_line("OK fault hang")
        browser.wait("a hung CCO as not answering", CCO_STATUS, lambda t: t.startswith("CCO not answering"),
                     (CALL_TIMEOUT_MS + 3 * REFRESH_MS) / 1000 + 5)
        before = time.monotonic()
        status, _ = http("GET", url + "api/state", timeout=5)
        if status != 200 or time.monotonic() - before > 1.0:
            raise Failure("the view did not answer promptly while the CCO hung")
        browser.wait("the CCO at the top", ATTENTION, lambda t: any(x.startswith("CCO") for x in t), 5)
        cco_server.send("fault clear")
        browser.wait("the CCO answering again", CCO_STATUS, lambda t: t == "CCO answering",
                     2 * CALL_TIMEOUT_MS / 1000 + 10)

        receivers["RXB"].send("unregister RXB")
        browser.wait("RXB gone", ROW, lambda r: r is None, 10, "RXB")
        browser.wait("RXB's unregistration in the history", HISTORY, told("receiver unregistered", "RXB"), 10)

        errors = browser.errors()
        if errors:
            raise Failure(f"the browser logged errors: {errors}")
    finally:
        browser.close()

    if view.stop() != 0:
        raise Failure(f"installation-view exited with {view.proc.returncode}: {view.lines[-10:]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("view", "cco-server", "matrix-server", "vorn-host", "plugin", "out"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--chromium", default=shutil.which("chromium") or "")
    parser.add_argument("--chromedriver", default=shutil.which("chromedriver") or "")
    args = parser.parse_args()
    # Without a browser this test cannot say anything; scripts/setup.sh installs one.
    if not os.access(args.chromium, os.X_OK) or not os.access(args.chromedriver, os.X_OK):
        print("FAIL: chromium and chromedriver are needed (scripts/setup.sh installs them)")
        return 1
    os.makedirs(args.out, exist_ok=True)
    started = []
    work = tempfile.mkdtemp(prefix="view-browser-")
    try:
        scenario(args, work, started)
    except (Failure, subprocess.SubprocessError) as e:
        print(f"FAIL: {e}")
        for p in started:
            print(f"--- {p.name}: " + "\n".join(p.lines[-10:]))
        return 1
    finally:
        for p in reversed(started):
            p.stop()
        shutil.rmtree(work, ignore_errors=True)
    print(f"screenshots in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
