"""Runs the cross-built pendrel.exe under Wine in a private, throw-away prefix.

    import winelib
    exe = winelib.require_wine()            # exits 77 (skipped) without wine or pendrel.exe
    with winelib.Prefix() as wine:          # a fresh prefix, booted once
        wine.map_port("COM5", "/tmp/x/tty") # HKLM\\Software\\Wine\\Ports, then a server restart
        rc, out, err = wine.run([image, "-pCOM5"], timeout=60)

A 32-bit pendrel.exe runs through scripts/wine32 (32-bit Wine, natively or in
the cached i386 root, see the script), a 64-bit one through scripts/wine-run
(wine64); WINE and WINESERVER are the commands of the one in use.

A prefix given a network namespace (netns=NAME) starts its wineserver inside
that namespace before anything else runs, checks that it really lives there,
and runs every Wine program there too: Winsock's sockets are made by the
wineserver, so this is what keeps a broadcast inside the test's network.

The program runs in a session of its own with standard input from /dev/null,
so it has no console and its exit prompt returns at once. Its output goes to
files, not pipes: Wine's service processes inherit the descriptors of the
first program of a session and would hold a pipe open long after it ended.
Every wait is bounded; close() ends the prefix's wineserver and removes it.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bed import Bed  # noqa: E402
from pendrel_run import marker_leads  # noqa: E402

SKIP = 77
SOURCE = os.environ.get("PENDREL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
PENDREL_EXE = os.environ.get("PENDREL_EXE", os.path.join(SOURCE, "build", "windows", "pendrel.exe"))
WINE32 = os.path.join(SOURCE, "scripts", "wine32")
WINE64 = os.path.join(SOURCE, "scripts", "wine-run")
# The Wine in use and its server, set by require_wine().
WINE = WINE32
WINESERVER = [WINE32, "--server"]
WINEARCH = "win32"


def _is_64_bit(exe):
    """True for a PE32+ x86-64 image, False for a 32-bit one."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], "little")
    return head[pe + 4:pe + 6] == b"\x64\x86"


def _wine32(option):
    return subprocess.run([WINE32, option], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=30, text=True)


def _hold_emulation():
    """Where QEMU runs the i386 root's programs, this process runs again under
    `scripts/wine32 --hold`, which keeps the emulator registered until the
    scenario ends (and drops it then, also on failure)."""
    if os.environ.get("PENDREL_WINE32_HOLDER") or _wine32("--mode").stdout.strip() != "qemu":
        return
    sys.stdout.flush()
    os.execv(WINE32, [WINE32, "--hold", sys.executable] + sys.argv)


def require_wine():
    """The pendrel.exe path; exits 77, saying why, when it or Wine is missing.

    The 32-bit exe runs under 32-bit Wine (scripts/wine32). Only where that
    cannot run (its i386 root not made: `scripts/wine32 --setup`) the 64-bit
    build of the same sources (build/windows64) stands in, under wine64, and
    says so."""
    global PENDREL_EXE, WINE, WINESERVER, WINEARCH
    for tool in ("wine", "wineserver", "setsid"):
        if shutil.which(tool) is None:
            print("skipped: %s is not installed" % tool)
            sys.exit(SKIP)
    if not os.path.isfile(PENDREL_EXE):
        print("skipped: no Windows build at %s (PENDREL_EXE); build it with "
              "`cmake --preset windows && cmake --build --preset windows`" % PENDREL_EXE)
        sys.exit(SKIP)
    if not _is_64_bit(PENDREL_EXE) and _wine32("--ready").returncode != 0:
        exe64 = os.path.join(SOURCE, "build", "windows64", "pendrel.exe")
        if not os.path.isfile(exe64):
            print("skipped: 32-bit Wine cannot run here yet (`scripts/wine32 --setup` makes it), "
                  "and there is no 64-bit build at %s (`cmake --preset windows64 && "
                  "cmake --build --preset windows64`)" % exe64)
            sys.exit(SKIP)
        print("32-bit Wine cannot run here (`scripts/wine32 --setup` makes it): "
              "testing the 64-bit build " + exe64 + " instead of " + PENDREL_EXE)
        PENDREL_EXE = exe64
    if _is_64_bit(PENDREL_EXE):
        WINE, WINESERVER, WINEARCH = WINE64, ["wineserver"], "win64"
    else:
        _hold_emulation()
        WINE, WINESERVER, WINEARCH = WINE32, [WINE32, "--server"], "win32"
        print("32-bit Wine (%s) runs %s" % (_wine32("--mode").stdout.strip(), PENDREL_EXE))
    return PENDREL_EXE


def crlf(text):
    """What a text-mode stdout of the Windows C runtime writes for `text`."""
    return text.replace(b"\n", b"\r\n")


