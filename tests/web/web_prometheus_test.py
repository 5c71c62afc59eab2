#!/usr/bin/python3
"""/metrics as Prometheus takes it: promtool accepts it, Debian's Prometheus scrapes it and a query
returns the counter's value in base units; after an unplug the value series goes stale."""
import json
import os
import socket
import subprocess
import urllib.parse
import urllib.request

from webdemo import Demo, report, wait_for


def query(port, expr):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expr}), timeout=2) as r:
            return [(s["metric"].get("serial"), float(s["value"][1])) for s in json.load(r)["data"]["result"]]
    except OSError:
        return None


def checks(demo, port):
    demo.send("reading OQ-0001 0.36")  # 1e-10 Sv/s
    demo.send("reading OQ-0002 15 2")  # 1.5e-05 Sv
    demo.send('reading Q"\\x 0.1')  # a label to escape
    _, body, headers = demo.get("/metrics")
    check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True)
    assert check.returncode == 0 and headers["Content-Type"].startswith("text/plain; version=0.0.4"), (check, body)
    yield "promtool"
    rate = wait_for("the scraped rate", lambda: query(port, "oq_dose_rate_sieverts_per_second"), 30)
    assert sorted((k, round(v / 1e-10, 9)) for k, v in rate) == [("OQ-0001", 1.0), ('Q"\\x', 0.277777778)], rate
    assert query(port, "oq_dose_sieverts") == [("OQ-0002", 1.5e-5)] and query(port, 'up{job="oq"}') == [(None, 1.0)]
    yield "scrape"
    demo.send("state OQ-0001 away")
    wait_for("the unplugged rate gone stale", lambda: query(port, 'oq_dose_rate_sieverts_per_second{serial="OQ-0001"}') == [], 10)
    assert query(port, 'oq_connected{serial="OQ-0001"}') == [("OQ-0001", 0.0)]
    assert query(port, "oq_dose_sieverts") == [("OQ-0002", 1.5e-5)], "the other counter's series stays"
    yield "unplug"


def main():
    failures, ran = [], 0
    with Demo(history=False) as demo, socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        config = os.path.join(demo.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n  - job_name: oq\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{demo.port}']\n")
        log = open(os.path.join(demo.tmp, "prometheus.log"), "w+")
        prom = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(demo.tmp, "data"),
                                 f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"], stdout=log, stderr=log)
        steps = checks(demo, port)
        try:
            while True:
                ran += 1
                next(steps)
        except StopIteration:
            ran -= 1
        except AssertionError as e:
            failures.append(f"step {ran}: {e}")
            log.seek(0)
            print(log.read()[-3000:])
        finally:
            prom.terminate()
            prom.wait(timeout=20)
            log.close()
    report(failures, ran)


if __name__ == "__main__":
    main()
