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
        self.env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.tmp, "config"),
                        XDG_DATA_HOME=os.path.join(self.tmp, "data"), TZ=os.environ.get("TZ", "Europe/Berlin"))
        self.history = os.path.join(self.tmp, "history.sqlite3")
        cmd = [DEMO, *args] + (["--history", self.history, "--make-history"] if history else [])
        try:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=self.env)
            line = self.proc.stdout.readline().split()
            if len(line) != 2 or line[0] != "listening":
                self.proc.kill()
                raise RuntimeError(f"oq-web-demo did not start: {line}")
        except BaseException:
            shutil.rmtree(self.tmp, ignore_errors=True)
            raise
        self.url = line[1]
        self.port = int(self.url.rsplit(":", 1)[1].strip("/"))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        assert self.proc.stdout.readline().strip() == "ok", line

    def get(self, path, headers=None, timeout=5):
        req = urllib.request.Request(self.url.rstrip("/") + path, headers=headers or {})
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                return r.status, r.read(), r.headers
        except urllib.error.HTTPError as e:
            return e.code, e.read(), e.headers

    def rss_kb(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
        assert self.proc.wait() == 0, "oq-web-demo did not end cleanly"
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_for(what, condition, timeout=2.0):
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"not within {timeout} s: {what}")
        time.sleep(0.05)


def report(failures, ran):
    for f in failures:
        print("FAIL:", f, file=sys.stderr)
    print(f"{ran - len(failures)} passed, {len(failures)} failed")
    sys.exit(1 if failures else 0)
