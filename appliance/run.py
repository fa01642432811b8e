#!/usr/bin/env python3
"""The virtual zrq4470: the BSP's i386 packages installed by dpkg on a Debian 12 i386 userland,
booted under QEMU on a Debian kernel with systemd, the LCD module emulator on its second UART
and the metrics forwarded to the host.

  run.py demo  --debs DIR --kernel-dir DIR --lcmemu PATH
      shows the panel as it changes and forwards the keys typed, until Ctrl-C
  run.py check --debs DIR --kernel-dir DIR --lcmemu PATH
      the system test: every check from the host and through the guest's test shell, then
      "appliance: N checks passed, M failed"
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
PATIENCE_S = 600  # only a guest that hangs waits this long: the machines are slow and shared


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(url, timeout=10):
    try:
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.status, r.read().decode("utf-8", "replace")
    except OSError as e:
        return 0, str(e)


def wait_for(what, probe, timeout=PATIENCE_S, every=0.5):
    """Asks `probe` until it gives something true; the bound only catches a hang."""
    end = time.monotonic() + timeout
    while True:
        got = probe()
        if got:
            return got
        if time.monotonic() > end:
            raise Failure("gave up waiting for " + what)
        time.sleep(every)


class Guest:
    """QEMU with the appliance: its console in a file, ttyS1 on a host pseudo-terminal (the
    LCD), ttyS2 on a Unix socket (the test shell), the metrics port forwarded to loopback."""

    def __init__(self, args, work):
        self.work = work
        self.console = os.path.join(work, "console.log")
        self.port = free_port()
        image = subprocess.run([os.path.join(HERE, "base.sh"), args.kernel_dir], check=True,
                               stdout=subprocess.PIPE, text=True).stdout.strip().splitlines()[-1]
        root = os.path.join(work, "root.qcow2")
        # A layer of its own over the cached base: each boot starts from the same root.
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "qcow2", "-b", image,
                        root], check=True)
        initrd = os.path.join(work, "initrd.gz")
        debs = os.path.join(work, "debs")
        os.mkdir(debs)
        for name in os.listdir(args.debs):
            if name.endswith("_i386.deb"):
                shutil.copy(os.path.join(args.debs, name), debs)
        subprocess.run([os.path.join(HERE, "initramfs.sh"), args.kernel_dir, initrd,
                        debs + "=zrq/debs", os.path.join(HERE, "root") + "=zrq/root"], check=True)
        vmlinuz = [f for f in os.listdir(os.path.join(args.kernel_dir, "boot"))
                   if f.startswith("vmlinuz-")][0]
        self.shell_path = os.path.join(work, "shell.sock")
        self.started = time.monotonic()
        log = open(os.path.join(work, "qemu.log"), "w")
        self.qemu = subprocess.Popen(
            ["qemu-system-x86_64", "-accel", "kvm", "-accel", "tcg,thread=multi", "-smp", "2",
             "-m", "768", "-display", "none", "-monitor", "none", "-no-reboot",
             "-kernel", os.path.join(args.kernel_dir, "boot", vmlinuz), "-initrd", initrd,
             "-append", "console=ttyS0 tsc=unstable zrq.mode=boot loglevel=4",
             "-drive", "file=%s,if=virtio,format=qcow2" % root,
             "-serial", "file:" + self.console, "-serial", "pty",
             "-serial", "unix:%s,server=on,wait=off" % self.shell_path,
             # The guest reaches nothing outside; the host reaches its metrics port.
             "-nic", "user,model=e1000,restrict=on,hostfwd=tcp:127.0.0.1:%d-:9470" % self.port],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.pty = wait_for("QEMU's pseudo-terminal for ttyS1", self._pty, timeout=60, every=0.1)

    def _pty(self):
        if self.qemu.poll() is not None:
            raise Failure("QEMU ended: " + open(os.path.join(self.work, "qemu.log")).read())
        m = re.search(r"char device redirected to (/dev/pts/\d+) \(label serial1\)",
                      open(os.path.join(self.work, "qemu.log")).read())
        return m and m.group(1)

    def console_text(self):
        with open(self.console, "rb") as f:
            return f.read().decode("utf-8", "replace").replace("\r", "")

    def alive(self):
        if self.qemu.poll() is not None:
            raise Failure("the guest ended; its console:\n" + self.console_text()[-3000:])

    def stop(self):
        if self.qemu.poll() is None:
            self.qemu.terminate()
            try:
                self.qemu.wait(30)
            except subprocess.TimeoutExpired:
                self.qemu.kill()
                self.qemu.wait()


class Shell:
    """The guest's test shell on ttyS2, run command by command."""

    def __init__(self, guest):
        self.guest = guest
        self.sock = socket.socket(socket.AF_UNIX)
        wait_for("the test shell's socket", lambda: self._connect(), timeout=60, every=0.1)
        self.buf = b""

        def ready():
            guest.alive()
            # The quotes keep the echoed command from matching what the shell prints.
            self.sock.sendall(b"PS1=''; stty -echo; echo RE''ADY\n")
            return self._read_until(re.compile(rb"^READY\r?$", re.M), 2) is not None
        wait_for("the guest's test shell", ready, every=0)
        # Probes sent while it started may still answer: everything before this is theirs.
        self.sock.sendall(b"echo SY''NC\n")
        if self._read_until(re.compile(rb"^SYNC\r?\n", re.M), 120) is None:
            raise Failure("the guest's test shell stopped answering")

    def _connect(self):
        try:
            self.sock.connect(self.guest.shell_path)
            return True
        except OSError:
            return False

    def _read_until(self, pattern, timeout):
        end = time.monotonic() + timeout
        while True:
            m = pattern.search(self.buf)
            if m:
                out, self.buf = self.buf[:m.start()], self.buf[m.end():]
                return out, m
            left = end - time.monotonic()
            if left <= 0:
                return None
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return None
            if not chunk:
                raise Failure("the guest's test shell closed")
            self.buf += chunk

    def run(self, command, timeout=120):
        """(exit status, output) of `command` in the guest's shell."""
        self.buf = b""
        self.sock.sendall(("%s; echo __R''C__$?__\n" % command).encode())
        got = self._read_until(re.compile(rb"__RC__(\d+)__\r?\n"), timeout)
        if got is None:
            self.guest.alive()
            raise Failure("no answer from the guest to: " + command)
        out, m = got
        return int(m.group(1)), out.decode("utf-8", "replace").replace("\r", "").strip()


