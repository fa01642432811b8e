#!/usr/bin/python3
"""Every zrqctl subcommand's --json output, success and failure, against the schema.

Runs zrqctl against a copy of the shipped virtual platform and an LCD module emulator, and
validates each output with python3-jsonschema (Debian's package: the interpreter is the
system's, not whatever python3 comes first on PATH).

    zrqctl_schema_test.py SCHEMA BUILD_DIR PLATFORM
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import jsonschema
except ImportError:
    sys.exit("zrqctl_schema_test: python3-jsonschema is missing (apt-get install python3-jsonschema)")

schema_path, build, platform = sys.argv[1:4]
with open(schema_path) as f:
    schema = json.load(f)
validator_class = jsonschema.validators.validator_for(schema)
validator_class.check_schema(schema)
validator = validator_class(schema)

emulator = os.environ.get("ZRQ_EMULATOR", "").split()
work = tempfile.mkdtemp(prefix="zrqctl-schema-")
shutil.copy(platform, os.path.join(work, "platform.json"))
env = dict(os.environ, PVQSMB_PLATFORM=os.path.join(work, "platform.json"),
           XDG_RUNTIME_DIR=work, ZRQ_PLUGIN_DIR=os.path.join(build, "lib"))
env.pop("PVQIO_PLATFORM", None)
zrqctl = emulator + [os.path.join(build, "bin", "zrqctl")]

lcmemu = subprocess.Popen(emulator + [os.path.join(build, "bin", "lcmemu")],
                          stdout=subprocess.PIPE, text=True)
pty = lcmemu.stdout.readline().strip()

# (arguments, expected exit status)
CASES = [
    ("lbp list", 0), ("lbp info 0", 0), ("lbp info 2", 1), ("lbp info 9", 2),
    ("lbp status 1", 0), ("lbp bypass 0 1 on", 0), ("lbp bypass 0 5 on", 2),
    ("lbp pairs 0 runtime 0x03", 0), ("lbp pairs 1 just-on 0x10", 2),
    ("lbp disconnect 0 1 on", 0), ("lbp disconnect 1 1 on", 1), ("lbp disconnect-all 0 0", 0),
    ("lbp save 0", 0), ("lbp factory-reset 0", 0),
    ("lbp timer config 0 1 30 bypass 0x03", 0), ("lbp timer config 0 1 300 bypass 1", 2),
    ("lbp timer tick 0 1", 1), ("lbp timer start 0 1", 0), ("lbp timer tick 0 1", 0),
    ("lbp timer status 0 1", 0), ("lbp timer stop 0 1", 0), ("lbp timer status 1 3", 2),
    ("lbp nonsense", 2),
    ("psu list", 0), ("psu info 1", 0), ("psu info 2", 0), ("psu info 3", 2),
    ("psu status 1", 0), ("psu sensors 2", 0), ("psu watts 1 in", 0), ("psu watts 2 out", 0),
    ("hwm table", 0), ("hwm temp cpu 1", 0), ("hwm temp sys 2", 0), ("hwm vcore 1", 0),
    ("hwm rail 12v", 0), ("hwm rail vbat", 0), ("hwm fan cpu 1", 0), ("hwm fan fan 2 2", 0),
    ("hwm fan sys 3", 2), ("hwm psu 2", 0), ("hwm caseopen", 0), ("hwm caseopen-clear", 0),
    ("hwm report 0", 0), ("hwm report 12", 1), ("hwm report 62", 2),
    (f"lcm --port {pty} info", 0), (f"lcm --port {pty} write hello world", 0),
    (f"lcm --port {pty} write-at 5 2 there", 0), (f"lcm --port {pty} clear", 0),
    (f"lcm --port {pty} light on", 0), (f"lcm --port {pty} wrap off", 0),
    (f"lcm --port {pty} brightness 4", 0), (f"lcm --port {pty} cursor 1", 0),
    (f"lcm --port {pty} startup zrq4470", 0), (f"lcm --port {pty} keys", 0),
    (f"lcm --port {pty} brightness 9", 2), ("lcm --port /nonexistent/tty info", 1),
    ("--plugins /nonexistent lbp list", 3),
]

failures = 0
try:
    for args, status in CASES:
        for placed in ("first", "last"):
            argv = ["--json"] + args.split() if placed == "first" else args.split() + ["--json"]
            r = subprocess.run(zrqctl + argv, env=env, capture_output=True, text=True, timeout=120)
            where = f"zrqctl {' '.join(argv)}"
            try:
                doc = json.loads(r.stdout)
            except json.JSONDecodeError as e:
                print(f"FAIL {where}: not one JSON object ({e}): {r.stdout!r} {r.stderr!r}")
                failures += 1
                continue
            errors = sorted(validator.iter_errors(doc), key=lambda e: list(e.path))
            if r.returncode != status or errors or doc.get("ok") != (status == 0):
                print(f"FAIL {where}: exit {r.returncode} (want {status}), ok={doc.get('ok')}")
                for e in errors:
                    print(f"     {list(e.path)}: {e.message}")
                failures += 1
            elif placed == "first":
                print(f"ok   {where}")
    # With no bus at all, a listing that read nothing is a failure, in the same shape.
    nobus = dict(env, PVQSMB_ADAPTER="/nonexistent/i2c-7")
    nobus.pop("PVQSMB_PLATFORM")
    r = subprocess.run(zrqctl + ["psu", "list", "--json"], env=nobus, capture_output=True,
                       text=True, timeout=120)
    doc = json.loads(r.stdout)
    if r.returncode != 1 or list(validator.iter_errors(doc)) or doc["error"] != "nothing read":
        print(f"FAIL psu list with no bus: exit {r.returncode}: {r.stdout}")
        failures += 1
finally:
    lcmemu.terminate()
    lcmemu.wait()
    shutil.rmtree(work)

print(f"{len(CASES) * 2 + 1 - failures} outputs valid, {failures} not")
sys.exit(1 if failures else 0)
