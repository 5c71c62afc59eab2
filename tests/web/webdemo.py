"""The web tests' one way to a server: oq-web-demo with two fake counters and a week of history.
Swapping it for `oqtool watch --http` with the simulated counter changes this file only."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

DEMO = os.environ.get("OQ_WEB_DEMO", "oq-web-demo")
ARTIFACTS = os.environ.get("OQ_TEST_ARTIFACTS", os.path.join(tempfile.gettempdir(), "oq-test-artifacts"))


class Demo:
    def __init__(self, *args, history=True):
        self.tmp = tempfile.mkdtemp(prefix="oq-web.")
        self.env = dict(os.environ, XDG_CONFIG_HOME=self.tmp, XDG_DATA_HOME=self.tmp, TZ=os.environ.get("TZ", "Europe/Berlin"))
        self.history = os.path.join(self.tmp, "history.sqlite3")
        cmd = [DEMO, *args] + (["--history", self.history, "--make-history"] if history else [])
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=self.env)
        line = self.proc.stdout.readline().split()
        if line[:1] != ["listening"]:
            self.close()
            raise RuntimeError(f"oq-web-demo did not start: {line}")
        self.url = line[1]
        self.port = int(self.url.rsplit(":", 1)[1].strip("/"))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        assert self.proc.stdout.readline().strip() == "ok", line

    def get(self, path, timeout=5, headers=None):
        with urllib.request.urlopen(urllib.request.Request(self.url.rstrip("/") + path, headers=headers or {}), timeout=timeout) as r:
            return r.status, r.read(), r.headers

    def rss_kb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))

    def close(self):
        try:
            self.proc.communicate("quit\n", timeout=10)
        except (OSError, ValueError, subprocess.TimeoutExpired):
            self.proc.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)
        assert self.proc.wait() == 0, "oq-web-demo did not end cleanly"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


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