class Prefix(Bed):
    def __init__(self, netns=None, boot_timeout=120, dll_overrides=""):
        self.netns = netns
        self.dir = tempfile.mkdtemp(prefix="pendrel-wine-")
        self.path = os.path.join(self.dir, "prefix")
        os.mkdir(self.path)
        self.env = dict(os.environ)
        self.env.pop("DISPLAY", None)           # no desktop window, ever
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.update(WINEPREFIX=self.path, PENDREL_WINEPREFIX=self.path, WINEARCH=WINEARCH,
                        WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=" + (";" + dll_overrides if dll_overrides else ""))
        self.server = None
        self.boot_timeout = boot_timeout

    def _open(self):
        if self.netns:
            self.kill_server()     # no server of this prefix may run anywhere else
            self._start_server_in_namespace()
        self._quiet([WINE, "wineboot", "-i"], self.boot_timeout)
        if self.netns and not self.server_in_namespace():
            raise RuntimeError("the prefix's wineserver is not the one in " + self.netns)

    def _cmd(self, cmd):
        return (["ip", "netns", "exec", self.netns] if self.netns else []) + list(cmd)

    def _quiet(self, cmd, timeout=60):
        subprocess.run(self._cmd(cmd), env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout,
                       check=True)

    def _server_ready(self):
        # Ready once it holds its lock file: only one server per prefix can.
        try:
            fds = os.listdir("/proc/%d/fd" % self.server.pid)
            targets = [os.readlink("/proc/%d/fd/%s" % (self.server.pid, fd)) for fd in fds]
        except OSError:
            return False
        return any(t.endswith("/lock") and "/server-" in t for t in targets)

    def _start_server_in_namespace(self):
        # A persistent server in the foreground: its pid is ours to check and to end.
        self.server = subprocess.Popen(self._cmd(WINESERVER + ["-f", "-p"]), env=self.env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while not self._server_ready():
            if self.server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the wineserver did not start in namespace " + self.netns)
            time.sleep(0.05)
        mine = os.stat("/proc/%d/ns/net" % self.server.pid).st_ino
        wanted = os.stat("/run/netns/" + self.netns).st_ino
        if mine != wanted:
            raise RuntimeError("the wineserver is not in namespace " + self.netns)

    def server_in_namespace(self):
        """True while the prefix's own server is alive inside its namespace."""
        if self.server is None or self.server.poll() is not None:
            return False
        mine = os.stat("/proc/%d/ns/net" % self.server.pid).st_ino
        return mine == os.stat("/run/netns/" + self.netns).st_ino

    def map_port(self, name, unix_path):
        """COMn -> a Unix device path; the mapping is read when the server starts."""
        self._quiet([WINE, "reg", "add", r"HKLM\Software\Wine\Ports", "/v", name, "/t",
                     "REG_SZ", "/d", unix_path, "/f"])
        self.kill_server()

    def allow_windows(self):
        """Windows without a display (Wine's null graphics driver), as a
        program has them in a real session: without it Wine refuses to make
        any window. Read when the server starts."""
        self._quiet([WINE, "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/t", "REG_SZ",
                     "/d", "null", "/f"])
        self.kill_server()

    def start_server(self):
        """Starts the prefix's server on its own, persistent until close().
        Otherwise the next program run starts it, and it keeps that run's
        output files as its own stdout and stderr: the dump of leftover
        objects it writes when it ends would then show in a run's stderr.
        A server still running (wineboot's) is ended first: there can be one
        only."""
        self.kill_server()
        self._quiet(WINESERVER + ["-p"])

    def kill_server(self, timeout=30):
        subprocess.run(self._cmd(WINESERVER + ["-k"]), env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)
        subprocess.run(self._cmd(WINESERVER + ["-w"]), env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)

    def run(self, args, timeout=60, exe=None):
        """pendrel.exe ARGS without a console: (exit code, stdout bytes, stderr bytes).
        A run that outlasts `timeout` is killed and raises subprocess.TimeoutExpired."""
        cmd = self._cmd([WINE, exe or PENDREL_EXE] + list(args))
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(cmd, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, start_new_session=True)
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait(timeout=10)
                self.kill_server()
                raise
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read()

    def run_watched(self, args, markers, timeout=60):
        """pendrel.exe ARGS, its output watched while it runs: (seconds before
        the end at which each marker was first there, stdout bytes, exit code)."""
        cmd = self._cmd([WINE, PENDREL_EXE] + list(args))
        with tempfile.TemporaryDirectory() as d:
            out_path = os.path.join(d, "stdout")
            with open(out_path, "wb") as out:
                proc = subprocess.Popen(cmd, env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
            try:
                return marker_leads(proc, out_path, markers, timeout)
            except subprocess.TimeoutExpired:
                self.kill_server()
                raise

    def close(self):
        try:
            self.kill_server()
        except (subprocess.TimeoutExpired, OSError):
            pass
        if self.server is not None:
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait(timeout=10)
            self.server = None
        shutil.rmtree(self.dir, ignore_errors=True)
