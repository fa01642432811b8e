"""Starting zrqd, the LCD module emulator and their likes for the service's tests: every wait
bounded, every process stopped at the end, every port chosen by the kernel."""
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

PATIENCE = 120  # seconds; a wait that runs out means something is stuck, not slow


class Failure(Exception):
    pass


def wait_for(what, check, patience=PATIENCE, poll=0.05):
    """Calls check() until it returns something true; fails naming `what` after `patience`."""
    deadline = time.monotonic() + patience
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("gave up waiting for " + what)
        time.sleep(poll)


def get(url, timeout=30):
    """(status, body) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


class Process:
    """A program whose stderr is collected line by line."""

    def __init__(self, argv, env=None, cwd=None):
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, cwd=cwd)
        self.lines = []
        self._partial = b""

    def _read(self, timeout):
        if self.proc.stderr.closed:
            return False
        r, _, _ = select.select([self.proc.stderr], [], [], timeout)
        if not r:
            return False
        chunk = os.read(self.proc.stderr.fileno(), 65536)
        if not chunk:
            return False
        self._partial += chunk
        *done, self._partial = self._partial.split(b"\n")
        self.lines += [d.decode(errors="replace") for d in done]
        return True

    def wait_line(self, needle, patience=PATIENCE):
        """The first line of stderr holding `needle`, read as it comes."""
        deadline = time.monotonic() + patience
        while True:
            for line in self.lines:
                if needle in line:
                    return line
            if self.proc.poll() is not None and not self._read(0):
                raise Failure("%s ended (%s) without saying %r:\n%s" %
                              (self.argv[0], self.proc.returncode, needle, "\n".join(self.lines)))
            if time.monotonic() > deadline:
                raise Failure("%s did not say %r:\n%s" % (self.argv[0], needle, "\n".join(self.lines)))
            self._read(0.2)

    def log(self):
        while self._read(0):
            pass
        return "\n".join(self.lines)

    def stop(self, sig=signal.SIGTERM, patience=PATIENCE):
        """Sends `sig` and waits for the end; the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(patience)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise Failure("%s did not stop on %s" % (self.argv[0], sig))
        while self._read(0):
            pass
        for pipe in (self.proc.stdout, self.proc.stderr):
            if not pipe.closed:
                pipe.close()
        return self.proc.returncode


def free_port():
    """A loopback port the kernel has just handed out and taken back."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Appliance:
    """A virtual zrq4470 (a copy of the shipped platform), an LCD module emulator, and zrqd on
    them with a configuration of the test's own."""

    def __init__(self, build, platform, panel=True, **config):
        self.dir = tempfile.mkdtemp(prefix="zrqd-test-")
        self.build = build
        self.platform = os.path.join(self.dir, "platform.json")
        shutil.copy(platform, self.platform)
        self.env = dict(os.environ, PVQSMB_PLATFORM=self.platform,
                        XDG_RUNTIME_DIR=self.dir, ZRQ_PLUGIN_DIR=os.path.join(build, "lib"))
        self.env.pop("PVQIO_PLATFORM", None)
        self.processes = []
        self.pty = None
        self.screen = os.path.join(self.dir, "screen")
        self.keys = os.path.join(self.dir, "keys")
        if panel:
            emu = self.start([os.path.join(build, "bin", "lcmemu"), "--screen", self.screen,
                              "--keys", self.keys])
            self.pty = emu.proc.stdout.readline().decode().strip()
            wait_for("the emulator's key pipe", lambda: os.path.exists(self.keys))
        self.config = {"name": "edge-7", "listen": "127.0.0.1:0", "poll_interval_ms": 200,
                       "sole_host": True,
                       "panel": {"enabled": panel, "port": self.pty or "", "key_pause_ms": 0,
                                 "rotate_after_s": 0, "dim_after_s": 0}}
        self.config.update(config)
        self.config_file = os.path.join(self.dir, "zrqd.json")
        self.write_config(self.config)
        self.zrqd = None
        self.port = None

    def write_config(self, config):
        with open(self.config_file + ".tmp", "w") as f:
            json.dump(config, f) if isinstance(config, dict) else f.write(config)
        os.rename(self.config_file + ".tmp", self.config_file)

    def start(self, argv):
        p = Process(argv, env=self.env, cwd=self.dir)
        self.processes.append(p)
        return p

    def start_zrqd(self):
        self.zrqd = self.start([os.path.join(self.build, "bin", "zrqd"), "--config", self.config_file])
        line = self.zrqd.wait_line("metrics on http://")
        self.port = int(line.rsplit(":", 1)[1].split("/")[0])
        return self.zrqd

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def metrics_after_a_poll(self):
        """/metrics once the poller has read everything at least once."""
        def polled():
            status, body = get(self.url("/metrics"))
            return status == 200 and "\nzrq_poll_cycles_total 0\n" not in body and body
        return wait_for("a first poll", polled)

    def shown(self):
        try:
            with open(self.screen) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def press(self, key):
        with open(self.keys, "w") as f:
            f.write(key)

    def close(self):
        for p in reversed(self.processes):
            try:
                p.stop(signal.SIGKILL if p.proc.poll() is None and p is not self.zrqd else signal.SIGTERM)
            except Failure:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)
