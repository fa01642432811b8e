#!/usr/bin/python3
"""A real Prometheus server (Debian's) scrapes zrqd on loopback every second; the values come
back through Prometheus's HTTP query API.

    zrqd_prometheus_test.py BUILD_DIR PLATFORM_JSON
"""
import json
import os
import shutil
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zrqd_run import Appliance, Failure, free_port, get, wait_for  # noqa: E402

BUILD, PLATFORM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
PROMETHEUS = shutil.which("prometheus")
if PROMETHEUS is None:
    sys.exit("the Prometheus server is missing (Debian package prometheus): run make deps as root")


class Scrape(unittest.TestCase):
    def setUp(self):
        self.app = Appliance(BUILD, PLATFORM, panel=False)
        self.addCleanup(self.app.close)
        self.app.start_zrqd()

    def start_prometheus(self):
        config = os.path.join(self.app.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: zrqd\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % self.app.port)
        # The port is the kernel's choice, taken back just before; another taker in between
        # makes Prometheus fail at once, and then it is tried again on another.
        for _ in range(5):
            port = free_port()
            server = self.app.start([PROMETHEUS, "--config.file=" + config,
                                     "--storage.tsdb.path=" + os.path.join(self.app.dir, "tsdb"),
                                     "--web.listen-address=127.0.0.1:%d" % port, "--log.level=warn"])
            try:
                wait_for("Prometheus to be ready",
                         lambda: server.proc.poll() is not None or
                         get("http://127.0.0.1:%d/-/ready" % port, timeout=5)[0] == 200)
            except OSError:
                pass
            if server.proc.poll() is None:
                return port
        raise Failure("Prometheus would not start:\n" + server.log())

    def query(self, port, expr):
        status, body = get("http://127.0.0.1:%d/api/v1/query?query=%s" %
                           (port, urllib.parse.quote(expr)))
        if status != 200:
            return []
        return json.loads(body)["data"]["result"]

    def test_prometheus_scrapes_every_second_and_answers_with_the_readings(self):
        port = self.start_prometheus()

        def ready(expr, n):
            def check():
                try:
                    r = self.query(port, expr)
                except OSError:
                    return None
                return r if len(r) >= n else None
            return wait_for("%s in Prometheus" % expr, check)

        up = ready('up{job="zrqd"} == 1', 1)
        self.assertEqual(up[0]["metric"]["instance"], "127.0.0.1:%d" % self.app.port)
        watts = {r["metric"]["psu"]: float(r["value"][1])
                 for r in ready("zrq_psu_input_watts", 2)}
        self.assertEqual(watts, {"1": 143.75, "2": 114.75})
        temps = {r["metric"]["sensor"]: float(r["value"][1])
                 for r in ready('zrq_hwm_temperature_celsius{item=~"[0-3]"}', 4)}
        self.assertEqual(temps["CPU1 Temp"], 45.0)
        self.assertEqual(temps["System Temp 2"], 33.5)
        # Scrapes keep coming: more than one sample of the poll counter over time.
        counts = ready("count_over_time(zrq_poll_cycles_total[1m]) >= 2", 1)
        self.assertGreaterEqual(float(counts[0]["value"][1]), 2)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
