"""The web tests' one way to a server: `oqtool watch --http 127.0.0.1:0` recording in CSV mode over
simulated counters, each its own oq-counter-sim on a pseudo-terminal, so that ending one's
simulator pulls that counter out while the others read on. CSV mode waits for a counter that has
gone, as a recording box does, so the page says it is unplugged."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

TOOL = os.environ.get("OQ_TOOL", "oqtool")
SIM = os.environ.get("OQ_COUNTER_SIM", "oq-counter-sim")
HISTORY = os.environ.get("OQ_WEB_HISTORY", "oq-web-history")
ARTIFACTS = os.environ.get("OQ_TEST_ARTIFACTS", os.path.join(tempfile.gettempdir(), "oq-test-artifacts"))


def scratch():
    tmp = tempfile.mkdtemp(prefix="oq-web.")
    env = dict(os.environ, XDG_CONFIG_HOME=tmp, XDG_DATA_HOME=tmp, XDG_STATE_HOME=tmp, LANG="C.UTF-8", LC_ALL="C.UTF-8",
               TZ=os.environ.get("TZ", "Europe/Berlin"))
    return tmp, env


class Box:
    """`counters`: (serial, oq-counter-sim profile) pairs; `args`: more options for oqtool watch."""

    def __init__(self, *args, counters=(("40001", "constant:0.15"),), history=True):
        self.tmp, self.env = scratch()
        self.history = os.path.join(self.tmp, "history.sqlite3")
        self.sims, self.proc = {}, None
        try:
            if history:
                subprocess.run([HISTORY, self.history, *(s for s, _ in counters)], env=self.env, check=True, timeout=120)
            ports = []
            for serial, profile in counters:
                sim = subprocess.Popen([SIM, "--serial", serial, "--profile", profile], stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL, text=True, env=self.env)
                self.sims[serial] = sim
                ports += ["--port", sim.stdout.readline().strip()]
            self.log = os.path.join(self.tmp, "watch.log")
            with open(self.log, "w") as log:
                self.proc = subprocess.Popen([TOOL, "watch", "--http", "127.0.0.1:0", *args, "--db", self.history, "--format", "csv",
                                              "--output", os.path.join(self.tmp, "readings.csv"), *ports],
                                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log, env=self.env)
            self.url = wait_for("oqtool watch serving", lambda: self.served(), 15)
            self.port = int(self.url.rsplit(":", 1)[1].strip("/"))
        except BaseException:
            self.close(check=False)
            raise

    def served(self):
        if self.proc.poll() is not None:
            raise RuntimeError(f"oqtool watch ended ({self.proc.returncode}): {open(self.log).read()}")
        found = re.search(r"https?://127\.0\.0\.1:\d+/", open(self.log).read())
        return found and found.group(0)

    def unplug(self, serial):
        self.sims[serial].terminate()
        self.sims[serial].wait(timeout=10)

    def get(self, path, timeout=5, headers=None):
        with urllib.request.urlopen(urllib.request.Request(self.url.rstrip("/") + path, headers=headers or {}), timeout=timeout) as r:
            return r.status, r.read(), r.headers

    def rss_kb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))

    def close(self, check=True):
        status = None
        if self.proc:
            self.proc.terminate()
            try:
                status = self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        for sim in self.sims.values():
            if sim.poll() is None:
                sim.terminate()
                sim.wait(timeout=10)
        log = open(self.log).read() if self.proc else ""
        shutil.rmtree(self.tmp, ignore_errors=True)
        # A counter pulled out is no failure of a CSV recording: it is waited for.
        assert not check or status == 0, f"oqtool watch did not end cleanly ({status}): {log[-2000:]}"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close(check=exc[0] is None)


def wait_for(what, condition, timeout=2.0):
    end = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > end:
            raise AssertionError(f"not within {timeout} s: {what}")
        time.sleep(0.05)
    return value


def report(failures, ran):
    for f in failures:
        print("FAIL:", f, file=sys.stderr)
    print(f"{ran - len(failures)} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)
