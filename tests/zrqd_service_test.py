#!/usr/bin/python3
"""zrqd as an operator runs it: its /metrics read by Prometheus's own client parser and
checked by promtool, its panel beside zrqctl, SIGHUP and SIGTERM, a bad configuration.

    zrqd_service_test.py BUILD_DIR PLATFORM_JSON
"""
import os
import shutil
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zrqd_run import Appliance, get  # noqa: E402

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    sys.exit("python3-prometheus-client is missing (Debian package python3-prometheus-client): "
             "run make deps as root")

BUILD, PLATFORM = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
PROMTOOL = shutil.which("promtool")
if PROMTOOL is None:
    sys.exit("promtool is missing (Debian package prometheus): run make deps as root")


def samples(text):
    """{(name, frozenset(labels)): value} of every sample, through the client's parser."""
    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            out[(s.name, frozenset(s.labels.items()))] = s.value
    return out


def value(all_samples, metric, **labels):
    return all_samples.get((metric, frozenset((k, str(v)) for k, v in labels.items())))


class Metrics(unittest.TestCase):
    def setUp(self):
        self.app = Appliance(BUILD, PLATFORM, panel=False)
        self.addCleanup(self.app.close)
        self.app.start_zrqd()

    def test_text_parses_and_passes_promtool(self):
        text = self.app.metrics_after_a_poll()
        all_samples = samples(text)
        expected = [
            ("zrq_psu_present", {"psu": 1}, 1),
            ("zrq_psu_input_watts", {"psu": 1}, 143.75),
            ("zrq_psu_input_watts", {"psu": 2}, 114.75),
            ("zrq_psu_output_volts", {"psu": 1}, 12),
            ("zrq_psu_output_amperes", {"psu": 2}, 8.75),
            ("zrq_psu_status_bit", {"psu": 2, "bit": 6, "name": "OFF"}, 0),
            ("zrq_hwm_temperature_celsius", {"item": "HWMID_TEMP_CPU2"}, 47.5),
            ("zrq_hwm_voltage_volts", {"item": "HWMID_VOLT_P12V"}, 12.168),
            ("zrq_hwm_fan_speed_rpm", {"item": "HWMID_RPM_FanCpu1"}, 2400),
            ("zrq_hwm_sensor_info", {"item": "HWMID_TEMP_CPU2", "sensor": "CPU2 Temp"}, 1),
            ("zrq_hwm_case_open", {}, 1),
            ("zrq_lbp_slots_polled", {}, 8),
            ("zrq_lbp_present", {"slot": 1}, 1),
            ("zrq_lbp_present", {"slot": 2}, 0),
            ("zrq_lbp_pair_bypass", {"slot": 1, "pair": 2, "phase": "runtime"}, 0),
            ("zrq_lbp_timer_status", {"slot": 0, "timer": 3}, 0),
            ("zrq_read_failures_total", {"subsystem": "psu"}, 0),
            ("zrq_plugin_loaded", {"subsystem": "lcm", "plugin": "zrq4470lcm.so"}, 0),
        ]
        for name, labels, want in expected:
            self.assertEqual(value(all_samples, name, **labels), want, (name, labels))
        # The 3Y supply's output volts are not decoded by the plug-in: left out, and said why.
        self.assertIsNone(value(all_samples, "zrq_psu_output_volts", psu=2))
        self.assertIsNone(value(all_samples, "zrq_psu_output_watts", psu=2))
        unread = [k for k in all_samples if k[0] == "zrq_psu_output_unread_info"]
        self.assertEqual(len(unread), 1)
        self.assertIn(("reason", "the maker reports READ_VOUT in LINEAR11, which the PSU plug-in "
                                 "decodes as LINEAR16"), unread[0][1])
        self.assertGreater(value(all_samples, "zrq_poll_duration_seconds"), 0)
        lint = subprocess.run([PROMTOOL, "check", "metrics"], input=text.encode(),
                              capture_output=True, timeout=120)
        self.assertEqual(lint.returncode, 0, lint.stdout.decode() + lint.stderr.decode())

    def test_health_and_a_bad_reload_that_changes_nothing(self):
        self.assertEqual(get(self.app.url("/healthz")), (200, "ok\n"))
        self.assertEqual(get(self.app.url("/nothing"))[0], 404)
        # A configuration broken on the way: said in one line, the one in use stays.
        self.app.write_config('{"poll_interval_ms": 5}')
        self.app.zrqd.proc.send_signal(signal.SIGHUP)
        line = self.app.zrqd.wait_line("the configuration in use stays")
        self.assertTrue(line.startswith("<3>" + self.app.config_file +
                                        ": at /poll_interval_ms: must be a whole number"), line)
        self.assertEqual(get(self.app.url("/healthz"))[0], 200)
        # A good one moves the endpoint.
        self.app.write_config(dict(self.app.config, listen="127.0.0.1:0"))
        self.app.zrqd.proc.send_signal(signal.SIGHUP)
        self.app.zrqd.wait_line("configuration reloaded")
        self.assertEqual(self.app.zrqd.stop(), 0)
        log = self.app.zrqd.log()
        self.assertIn("<5>stopped", log)
        for line in log.splitlines():
            self.assertRegex(line, r"^<[3-6]>\S")


class Panel(unittest.TestCase):
    def setUp(self):
        self.app = Appliance(BUILD, PLATFORM)
        self.addCleanup(self.app.close)

    def zrqctl_lcm_info(self):
        return subprocess.run([os.path.join(BUILD, "bin", "zrqctl"), "lcm", "--port", self.app.pty,
                               "info"], env=self.app.env, capture_output=True, timeout=120)

    def test_the_panel_belongs_to_zrqd_until_sigterm_gives_it_back(self):
        zrqd = self.app.start_zrqd()
        self.app.screen_shows("|! Case opened")
        self.app.screen_shows("|edge-7", after=self.app.press("A"))
        self.app.screen_shows("|PSU1              OK|", after=self.app.press("B"))
        held = self.zrqctl_lcm_info()
        self.assertEqual(held.returncode, 1)
        self.assertIn("the front panel is held by the service zrqd (pid %d)" % zrqd.proc.pid,
                      held.stderr.decode())
        mark = self.app.emu.mark(stdout=True)
        self.assertEqual(zrqd.stop(), 0)
        self.app.screen_shows("|zrqd stopped", after=mark)
        # The port is free again, its line settings as they were.
        free = self.zrqctl_lcm_info()
        self.assertEqual(free.returncode, 0, free.stderr.decode())

    def test_a_configuration_that_cannot_be_used_stops_the_start(self):
        self.app.write_config('{"panel": {"keys": {"up": "Z"}}}')
        self.app.zrqd = self.app.start([os.path.join(BUILD, "bin", "zrqd"), "--config",
                                        self.app.config_file])
        self.assertEqual(self.app.zrqd.proc.wait(120), 2)
        self.assertEqual(self.app.zrqd.log(), "<3>%s: at /panel/keys/up: must be one of the module's "
                         "keys \"A\" to \"D\", not \"Z\"" % self.app.config_file)
        # A misspelt option: one line in our words, and the status of a bad configuration.
        r = subprocess.run([os.path.join(BUILD, "bin", "zrqd"), "--conifg", "x"],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual((r.returncode, r.stderr), (2, "zrqd: no option --conifg; did you mean "
                                                       "--config? (run with --help for more)\n"))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
