#!/usr/bin/python3
"""A real Prometheus server (Debian's) scrapes zrqd on loopback every second; the values come
back through Prometheus's HTTP query API. The scrapes pass through a proxy of the test's that
counts them: Prometheus commits a scrape's samples before it starts the next, so once a
scrape has arrived the ones before it can be queried.

    zrqd_prometheus_test.py BUILD_DIR PLATFORM_JSON
"""
import json
import os
import shutil
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zrqd_run import Appliance, CountingProxy, Failure, free_port, get  # noqa: E402

BUILD, PLATFORM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
PROMETHEUS = shutil.which("prometheus")
if PROMETHEUS is None:
    sys.exit("the Prometheus server is missing (Debian package prometheus): run make deps as root")


class Scrape(unittest.TestCase):
    def setUp(self):
        self.app = Appliance(BUILD, PLATFORM, panel=False)
        self.addCleanup(self.app.close)
        self.app.start_zrqd()

    def start_prometheus(self, target_port):
        config = os.path.join(self.app.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: zrqd\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % target_port)
        # The port is the kernel's choice, taken back just before; another taker in between
        # makes Prometheus end at once, and then another port is tried.
        for _ in range(5):
            port = free_port()
            server = self.app.start([PROMETHEUS, "--config.file=" + config,
                                     "--storage.tsdb.path=" + os.path.join(self.app.dir, "tsdb"),
                                     "--web.listen-address=127.0.0.1:%d" % port])
            try:
                server.wait_line("Server is ready to receive web requests")
                return port
            except Failure:
                if server.proc.poll() is None:
                    raise
        raise Failure("Prometheus would not start:\n" + server.log())

    def query(self, port, expr):
        status, body = get("http://127.0.0.1:%d/api/v1/query?query=%s" %
                           (port, urllib.parse.quote(expr)))
        self.assertEqual(status, 200, body)
        return json.loads(body)["data"]["result"]

    def test_prometheus_scrapes_every_second_and_answers_with_the_readings(self):
        self.app.zrqd.wait_line("first readings in")
        proxy = CountingProxy("http://127.0.0.1:%d" % self.app.port)
        self.addCleanup(proxy.close)
        port = self.start_prometheus(proxy.port)

        # The second scrape's arrival: the first is in.
        proxy.wait_arrivals(2)
        up = self.query(port, 'up{job="zrqd"}')
        self.assertEqual([(r["metric"]["instance"], r["value"][1]) for r in up],
                         [("127.0.0.1:%d" % proxy.port, "1")])
        watts = {r["metric"]["psu"]: float(r["value"][1])
                 for r in self.query(port, "zrq_psu_input_watts")}
        self.assertEqual(watts, {"1": 143.75, "2": 114.75})
        # The driver's names joined to the readings by item, as a dashboard does.
        temps = {r["metric"]["sensor"]: float(r["value"][1])
                 for r in self.query(port, 'zrq_hwm_temperature_celsius{item=~"HWMID_TEMP_.*"} '
                                           '* on(instance, item) group_left(sensor) '
                                           'zrq_hwm_sensor_info')}
        self.assertEqual(temps, {"CPU1 Temp": 45.0, "CPU2 Temp": 47.5, "System Temp 1": 31.0,
                                 "System Temp 2": 33.5})
        self.assertEqual(self.query(port, "zrq_psu_output_volts")[0]["metric"]["psu"], "1")
        # Scrapes keep coming, once a second: the fourth one's arrival means three are in.
        proxy.wait_arrivals(4)
        counts = self.query(port, 'count_over_time(zrq_poll_cycles_total{job="zrqd"}[5m])')
        self.assertGreaterEqual(float(counts[0]["value"][1]), 3)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
