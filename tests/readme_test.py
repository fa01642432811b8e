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

print(f"{sum(len(s) for _, s in blocks)} example commands, {failures} differ from the README")
sys.exit(1 if failures else 0)