class Panel:
    """lcmemu on the guest's ttyS1: the screen in a file, key taps through a FIFO."""

    def __init__(self, lcmemu, pty, work, show=False):
        self.screen_file = os.path.join(work, "screen.txt")
        self.keys = os.path.join(work, "keys")
        self.proc = subprocess.Popen(
            [lcmemu, "--attach", pty, "--keys", self.keys,
             "--screen", "-" if show else self.screen_file],
            stdout=None if show else subprocess.DEVNULL)
        wait_for("lcmemu's key pipe", lambda: os.path.exists(self.keys), timeout=30, every=0.05)

    def rows(self):
        try:
            lines = open(self.screen_file).read().splitlines()
            return lines[1][1:-1], lines[2][1:-1]
        except (OSError, IndexError):
            return "", ""

    def tap(self, key):
        with open(self.keys, "w") as f:
            f.write(key)

    def wait(self, what, test, timeout=60):
        def shown():
            rows = self.rows()
            return rows if test(rows) else None
        return wait_for("the panel to show %s (it shows %s)" % (what, "|".join(self.rows())), shown, timeout, 0.1)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


class Prometheus:
    def __init__(self, work, target_port):
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                    "scrape_configs:\n  - job_name: zrq4470\n    static_configs:\n"
                    "      - targets: ['127.0.0.1:%d']\n" % target_port)
        prometheus = shutil.which("prometheus")
        if not prometheus:
            raise Failure("prometheus is missing: apt-get install prometheus (make deps does it)")
        self.log = os.path.join(work, "prometheus.log")
        for _ in range(5):
            self.port = free_port()
            self.proc = subprocess.Popen(
                [prometheus, "--config.file=" + config,
                 "--storage.tsdb.path=" + os.path.join(work, "tsdb"),
                 "--web.listen-address=127.0.0.1:%d" % self.port],
                stdout=subprocess.DEVNULL, stderr=open(self.log, "w"))
            try:
                wait_for("Prometheus", self._ready, timeout=120, every=0.2)
                return
            except Failure:
                if self.proc.poll() is None:
                    raise
        raise Failure("Prometheus would not start: " + open(self.log).read()[-2000:])

    def _ready(self):
        if self.proc.poll() is not None:
            raise Failure("Prometheus ended")
        return "Server is ready to receive web requests" in open(self.log).read()

    def query(self, expr):
        status, body = http_get("http://127.0.0.1:%d/api/v1/query?query=%s" %
                                (self.port, urllib.parse.quote(expr)))
        return json.loads(body)["data"]["result"] if status == 200 else []

    def values(self, expr, label):
        return {r["metric"].get(label, ""): float(r["value"][1]) for r in self.query(expr)}

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(30)


