#!/usr/bin/env python3
"""The installation view in headless Chromium, against a cco-server, a
matrix-server and a receiver vorn-host on free loopback ports: the page shows
a switched connection in its grid, drops a receiver that unregistered, shows a
hung and a stopped CCO as not answering, and the browser logs no error.
Chromium is driven through chromedriver's WebDriver HTTP interface."""
import argparse
import base64
import json
import os
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

CATEGORY = "CCO/LocalSystem/LocalSubSystem/CentralServices/Receiver/PulseAnalysis"
MATRIX = "CCO/LocalSystem/LocalSubSystem/Workstations/ws1/AntennaMatrixManager1/IF_MMR_c"
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

    def wait_line(self, prefix, timeout=15.0, start=0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines[start:]:
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
            time.sleep(0.1)

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
def answering(text):
    return text == "CCO answering"


def not_answering(text):
    return text.startswith("CCO not answering")


RECEIVER = "const r = document.querySelector(`tr[data-receiver='${arguments[0]}'] .tree-status`);" \
           "return r ? r.textContent : null;"


def scenario(args, work, started):
    def start(name, argv):
        p = Process(name, argv)
        started.append(p)
        return p

    cco_server = start("cco-server", [args.cco_server, "--port", "0", "--system", "ViewSystem", "--subsystem", "SubA",
                                      "--subsystems", "SubA,SubB", "--workstation", "ws1"])
    cco = cco_server.wait_line("READY ").split(" ", 1)[1]
    matrix = start("matrix-server", [args.matrix_server, "--port", "0", "--cco", cco, "--workstation", "ws1",
                                     "--id", "1", "--inputs", "8", "--outputs", "4", "--retry-interval", "200"])
    matrix.wait_line("REGISTERED ")
    tree_port = free_port()
    receiver = start("vorn-host", [args.vorn_host, "--no-plugin", "--stay", "--cco", cco, "--",
                                   "-ORBendPoint", f"giop:tcp:127.0.0.1:{tree_port}"])
    receiver.send(f"receiver {tree_port} RXA 127.0.0.1 127.0.0.1 /DEVICES/KRV4")
    receiver.wait_line("READY ")
    view = start("installation-view", [args.view, "--cco", cco, "--listen", "127.0.0.1:0", "--refresh",
                                       str(REFRESH_MS), "--call-timeout", str(CALL_TIMEOUT_MS)])
    url = view.wait_line("READY ").split(" ", 1)[1]

    driver_port = free_port()
    start("chromedriver", [args.chromedriver, f"--port={driver_port}"])
    driver_url = f"http://127.0.0.1:{driver_port}"
    deadline = time.monotonic() + 20
    while True:
        try:
            if http("GET", f"{driver_url}/status", timeout=2)[0] == 200:
                break
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise Failure("chromedriver did not answer")
        time.sleep(0.1)

    browser = Browser(driver_url, args.chromium, os.path.join(work, "profile"))
    try:
        browser.call("POST", "/url", {"url": url})
        browser.wait("the CCO answering", CCO_STATUS, answering, 15)
        text = browser.run("return document.body.innerText")
        if len(text.strip()) < 50:
            raise Failure(f"the page is empty: {text!r}")
        # A receiver registers from a background thread; its tree answers once it serves.
        browser.wait("receiver RXA answering", RECEIVER, lambda t: t is not None and t.startswith("answers"), 20, "RXA")

        subprocess.run([args.cco_tool, "--cco", cco, "matrix", MATRIX, "connect", "3", "2"], check=True, timeout=10)
        browser.wait("input 3 on output 2 in the grid", CELL_ON, bool, 10, 3, 2)
        if browser.run(CELL_ON, 4, 2):
            raise Failure("the grid shows input 4 on output 2 too")

        # A second receiver whose tree is nowhere.
        dead_port = free_port()
        subprocess.run([args.cco_tool, "--cco", cco, "register", f"{CATEGORY}/RXB", "127.0.0.1", "127.0.0.1_RXB",
                        "test", str(dead_port)], check=True, timeout=10)
        browser.wait("RXB not answering", RECEIVER, lambda t: t is not None and t.startswith("not answering"), 10,
                     "RXB")
        browser.screenshot(os.path.join(args.out, "installation-view.png"))

        receiver.send("unregister RXA")
        browser.wait("RXA gone", RECEIVER, lambda t: t is None, 10, "RXA")
        if not browser.run("return !!document.querySelector(\"tr[data-receiver='RXB']\")"):
            raise Failure("RXB vanished with RXA")

        # A hung CCO: shown within the call timeout (plus a refresh), and the view still serves.
        cco_server.send("fault hang *")
        cco_server.wait_line("OK fault hang")
        hung_at = time.monotonic()
        browser.wait("a hung CCO as not answering", CCO_STATUS, not_answering,
                     (CALL_TIMEOUT_MS + 3 * REFRESH_MS) / 1000 + 5)
        shown_after = time.monotonic() - hung_at
        before = time.monotonic()
        status, _ = http("GET", url + "api/state", timeout=5)
        if status != 200 or time.monotonic() - before > 1.0:
            raise Failure("the view did not answer promptly while the CCO hung")
        print(f"hung CCO shown as not answering after {shown_after:.2f} s (call timeout {CALL_TIMEOUT_MS} ms)")
        cco_server.send("fault clear")
        browser.wait("the CCO answering again", CCO_STATUS, answering, 2 * CALL_TIMEOUT_MS / 1000 + 10)

        cco_server.stop()
        browser.wait("a stopped CCO as not answering", CCO_STATUS, not_answering, CALL_TIMEOUT_MS / 1000 + 10)
        # What was seen last stays on the page, marked as such.
        if not browser.run("return !!document.querySelector(\"tr[data-receiver='RXB']\")"):
            raise Failure("the page dropped what it knew when the CCO stopped")
        browser.screenshot(os.path.join(args.out, "installation-view-cco-stopped.png"))

        errors = browser.errors()
        if errors:
            raise Failure(f"the browser logged errors: {errors}")
    finally:
        browser.close()

    if view.stop() != 0:
        raise Failure(f"installation-view exited with {view.proc.returncode}: {view.lines[-10:]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("view", "cco-server", "matrix-server", "vorn-host", "cco-tool", "out"):
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
