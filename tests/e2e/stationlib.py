"""Helpers for the pendrel-station scenarios: images, a rack of talo-sim
units with their flash written out, running the station, the JSON schema.

    with Rack(dir, 4, model="TXC7390", faults={2: "write:3:nak"}) as rack:
        rc, out, err = run_station(["program", image] + rack.ports)
    rack.flash(0) == image bytes
"""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from pendrel_run import VERSION  # noqa: E402
from simlib import Sim  # noqa: E402

SKIP = 77
SOURCE = os.environ.get("PENDREL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
STATION = os.environ.get("PENDREL_STATION", os.path.join(SOURCE, "build", "linux", "pendrel-station"))
MKIMAGE = os.path.join(SOURCE, "scripts", "mkimage")
SCHEMA = os.path.join(SOURCE, "dist", "pendrel-station-events.schema.json")
RECORD_VERSION = 2
PENDREL_VERSION = VERSION  # what the station and pendrel built with it say they are


def fake_pendrel(path, body):
    """A shell stand-in for pendrel at `path`: run without arguments (the
    station's version check) it prints this version's banner, else `body`."""
    with open(path, "w") as f:
        f.write('#!/bin/sh\nif [ $# -eq 0 ]; then\n'
                '  printf "\\nPendrel V%s - Loads raw flash data files into the Talo device\\n"\n'
                '  exit 1\nfi\n%s' % (PENDREL_VERSION, body))
    os.chmod(path, 0o755)
    return path


def require_station():
    if not os.access(STATION, os.X_OK):
        print("skipped: PENDREL_STATION does not name a built pendrel-station (%r)" % STATION)
        sys.exit(SKIP)
    return STATION


def make_image(directory, model, size, name=None, extra=()):
    """scripts/mkimage's image; extra: more of its options (--seed N, --wrapped)."""
    path = os.path.join(directory, name or "%s-%s.bin" % (model, size))
    subprocess.run([MKIMAGE, "-o", path, "--model", model, "--size", str(size), *extra], check=True,
                   stdout=subprocess.DEVNULL)
    return path


def children_of(pid):
    """The process ids whose parent is `pid`, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        # The command name may hold spaces and parentheses: the fields follow the last ")".
        if int(stat[stat.rindex(")") + 2:].split()[1]) == pid:
            found.append(int(entry))
    return found


def running(pid):
    """True while the process exists and has not ended (a zombie has)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rindex(")") + 2] != "Z"


def wait_until(predicate, timeout, what):
    """Polls predicate() until it holds; raises AssertionError after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("not within %.0f s: %s" % (timeout, what))
        time.sleep(0.05)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Rack:
    """n simulators on pseudo-terminals (links in `directory`, or at the paths
    `links` names), each writing its flash out when it ends after the
    controller's reboot. faults: index -> --fault."""

    def __init__(self, directory, n, model="TXC7390", faults=None, extra=(), links=None):
        self.dir = directory
        self.sims = []
        self.flash_paths = []
        try:
            for i in range(n):
                flash = os.path.join(directory, "flash%d.bin" % i)
                args = ["--model", model, "--quiet", "--exit-after-reboot", "--flash-out", flash,
                        *extra]
                if faults and i in faults:
                    args += ["--fault", faults[i]]
                link = links[i] if links else os.path.join(directory, "tty%d" % i)
                self.sims.append(Sim("serial", args, link=link))
                self.flash_paths.append(flash)
        except BaseException:
            self.stop()
            raise
        self.ports = [s.port for s in self.sims]

    def flash(self, i):
        """The unit's flash once its simulator has ended, or None."""
        self.sims[i].wait(timeout=10)
        self.sims[i].stop()
        return read(self.flash_paths[i]) if os.path.exists(self.flash_paths[i]) else None

    def stop(self):
        for s in self.sims:
            s.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False


def run_station(args, timeout=180, env=None):
    """(exit code, stdout text, stderr text); standard input from /dev/null, no terminal."""
    proc = subprocess.run([STATION] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, env=env)
    return proc.returncode, proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace")


def validator(definition):
    """A function that raises jsonschema.ValidationError unless its argument
    matches dist/pendrel-station-events.schema.json's `definition` (event,
    log, or one of a version: event_v1, log_v2 ...; "" for the whole schema)."""
    try:
        import jsonschema
    except ImportError:
        # Debian's python3-jsonschema, when another Python runs the tests.
        sys.path.append("/usr/lib/python3/dist-packages")
        import jsonschema
    with open(SCHEMA) as f:
        schema = json.load(f)
    sub = dict(schema)
    if definition:  # else the whole schema: any event or log record
        sub.pop("oneOf")
        sub["$ref"] = "#/definitions/" + definition
    check = jsonschema.Draft7Validator(sub)
    return check.validate


def json_lines(text, definition):
    """Every line of `text` parsed and validated as what the station writes
    now (version 2 of `definition`, event or log); raises on the first bad one."""
    validate = validator(definition + "_v%d" % RECORD_VERSION)
    objects = []
    for line in text.splitlines():
        obj = json.loads(line)
        validate(obj)
        objects.append(obj)
    return objects
