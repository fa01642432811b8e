#!/usr/bin/env python3
"""The Debian packages as an appliance gets them: lintian finds no error, the packages unpack
into a scratch i386 root, and there the installed 32-bit zrqd serves metrics from the installed
32-bit plug-ins (and the installed zrqctl reads through them) with the build tree out of sight,
against the virtual platform through a test-only build of the stand-ins that carries the
simulator (never shipped); the installed unit rates at most 2.5 in systemd-analyze security.

Usage: packages_test.py SOURCE_DIR DEBS_DIR I386_TEST_TREE
The 32-bit programs run under qemu-i386 with the scratch root as their file system prefix,
which works whether or not the kernel runs 32-bit programs. Needs lintian, qemu-user,
systemd-analyze and unshare (util-linux): make deps installs them."""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zrqd_run import Process, get  # noqa: E402

src, debs, tree = (os.path.abspath(a) for a in sys.argv[1:4])
results = []


def check(name, ok, detail=""):
    """`detail`, a text or a function giving one, is shown only for a failure."""
    results.append(ok)
    if not ok and callable(detail):
        detail = detail()
    print("%s  %s%s" % ("ok  " if ok else "FAIL", name, "" if ok or not detail else "\n" + detail))


for tool in ("lintian", "qemu-i386", "systemd-analyze", "unshare", "dpkg-deb"):
    if shutil.which(tool) is None:
        print("packages_test: %s is missing (make deps installs it)" % tool)
        sys.exit(1)

packages = sorted(glob.glob(os.path.join(debs, "*.deb")))
check("five packages", len(packages) == 5, "\n".join(packages))

# lintian: no error, and every warning fixed or overridden with its reason.
lint = subprocess.run(["lintian", "--tag-display-limit", "0"] + packages,
                      capture_output=True, text=True)
bad = [l for l in lint.stdout.splitlines() if l[:2] in ("E:", "W:")]
check("lintian: no error and no warning left", not bad, "\n".join(bad))

work = tempfile.mkdtemp(prefix="zrq-packages-")
try:
    root = os.path.join(work, "root")
    for deb in packages:
        if deb.endswith("_i386.deb"):
            subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    # The test-only stand-ins, which serve a virtual platform, in place of the shipped ones.
    libdir = os.path.join(root, "usr/lib/i386-linux-gnu")
    for lib in ("libpvqsmb.so", "libpvqio.so", "libzrqsim.so"):
        shutil.copy(os.path.join(tree, "lib", lib), os.path.join(libdir, lib))
    platform = os.path.join(work, "platform.json")
    shutil.copy(os.path.join(src, "sim/platforms/zrq4470.json"), platform)
    config = os.path.join(work, "zrqd.json")
    with open(config, "w") as f:
        # No "plugins": the installed folder is the default.
        json.dump({"listen": "127.0.0.1:0", "poll_interval_ms": 200, "panel": {"enabled": False}},
                  f)
    env = dict(os.environ, PVQSMB_PLATFORM=platform)
    env.pop("ZRQ_PLUGIN_DIR", None)
    # The source and build trees out of sight: a RUNPATH or a path into them finds nothing.
    hidden = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
              'mount -t tmpfs -o size=1m hidden "$0" && exec "$@"', src,
              "qemu-i386", "-L", root]

    zrqctl = subprocess.run(hidden + [root + "/usr/bin/zrqctl", "lbp", "list", "--maxslots", "2"],
                            env=env, capture_output=True, text=True, timeout=300)
    check("the installed zrqctl reads the bypass modules through the installed plug-ins",
          zrqctl.returncode == 0 and "mask: 0x0003" in zrqctl.stdout,
          zrqctl.stdout + zrqctl.stderr)

    zrqd = Process(hidden + [root + "/usr/sbin/zrqd", "--config", config], env=env)
    try:
        line = zrqd.wait_line("/metrics")
        url = re.search(r"http://\S+/metrics", line).group(0)
        zrqd.wait_line("first readings")
        status, text = get(url)
    finally:
        code = zrqd.stop()
    wanted = ['zrq_plugin_loaded{subsystem="lbp",plugin="zrq4470lbp.so"} 1',
              'zrq_plugin_loaded{subsystem="hwm",plugin="zrq4470hwm.so"} 1',
              'zrq_psu_present{psu="1"} 1', 'zrq_lbp_present{slot="0"} 1']
    missing = [w for w in wanted if w not in text]
    check("the installed 32-bit zrqd serves metrics from the installed 32-bit plug-ins",
          status == 200 and not missing, lambda: "missing: %s\n%s" % (missing, zrqd.log()))
    check("zrqd stops on SIGTERM", code == 0, zrqd.log)

    # The unit as installed, and what systemd-analyze makes of it.
    unit = os.path.join(root, "lib/systemd/system/zrqd.service")
    security = subprocess.run(["systemd-analyze", "security", "--offline=true", unit],
                              capture_output=True, text=True)
    m = re.search(r"Overall exposure level for zrqd.service: ([0-9.]+)", security.stdout)
    exposure = float(m.group(1)) if m else 99
    print("     zrqd.service exposure: %s" % (m.group(0) if m else security.stdout[-400:]))
    check("the installed unit rates at most 2.5", exposure <= 2.5, security.stdout[-2000:])
finally:
    shutil.rmtree(work, ignore_errors=True)

print("packages: %d passed, %d failed" % (results.count(True), results.count(False)))
sys.exit(0 if all(results) else 1)