STUB_BUS = ("for d in /sys/bus/i2c/devices/i2c-*; do "
            "[ \"$(cat $d/name)\" = 'SMBus stub driver' ] && echo ${d##*/i2c-}; done")


class Checks:
    def __init__(self, guest, shell, panel, prometheus):
        self.guest, self.shell, self.panel, self.prom = guest, shell, panel, prometheus
        self.passed = self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print("ok    %s%s" % (name, ": " + detail if detail else ""), flush=True)
        else:
            self.failed += 1
            print("FAIL  %s%s" % (name, ": " + detail if detail else ""), flush=True)

    def sh(self, command):
        return self.shell.run(command)[1]

    def units(self):
        active = self.sh("systemctl is-active zrq-appliance-stub zrq4470-setup zrqd")
        self.check("the setup unit and zrqd are active under systemd", active.split() ==
                   ["active"] * 3, active.replace("\n", " "))
        stamps = self.sh("systemctl show -P ActiveEnterTimestampMonotonic zrq4470-setup; "
                         "systemctl show -P InactiveExitTimestampMonotonic zrqd").split()
        self.check("zrqd started after the board setup had finished",
                   len(stamps) == 2 and 0 < int(stamps[0]) <= int(stamps[1]), " ".join(stamps))
        user = self.sh("stat -c %U /proc/$(systemctl show -P MainPID zrqd)")
        self.check("zrqd runs as its own user, not root", user == "zrqd", user)

    def device_policy(self):
        bus = self.sh(STUB_BUS)
        # A shell of the test's own joins zrqd's control group, where the unit's device policy
        # (a BPF program on the group) decides each open: EPERM where it refuses.
        probe = ("cg=$(cut -d: -f3 /proc/$(systemctl show -P MainPID zrqd)/cgroup); "
                 "sh -c 'echo $$ > /sys/fs/cgroup'$cg'/cgroup.procs; "
                 "for d in /dev/i2c-%s /dev/ttyS1 /dev/ttyS0 /dev/null /dev/zero /dev/full "
                 "/dev/random /dev/urandom; do if (exec 3<>$d) 2>/tmp/e; then echo $d:open; "
                 "else echo $d:refused:$(sed \"s/.*: //\" /tmp/e); fi; done'" % bus)
        got = dict(line.split(":", 1) for line in self.sh(probe).splitlines() if ":" in line)
        want = {d: "open" for d in ("/dev/i2c-" + bus, "/dev/ttyS1", "/dev/null", "/dev/zero",
                                    "/dev/full", "/dev/random", "/dev/urandom")}
        want["/dev/ttyS0"] = "refused:Operation not permitted"
        self.check("zrqd's device policy: its SMBus and ttyS1 and the null, zero, full and "
                   "random devices, not ttyS0", got == want, json.dumps(got))

    def metrics(self):
        self.prom.values("up", "job")  # the first query may come before the first scrape
        temps = wait_for("Prometheus to have the temperatures", lambda: self.prom.values(
            'zrq_hwm_temperature_celsius{item=~"HWMID_TEMP_.*"}', "item"), timeout=120)
        self.check("Prometheus reads the temperatures (lm75 on i2c-stub)", temps == {
            "HWMID_TEMP_CPU1": 45.0, "HWMID_TEMP_CPU2": 47.5}, json.dumps(temps))
        present = self.prom.values("zrq_psu_present", "psu")
        volts = self.prom.values("zrq_psu_input_volts", "psu")
        self.check("Prometheus reads both supplies", present == {"1": 1, "2": 1} and
                   volts == {"1": 230.0, "2": 230.0}, json.dumps([present, volts]))
        slots = self.prom.values("zrq_lbp_present", "slot")
        pairs = self.prom.query('zrq_lbp_pair_bypass{phase="runtime"}')
        self.check("Prometheus reads the bypass state", slots.get("0") == 1 and len(pairs) > 0,
                   json.dumps(slots))

    def panel_keys(self):
        home = self.panel.wait("the home page", lambda r: r[0].startswith("zrq4470-vm"))
        self.check("the panel shows its home page on the emulated module", True, "|".join(home))
        self.panel.tap("B")
        psu = self.panel.wait("the first supply", lambda r: r[0].startswith("PSU1"))
        self.check("a key tapped on the emulator turns the page", True, "|".join(psu))

    def bypass_from_panel(self):
        # Up twice from the first supply: home, then the last page, slot 0's bypass; enter for
        # pair 1, down to pair 2, enter, and enter again to confirm.
        for key, want in (("A", "zrq4470-vm"), ("A", "Slot 0 bypass"), ("C", "Slot 0 pair 1"),
                          ("B", "Slot 0 pair 2"), ("C", "Pair 2 bypass?")):
            self.panel.tap(key)
            self.panel.wait(want, lambda r, w=want: r[0].startswith(w))
        self.panel.tap("C")
        # The module takes the screen a character at a time: the whole result, not its start.
        done = self.panel.wait("the result", lambda r: r[1].rstrip() == "bypass on: done" or
                               r[1].startswith("failed: "))
        # The write byte that sets pair 2 (0x02 into the run-time bypass register, 0x12). The
        # stub keeps a written byte where a module answers its status byte, so what zrqctl
        # reads back there is said, not required.
        wrote = self.sh("busybox i2cget -y $(%s) 0x37 0x12 b" % STUB_BUS)
        _, status = self.shell.run("zrqctl lbp status 0 2>&1 | tail -n 3")
        self.check("the panel's bypass action reaches the module's register on the stub",
                   "done" in done[1] and wrote == "0x02",
                   "%s; register 0x12 reads %s; zrqctl lbp status 0: %s" %
                   (done[1].strip(), wrote, status.replace("\n", " | ")))
        self.panel.tap("D")

    def lcm_held(self):
        rc, out = self.shell.run("zrqctl lcm --port /dev/ttyS1 info 2>&1")
        self.check("zrqctl lcm info says zrqd holds the panel",
                   rc != 0 and "held by the service zrqd" in out, out)

    def journal_warning(self):
        bus = self.sh(STUB_BUS)
        # A kernel driver bound at the second supply's address makes it busy for libpvqsmb.
        self.sh("echo lm75 0x59 > /sys/bus/i2c/devices/i2c-%s/new_device" % bus)
        try:
            said = wait_for("the warning in the journal", lambda: self.sh(
                "journalctl -u zrqd -p warning -o cat --no-pager | grep 0x59 | tail -n 1"),
                timeout=120)
        except Failure as e:
            said = str(e)
        self.sh("echo 0x59 > /sys/bus/i2c/devices/i2c-%s/delete_device" % bus)
        self.check("journalctl -u zrqd -p warning shows the platform library's warning",
                   "lm75" in said, said)

    def reload_and_stop(self):
        pid = self.sh("systemctl show -P MainPID zrqd")
        rc, _ = self.shell.run("systemctl reload zrqd")
        after = self.sh("systemctl show -P MainPID zrqd")
        status, body = http_get("http://127.0.0.1:%d/metrics" % self.guest.port)
        self.check("systemctl reload zrqd keeps it serving", rc == 0 and pid == after and
                   status == 200 and "zrq_poll_cycles_total" in body,
                   "systemctl status %d, pid %s then %s, HTTP %s" % (rc, pid, after, status))
        rc, _ = self.shell.run("systemctl stop zrqd")
        rows = self.panel.wait("zrqd stopped", lambda r: r[1].startswith("zrqd stopped"))
        same = self.sh("[ \"$(stty -F /dev/ttyS1 -g)\" = \"$(cat /run/zrq-ttyS1.before)\" ] "
                       "&& echo same || echo changed")
        self.check("systemctl stop zrqd leaves \"zrqd stopped\" and the line settings as found",
                   rc == 0 and same == "same", "|".join(rows) + " " + same)

    def all(self):
        for step in (self.units, self.device_policy, self.metrics, self.panel_keys,
                     self.bypass_from_panel, self.lcm_held, self.journal_warning,
                     self.reload_and_stop):
            try:
                step()
            except Exception as e:  # a failed step says why and the others still run
                self.check(step.__name__.replace("_", " "), False, "%s: %s" % (type(e).__name__, e))


