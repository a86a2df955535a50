"""Start, talk to and stop talo-sim from an end-to-end test.

    import simlib
    with simlib.Sim("serial", ["--model", "TXC7390"], log=True) as sim:
        port = sim.port                 # /dev/pts/N, or the --link path when link= was given
        ...                             # run the programmer against it
        code = sim.stop()               # SIGTERM, bounded wait; the exit code
    sim.events()                        # the --log lines as dicts
    sim.output()                        # everything talo-sim printed

Every wait is bounded. The simulator's stdout goes to a file, never a pipe,
so a chatty simulator cannot block on a full pipe. simlib.require_sim()
exits with 77 (skipped) when TALO_SIM does not name a built talo-sim.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

PORT_PREFIX = "talo-sim: serial port "
SKIP = 77


def require_sim():
    """The talo-sim path from $TALO_SIM; exits 77 (skip) when it is missing."""
    path = os.environ.get("TALO_SIM", "")
    if not path or not os.access(path, os.X_OK):
        print("skipped: TALO_SIM does not name an executable talo-sim (%r)" % path)
        sys.exit(SKIP)
    return path


def parse_port_line(text):
    """The slave path from talo-sim's port line, or None."""
    for line in text.splitlines():
        if line.startswith(PORT_PREFIX):
            return line[len(PORT_PREFIX):].strip()
    return None


class Sim:
    """One talo-sim process. frontend: "serial" (or "ethernet"); args: its options.
    log=True adds --log in a temporary directory; link=PATH adds --link PATH."""

    def __init__(self, frontend="serial", args=(), log=False, link=None, start_timeout=10.0):
        self.workdir = tempfile.mkdtemp(prefix="talo-sim-")
        self.out_path = os.path.join(self.workdir, "stdout.txt")
        self.log_path = os.path.join(self.workdir, "log.jsonl") if log else None
        command = [require_sim(), frontend] + list(args)
        if self.log_path:
            command += ["--log", self.log_path]
        if link:
            command += ["--link", link]
        self._out = open(self.out_path, "w")
        self.process = subprocess.Popen(command, stdout=self._out, stderr=subprocess.STDOUT,
                                        stdin=subprocess.DEVNULL)
        self.returncode = None
        self.port = None
        deadline = time.monotonic() + start_timeout
        while time.monotonic() < deadline:
            found = parse_port_line(self.output())
            if found:
                self.port = link or found
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise RuntimeError("talo-sim did not print its port line:\n" + self.output())

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def wait(self, timeout=10.0):
        """Waits for the simulator to end by itself; its exit code, or None on time-out."""
        try:
            self.returncode = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        return self.returncode

    def stop(self, timeout=5.0):
        """SIGTERM, then SIGKILL after timeout; the exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=timeout)
        self.returncode = self.process.returncode
        self._out.close()
        return self.returncode

    def events(self, kind=None):
        """The --log lines as dicts, optionally only those whose "event" is kind."""
        if not self.log_path or not os.path.exists(self.log_path):
            return []
        with open(self.log_path) as f:
            lines = [json.loads(line) for line in f if line.strip()]
        return [e for e in lines if kind is None or e.get("event") == kind]

    def summary(self):
        """The summary line's numbers: dict(frames, bytes, faults), or None."""
        for line in self.output().splitlines():
            if line.startswith("talo-sim: summary: "):
                words = line.split()
                return {"frames": int(words[2]), "bytes": int(words[4]), "faults": int(words[7])}
        return None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False
