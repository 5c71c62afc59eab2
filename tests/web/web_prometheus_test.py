#!/usr/bin/python3
"""/metrics of oqtool watch as Prometheus takes it: promtool accepts it, Debian's Prometheus scrapes
it and a query returns each simulated counter's value in base units; after an unplug the value
series goes stale and the other counter's stays."""
import json
import os
import socket
import subprocess
import urllib.parse
import urllib.request

from webbox import Box, report, wait_for


def query(port, expr):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/api/v1/query?" + urllib.parse.urlencode({"query": expr}), timeout=2) as r:
            return [(s["metric"].get("serial"), float(s["value"][1])) for s in json.load(r)["data"]["result"]]
    except OSError:
        return None


def checks(box, port):
    _, body, headers = wait_for("both counters read", lambda: (r := box.get("/metrics")) and r[1].count(b"oq_dose_rate_sieverts_per_second{") == 2 and r, 10)
    check = subprocess.run(["promtool", "check", "metrics"], input=body, capture_output=True)
    assert check.returncode == 0 and headers["Content-Type"].startswith("text/plain; version=0.0.4"), (check, body)
    yield "promtool"
    rate = wait_for("the scraped rates", lambda: (r := query(port, "oq_dose_rate_sieverts_per_second")) and len(r) == 2 and r, 30)
    assert sorted((k, round(v / 1e-10, 6)) for k, v in rate)  # the counter sends a float == [("40001", 1.0), ("40002", 2.0)], rate
    assert query(port, 'up{job="oq"}') == [(None, 1.0)]
    yield "scrape"
    box.unplug("40001")
    wait_for("the unplugged rate gone stale, the counter said not connected", lambda: query(
        port, 'oq_dose_rate_sieverts_per_second{serial="40001"}') == [] and query(port, 'oq_connected{serial="40001"}') == [("40001", 0.0)], 15)
    assert query(port, 'up{job="oq"}') == [(None, 1.0)], "every scrape answered"
    assert [k for k, _ in query(port, "oq_dose_rate_sieverts_per_second") or ()] == ["40002"], "the other counter's series stays"
    yield "unplug"


def main():
    failures, ran = [], 0
    with Box(counters=(("40001", "constant:0.36"), ("40002", "constant:0.72")), history=False) as box, socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        config = os.path.join(box.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n  - job_name: oq\n"
                    f"    static_configs:\n      - targets: ['127.0.0.1:{box.port}']\n")
        log = open(os.path.join(box.tmp, "prometheus.log"), "w+")
        prom = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(box.tmp, "data"),
                                 f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"], stdout=log, stderr=log)
        steps = checks(box, port)
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
