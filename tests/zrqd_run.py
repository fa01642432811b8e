"""Starting zrqd, the LCD module emulator and their likes for the service's tests. Every wait
is on something the programs say (a line of their output, an HTTP answer, a request that
arrives), bounded by a patience that only a stuck program runs out of; every process is
stopped at the end; every port is chosen by the kernel."""
import http.server
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.request

PATIENCE = 120  # seconds


class Failure(Exception):
    pass


def get(url, timeout=30):
    """(status, body) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


class Process:
    """A program whose stdout and stderr are collected line by line as they come."""

    def __init__(self, argv, env=None, cwd=None):
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, cwd=cwd)
        self.out = {self.proc.stdout: [], self.proc.stderr: []}
        self._partial = {self.proc.stdout: b"", self.proc.stderr: b""}

    @property
    def lines(self):
        return self.out[self.proc.stderr]

    @property
    def stdout_lines(self):
        return self.out[self.proc.stdout]

    def _read(self, timeout):
        """Takes what either pipe has, waiting at most `timeout` for something; False at the
        end of both."""
        pipes = [p for p in self.out if not p.closed and self._partial[p] is not None]
        if not pipes:
            return False
        ready, _, _ = select.select(pipes, [], [], timeout)
        for pipe in ready:
            chunk = os.read(pipe.fileno(), 65536)
            if not chunk:
                self._partial[pipe] = None
                continue
            *done, self._partial[pipe] = (self._partial[pipe] + chunk).split(b"\n")
            self.out[pipe] += [d.decode(errors="replace") for d in done]
        return True

    def mark(self, stdout=False):
        """Where the output stands now: wait_line(after=...) looks only at what comes later."""
        return len(self.stdout_lines if stdout else self.lines)

    def wait_line(self, needle, stdout=False, after=0, patience=PATIENCE):
        """The first line holding `needle` (of stderr, or of stdout), read as it comes."""
        deadline = time.monotonic() + patience
        lines = self.stdout_lines if stdout else self.lines
        while True:
            for line in lines[after:]:
                if needle in line:
                    return line
            if time.monotonic() > deadline:
                raise Failure("%s did not say %r:\n%s" % (self.argv[0], needle, "\n".join(lines)))
            if not self._read(deadline - time.monotonic()):
                self.proc.wait()
                raise Failure("%s ended (%s) without saying %r:\n%s" %
                              (self.argv[0], self.proc.returncode, needle, "\n".join(lines)))

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
        for pipe in self.out:
            if not pipe.closed:
                pipe.close()
        return self.proc.returncode


def free_port():
    """A loopback port the kernel has just handed out and taken back."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class CountingProxy:
    """Passes GET requests on to `upstream` unchanged and counts them as they arrive, so that a
    test can wait for a scraper's next request instead of guessing its pace."""

    def __init__(self, upstream):
        proxy = self
        self.arrived = 0
        self.cond = threading.Condition()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                with proxy.cond:
                    proxy.arrived += 1
                    proxy.cond.notify_all()
                status, body = get(upstream + self.path)
                data = body.encode()
                self.send_response(status)
                self.send_header("Content-Type", "text/plain; version=0.0.4; charset=utf-8")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever)
        self.thread.start()

    def wait_arrivals(self, n, patience=PATIENCE):
        with self.cond:
            if not self.cond.wait_for(lambda: self.arrived >= n, patience):
                raise Failure("only %d requests arrived, not %d" % (self.arrived, n))

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


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
        self.emu = None
        self.keys = os.path.join(self.dir, "keys")
        if panel:
            # The emulator makes its key pipe before it prints its port, then prints each new
            # screen.
            self.emu = self.start([os.path.join(build, "bin", "lcmemu"), "--screen", "-",
                                   "--keys", self.keys])
            self.emu.wait_line("/dev/", stdout=True)
            self.pty = self.emu.stdout_lines[0].strip()
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
        """/metrics once the poller has read everything once (it says so)."""
        self.zrqd.wait_line("first readings in")
        status, body = get(self.url("/metrics"))
        if status != 200:
            raise Failure("/metrics answered %d" % status)
        return body

    def screen_shows(self, text, after=0):
        """Waits for a screen of the emulator's (printed after `after`) that shows `text`."""
        return self.emu.wait_line(text, stdout=True, after=after)

    def press(self, key):
        """A key tap on the module; what is shown from now on comes after the returned mark."""
        mark = self.emu.mark(stdout=True)
        with open(self.keys, "w") as f:
            f.write(key)
        return mark

    def close(self):
        for p in reversed(self.processes):
            try:
                p.stop(signal.SIGTERM if p is self.zrqd else signal.SIGKILL)
            except Failure:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)
