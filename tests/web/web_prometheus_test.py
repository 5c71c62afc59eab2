#!/usr/bin/python3
"""/metrics as Prometheus takes it: promtool accepts it, Debian's Prometheus scrapes it and a query
returns the counter's value in base units; after an unplug the value series goes stale."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

from webdemo import Demo, report, wait_for


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def query(port, expr):
    url = f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expr})
    try:
        with urllib.request.urlopen(url, timeout=2) as r:
            return json.load(r)["data"]["result"]
    except OSError:
        return None


def main():
    failures, ran = [], 0
    with Demo(history=False) as demo:
        tmp = tempfile.mkdtemp(prefix="oq-prometheus.")
        demo.send("reading OQ-0001 0.36")  # 1e-10 Sv/s
        demo.send("reading OQ-0002 15 2")  # 1.5e-05 Sv
        demo.send('reading Q"\\x 0.1')  # a label to escape
        ran += 1
        status, body, headers = demo.get("/metrics")
        check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True)
        if status != 200 or check.returncode != 0 or not headers["Content-Type"].startswith("text/plain; version=0.0.4"):
            failures.append(f"promtool: {status} {check.stdout!r} {check.stderr!r}\n{body.decode()}")

        port = free_port()
        config = os.path.join(tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n  - job_name: oq\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{demo.port}']\n")
        prom = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(tmp, "data"),
                                 "--web.listen-address=127.0.0.1:%d" % port, "--log.level=warn"],
                                stdout=subprocess.DEVNULL, stderr=open(os.path.join(tmp, "prometheus.log"), "w"))
        try:
            ran += 1
            try:
                rate = wait_for("the scraped rate", lambda: query(port, 'oq_dose_rate_sieverts_per_second{serial="OQ-0001"}'), 30)
                assert abs(float(rate[0]["value"][1]) - 1e-10) < 1e-16, rate
                dose = query(port, 'oq_dose_sieverts{serial="OQ-0002"}')
                assert dose and abs(float(dose[0]["value"][1]) - 1.5e-5) < 1e-12, dose
                up = query(port, 'up{job="oq"}')
                assert up and up[0]["value"][1] == "1", up
            except AssertionError as e:
                failures.append(f"scrape: {e}")
            ran += 1
            try:
                demo.send("state OQ-0001 away")
                wait_for("the unplugged rate gone stale", lambda: query(port, 'oq_dose_rate_sieverts_per_second{serial="OQ-0001"}') == [], 10)
                connected = query(port, 'oq_connected{serial="OQ-0001"}')
                assert connected and connected[0]["value"][1] == "0", connected
                assert query(port, 'oq_dose_sieverts{serial="OQ-0002"}'), "the other counter's series stays"
            except AssertionError as e:
                failures.append(f"unplug: {e}")
        finally:
            prom.terminate()
            try:
                prom.wait(timeout=10)
            except subprocess.TimeoutExpired:
                prom.kill()
            if failures:
                print(open(os.path.join(tmp, "prometheus.log")).read()[-3000:])
            shutil.rmtree(tmp, ignore_errors=True)
    report(failures, ran)


if __name__ == "__main__":
    time.tzset()
    main()
