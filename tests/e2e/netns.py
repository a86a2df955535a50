"""Private networks for the Ethernet scenarios.

Discovery broadcasts to 255.255.255.255, so no Ethernet scenario may run in
the machine's own network namespace. A Lab makes namespaces of its own: one
for the programmer ("host"), one per simulated controller, and one holding a
bridge that joins them by veth pairs, all addressed from 192.0.2.0/24
(TEST-NET-1). The host gets a default route via its veth so that the limited
broadcast has a route. Everything is removed afterwards, also when a test
fails; namespaces that an earlier, killed run left behind (their owner's pid
is gone) are removed first.

Needs root and the `ip` tool; without them skip_unless_possible() exits 77.
"""
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bed import Bed  # noqa: E402

PREFIX = "pdeth"
SKIP = 77
HOST_ADDRESS = "192.0.2.100"
TALO_SIM = os.environ.get("TALO_SIM", "build/linux/talo-sim")
PENDREL = os.environ.get("PENDREL", "build/linux/pendrel")
NAME_RE = re.compile(r"^%s(\d+)x\d+-" % PREFIX)


def _ip(*args, check=True):
    return subprocess.run(["ip"] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, check=check, timeout=30)


def _namespaces():
    out = _ip("netns", "list", check=False).stdout
    return [line.split()[0] for line in out.splitlines() if line.strip()]


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _remove_namespace(name):
    # Processes left inside would keep the namespace's network alive.
    pids = _ip("netns", "pids", name, check=False).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    _ip("netns", "del", name, check=False)


def remove_leftovers():
    """Removes namespaces of earlier runs whose process has gone."""
    for name in _namespaces():
        m = NAME_RE.match(name)
        if m and not _pid_alive(int(m.group(1))):
            _remove_namespace(name)


def skip_unless_possible():
    """Exits 77 (skipped), saying why, when namespaces cannot be made here."""
    if os.geteuid() != 0:
        print("skipped: network namespaces need root (the Ethernet scenarios never run in the "
              "machine's own network)")
        sys.exit(SKIP)
    if shutil.which("ip") is None:
        print("skipped: the ip tool (iproute2) is not installed")
        sys.exit(SKIP)
    if shutil.which("setsid") is None:
        print("skipped: setsid is not installed")
        sys.exit(SKIP)
    probe = "%s%dx0-probe" % (PREFIX, os.getpid())
    result = _ip("netns", "add", probe, check=False)
    if result.returncode != 0:
        print("skipped: cannot create a network namespace: " + result.stderr.strip())
        sys.exit(SKIP)
    _ip("netns", "del", probe, check=False)


_lab_serial = 0


class Lab(Bed):
    """`with Lab(controllers=2) as lab:` — lab.controllers[i] is the
    namespace of controller i (address 192.0.2.(i+1)), lab.host the
    programmer's (192.0.2.100)."""

    def __init__(self, controllers=1):
        global _lab_serial
        _lab_serial += 1
        self.tag = "%s%dx%d" % (PREFIX, os.getpid(), _lab_serial)
        self.count = controllers
        self.host = self.tag + "-h"
        self.bridge = self.tag + "-b"
        self.controllers = ["%s-c%d" % (self.tag, i) for i in range(controllers)]
        self.made = []
        self.sims = []

    @staticmethod
    def address(index):
        return "192.0.2.%d" % (index + 1)

    def _open(self):
        remove_leftovers()
        self._build()

    def _add_namespace(self, name):
        _ip("netns", "add", name)
        self.made.append(name)
        self.run_in(name, ["ip", "link", "set", "lo", "up"])

    def _build(self):
        self._add_namespace(self.bridge)
        self.run_in(self.bridge, ["ip", "link", "add", "br0", "type", "bridge"])
        self.run_in(self.bridge, ["ip", "link", "set", "br0", "up"])
        members = [(self.host, HOST_ADDRESS)] + [
            (ns, self.address(i)) for i, ns in enumerate(self.controllers)]
        for index, (ns, address) in enumerate(members):
            self._add_namespace(ns)
            port = "p%d" % index
            # Both ends are made straight inside their namespaces: nothing of
            # ours ever appears in the machine's own network.
            _ip("link", "add", "eth0", "netns", ns, "type", "veth", "peer", "name", port,
                "netns", self.bridge)
            self.run_in(self.bridge, ["ip", "link", "set", port, "master", "br0"])
            self.run_in(self.bridge, ["ip", "link", "set", port, "up"])
            self.run_in(ns, ["ip", "addr", "add", address + "/24", "dev", "eth0"])
            self.run_in(ns, ["ip", "link", "set", "eth0", "up"])
        via = self.address(0) if self.count else "192.0.2.1"
        self.run_in(self.host, ["ip", "route", "add", "default", "via", via, "dev", "eth0"])

    def run_in(self, ns, cmd, timeout=30):
        return subprocess.run(["ip", "netns", "exec", ns] + list(cmd), stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
                              timeout=timeout)

    def start_sim(self, index=0, args=(), ready_timeout=10):
        """Starts `talo-sim ethernet ARGS` in controller `index`'s namespace
        and waits for its ready line; returns the Popen."""
        cmd = ["ip", "netns", "exec", self.controllers[index], TALO_SIM, "ethernet"] + list(args)
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
        self.sims.append(proc)
        deadline = time.monotonic() + ready_timeout
        seen = b""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([proc.stdout], [], [], 0.2)
            if ready:
                line = proc.stdout.readline()
                if not line:
                    break
                seen += line
                if line.startswith(b"talo-sim: ethernet "):
                    return proc
        proc.kill()
        raise RuntimeError("talo-sim did not start: " + seen.decode(errors="replace"))

    def stop_sim(self, proc, timeout=10):
        """Stops a simulator with SIGTERM; returns (exit code, rest of output)."""
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
        return proc.returncode, out or b""

    def run_pendrel(self, args, timeout=120, env=None):
        """Runs pendrel in the host namespace without a controlling terminal
        (its exit prompt then returns at once), with the variables of `env`
        (a dict) added to its environment; (exit code, stdout, stderr).
        A run that outlasts `timeout` raises subprocess.TimeoutExpired."""
        settings = ["%s=%s" % item for item in (env or {}).items()]
        cmd = (["ip", "netns", "exec", self.host, "env"] + settings + ["setsid", "-w", PENDREL]
               + list(args))
        proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        return proc.returncode, proc.stdout, proc.stderr

    def close(self):
        for proc in self.sims:
            if proc.poll() is None:
                proc.kill()
            try:
                proc.communicate(timeout=5)
            except (subprocess.TimeoutExpired, ValueError):
                pass
        for ns in reversed(self.made):
            _remove_namespace(ns)
        self.made = []


class Checks:
    """Collects failed expectations so one script can report all its cases."""

    def __init__(self):
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
            print("FAIL: " + what)
        return condition

    def finish(self):
        if self.failures:
            print("%d check(s) failed" % len(self.failures))
            sys.exit(1)
        print("all checks passed")
        sys.exit(0)
