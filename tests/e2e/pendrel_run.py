"""Runs the built pendrel as a user would, without a controlling terminal.

The program ends every run with an exit prompt that waits for a key on the
terminal; under setsid it has none, so the prompt returns at once.
"""
import os
import re
import signal
import subprocess
import time

PENDREL = os.environ.get("PENDREL", "build/linux/pendrel")
PROMPT = b"\nPress any key to exit program"


def project_version():
    """The version of project() in CMakeLists.txt: CTest hands it over; a
    test run by hand reads it there."""
    if os.environ.get("PENDREL_VERSION"):
        return os.environ["PENDREL_VERSION"]
    here = os.path.dirname(os.path.abspath(__file__))
    source = os.environ.get("PENDREL_SOURCE", os.path.join(here, "..", ".."))
    with open(os.path.join(source, "CMakeLists.txt")) as f:
        return re.search(r"project\(pendrel VERSION ([0-9.]+)", f.read()).group(1)


VERSION = project_version()
BANNER_LINE = b"\nPendrel V" + VERSION.encode() + b" - Loads raw flash data files into the Talo device\n"


def run_pendrel(args, timeout=60, wrapper=(), env=None):
    """Returns (exit code, stdout bytes, stderr bytes); fails on a hang."""
    cmd = list(wrapper) + ["setsid", "-w", PENDREL] + list(args)
    proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, env=env)
    return proc.returncode, proc.stdout, proc.stderr


def marker_leads(proc, out_path, markers, timeout):
    """Watches a running program's output file: for each marker that showed,
    how many seconds before the program's end it was first there. Returns
    (leads, output bytes, exit code); kills the program and raises
    subprocess.TimeoutExpired after `timeout` seconds."""
    seen = {}
    deadline = time.monotonic() + timeout
    while True:
        ended = proc.poll() is not None
        with open(out_path, "rb") as f:
            out = f.read()
        now = time.monotonic()
        for marker in markers:
            if marker not in seen and marker in out:
                seen[marker] = now
        if ended:
            return {m: now - t for m, t in seen.items()}, out, proc.returncode
        if now > deadline:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait(timeout=10)
            raise subprocess.TimeoutExpired(proc.args, timeout)
        time.sleep(0.02)