def first_scrape(guest):
    def scrape():
        guest.alive()
        status, body = http_get("http://127.0.0.1:%d/metrics" % guest.port, timeout=5)
        return status == 200 and "zrq_poll_cycles_total" in body
    wait_for("the first scrape", scrape, every=0.5)
    return time.monotonic() - guest.started


def check(args, work):
    guest = Guest(args, work)
    checks = Checks(guest, None, None, None)
    try:
        checks.panel = Panel(args.lcmemu, guest.pty, work)
        after = first_scrape(guest)
        print("first scrape after %.0f s" % after, flush=True)
        checks.prom = Prometheus(work, guest.port)
        checks.shell = Shell(guest)
        checks.all()
    except Failure as e:
        checks.check("the appliance came up", False, str(e))
        print(guest.console_text()[-4000:])
    finally:
        for part in (checks.prom, checks.panel, guest):
            if part:
                part.stop()
    print("appliance: %d checks passed, %d failed" % (checks.passed, checks.failed), flush=True)
    return 0 if checks.failed == 0 else 1


def demo(args, work):
    guest = Guest(args, work)
    panel = Panel(args.lcmemu, guest.pty, work, show=True)
    try:
        print("The virtual zrq4470 is booting (about a minute on a busy machine).", flush=True)
        after = first_scrape(guest)
        print("\nUp after %.0f s. Metrics: http://127.0.0.1:%d/metrics\n"
              "Keys: type A (up), B (down), C (enter) or D (escape), then Enter. "
              "Ctrl-C ends it.\n" % (after, guest.port), flush=True)
        for line in sys.stdin:
            for key in line.strip().upper():
                if key in "ABCD":
                    panel.tap(key)
    except KeyboardInterrupt:
        pass
    finally:
        panel.stop()
        guest.stop()
    return 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("mode", choices=["demo", "check"])
    p.add_argument("--debs", required=True)
    p.add_argument("--kernel-dir", required=True)
    p.add_argument("--lcmemu", required=True)
    args = p.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = tempfile.mkdtemp(prefix="zrq-appliance-")
    try:
        return (check if args.mode == "check" else demo)(args, work)
    finally:
        if os.environ.get("ZRQ_APPLIANCE_KEEP"):
            print("kept: " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
