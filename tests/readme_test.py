#!/usr/bin/python3
"""The README's runnable examples, run as a user would type them, output and all.

A block marked with <!-- runnable --> holds commands ("$ " lines) and what each prints (the
lines up to the next command). All blocks run in order in one shell, as a reader following the
README types them into one terminal, from a scratch folder that looks like the top of the
project: sim/platforms/ holds a copy of the shipped descriptions (so that no state is left in
the source tree) and build/release/ is the tree under test.

    readme_test.py SOURCE_DIR BUILD_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

source, build = sys.argv[1:3]
with open(os.path.join(source, "README.md")) as f:
    lines = f.read().split("\n")

# [(first line number, [(command, [expected lines])])]
blocks = []
i = 0
while i < len(lines):
    if lines[i].strip() != "<!-- runnable -->":
        i += 1
        continue
    start = i + 1
    i += 1
    while i < len(lines) and not lines[i].startswith("    "):
        i += 1
    steps = []
    while i < len(lines) and (lines[i].startswith("    ") or lines[i] == ""):
        text = lines[i][4:]
        if text.startswith("$ "):
            steps.append((text[2:], []))
        elif steps and lines[i] != "":
            steps[-1][1].append(text)
        i += 1
    blocks.append((start, steps))

if not blocks:
    sys.exit("readme_test: no runnable example found in README.md")

failures = 0
steps = [(start, cmd, expected) for start, block in blocks for cmd, expected in block]
work = tempfile.mkdtemp(prefix="readme-")
try:
    shutil.copytree(os.path.join(source, "sim", "platforms"), os.path.join(work, "sim", "platforms"))
    os.makedirs(os.path.join(work, "build"))
    os.symlink(os.path.abspath(build), os.path.join(work, "build", "release"))
    marker = "@@readme-step@@"
    script = "".join(f"echo {marker}\n{cmd} 2>&1\n" for _, cmd, _ in steps)
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PVQSMB_", "PVQIO_", "ZRQ_PLUGIN"))}
    env["XDG_RUNTIME_DIR"] = work
    r = subprocess.run(["bash", "-c", script], cwd=work, env=env, capture_output=True, text=True,
                       timeout=300)
    outputs = r.stdout.split(marker + "\n")[1:]
    for n, (start, cmd, expected) in enumerate(steps):
        got = outputs[n].rstrip("\n").split("\n") if n < len(outputs) else ["<not run>"]
        if got == [""]:
            got = []
        if got != expected:
            failures += 1
            print(f"FAIL README.md block at line {start}: $ {cmd}")
            print("  expected:\n" + "\n".join("    " + l for l in expected))
            print("  got:\n" + "\n".join("    " + l for l in got))
        else:
            print(f"ok   $ {cmd}")
finally:
    shutil.rmtree(work)

# The lists that describe the service: every metric family served is documented and every one
# documented is served; every configuration key is in the table and every key there is read.
text = "\n".join(lines)


def names_in(paragraph):
    """Backticked names, labels in "(labels ...)" left out, `a_b|c|d` read as a_b, a_c, a_d."""
    paragraph = re.sub(r"\(labels?[^)]*\)", "", paragraph)
    found = set()
    for token in re.findall(r"`([a-z_.|]+)`", paragraph):
        first, *rest = token.split("|")
        found.add(first)
        stem = first.rsplit("_", 1)[0]
        found.update(stem + "_" + r for r in rest)
    return found


m = re.search(r"The metrics \(all `zrq_`\):(.*?)`/healthz`", text, re.S)
documented = {"zrq_" + n for n in names_in(m.group(1))} if m else set()
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from zrqd_run import Process, get  # noqa: E402

work = tempfile.mkdtemp(prefix="readme-metrics-")
try:
    shutil.copy(os.path.join(source, "sim", "platforms", "zrq4470.json"), work)
    config = os.path.join(work, "zrqd.json")
    with open(config, "w") as f:
        f.write('{"listen": "127.0.0.1:0", "sole_host": true, "panel": {"enabled": false}}')
    env = dict(os.environ, PVQSMB_PLATFORM=os.path.join(work, "zrq4470.json"),
               XDG_RUNTIME_DIR=work)
    zrqd = Process([os.path.join(build, "bin", "zrqd"), "--config", config], env=env)
    try:
        url = re.search(r"http://\S+/metrics", zrqd.wait_line("/metrics")).group(0)
        zrqd.wait_line("first readings")
        served = set(re.findall(r"^# TYPE (\S+)", get(url)[1], re.M))
    finally:
        zrqd.stop()
finally:
    shutil.rmtree(work)
for family in sorted(served - documented):
    failures += 1
    print(f"FAIL the metric family {family} is served but not in the README's list")
for family in sorted(documented - served):
    failures += 1
    print(f"FAIL the README lists {family}, which zrqd does not serve")


def keys_of(doc, prefix=""):
    for k, v in doc.items():
        if isinstance(v, dict) and k != "keys":
            yield from keys_of(v, prefix + k + ".")
        else:
            yield prefix + k


import json  # noqa: E402

with open(os.path.join(source, "zrqd", "dist", "zrqd.json")) as f:
    read = set(keys_of(json.load(f)))
table = set()
for row in re.findall(r"^\| (`[^|]*`) \|", text, re.M):
    table.update(re.findall(r"`([a-z_.]+)`", row))
# Only the configuration table's rows: its keys are those of the example configuration.
table &= read | {k for k in table if k.startswith("panel.") or k in ("name", "listen")}
for key in sorted(read - table):
    failures += 1
    print(f"FAIL the configuration key {key} is not in the README's table")
for key in sorted(table - read):
    failures += 1
    print(f"FAIL the README's table has {key}, which zrqd does not read")
print(f"{len(served)} metric families, {len(read)} configuration keys checked")

print(f"{sum(len(s) for _, s in blocks)} example commands, {failures} differ from the README")
sys.exit(1 if failures else 0)
