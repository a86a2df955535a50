"""The program a scenario runs: the native pendrel, or pendrel.exe under Wine.

One scenario class runs with either; what differs between them lives here:

    program = programs.Native()
    program = programs.Windows(ports=4)      # a fresh prefix, COM5.. mapped
    sim = Sim("serial", args, link=program.link(0))
    rc, out, err = program.run([image, program.port(sim, 0)], timeout=60)
    out.endswith(program.text(b" - Ok\\n" + PROMPT))
    program.close()

- link(i)/port(sim, i): the native program opens the simulator's own
  pseudo-terminal by its path; the Windows one opens COM5+i, which Wine maps
  to a fixed link that the simulator makes to its pseudo-terminal.
- text(b): what the program writes for the lines b. The Windows runtime's
  text-mode stdout writes every "\\n" as "\\r\\n"; expectations are turned
  into those bytes, never the output into Linux's, so the line ends are
  checked too.
- run(), watch(): without a console or terminal, so the exit prompt returns
  at once; watch() reports how early each marker reached the output file.
- network(n): a private network (netns.Lab) with n controller namespaces and
  a function that runs the program in its host namespace. Under Wine that
  takes a prefix of its own whose wineserver lives in that namespace, since
  the wineserver makes Winsock's sockets; a run goes ahead only while the
  server is seen to live there. The Windows runner keeps that network and
  prefix for all its scenarios.
"""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import pendrel_run  # noqa: E402
import winelib  # noqa: E402


class Native:
    name = "native"

    def link(self, index=0):
        return None

    def port(self, sim, index=0):
        return "-p" + sim.port

    def text(self, lines):
        return lines

    def run(self, args, timeout=60):
        return pendrel_run.run_pendrel(args, timeout=timeout)

    def watch(self, args, markers, timeout=60):
        """(seconds before the end at which each marker was first there, stdout, exit code)."""
        with tempfile.TemporaryDirectory() as d:
            out_path = os.path.join(d, "stdout")
            with open(out_path, "wb") as out:
                proc = subprocess.Popen([pendrel_run.PENDREL] + list(args), stdout=out,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
            return pendrel_run.marker_leads(proc, out_path, markers, timeout)

    @contextlib.contextmanager
    def network(self, controllers=1):
        with netns.Lab(controllers=controllers) as lab:
            yield lab, lab.run_pendrel

    def close(self):
        pass


def windows_args(args):
    """A bytes argument holds what the Windows program must find in its ANSI
    code page (Windows-1252 in our prefixes); Wine reads the Unix command
    line as UTF-8, so it goes there as the UTF-8 of those characters."""
    return [a.decode("cp1252").encode("utf-8") if isinstance(a, bytes) else a for a in args]


class Windows:
    """pendrel.exe (or another exe of the Windows build) in a private prefix
    with COM5, COM6, ... mapped to links in a directory of its own; with
    ports=None no prefix of its own (network() makes one per network). Call
    winelib.require_wine() first."""
    name = "windows"
    FIRST_COM = 5

    def __init__(self, ports=None):
        self.dir = tempfile.mkdtemp(prefix="pendrel-wine-ports-")
        self.ports = ["COM%d" % (self.FIRST_COM + i) for i in range(ports or 0)]
        self.prefix = self.net_prefix = self.lab = None
        if ports is None:
            return
        self.prefix = winelib.Prefix().__enter__()
        try:
            for i, name in enumerate(self.ports):
                self.prefix.map_port(name, self.link(i))
            self.prefix.start_server()
        except BaseException:
            self.close()
            raise

    def link(self, index=0):
        return os.path.join(self.dir, "tty%d" % index)

    def port(self, sim, index=0):
        return "-p" + self.ports[index]

    def text(self, lines):
        if isinstance(lines, str):
            return lines.replace("\n", "\r\n")
        return winelib.crlf(lines)

    def run(self, args, timeout=60, exe=None):
        return self.prefix.run(windows_args(args), timeout=timeout, exe=exe)

    def watch(self, args, markers, timeout=60):
        return self.prefix.run_watched(args, markers, timeout=timeout)

    def exe(self, name):
        """Another program of the Windows build, beside pendrel.exe."""
        return os.path.join(os.path.dirname(winelib.PENDREL_EXE), name)

    # Booting a prefix inside a namespace takes some 25 s, so one network
    # with this many controller namespaces, and its prefix, serve every
    # scenario; each one's simulators are stopped when it ends.
    NETWORK_CONTROLLERS = 2

    @contextlib.contextmanager
    def network(self, controllers=1):
        if controllers > self.NETWORK_CONTROLLERS:
            raise ValueError("the Wine network has %d controllers" % self.NETWORK_CONTROLLERS)
        if self.lab is None:
            self.lab = netns.Lab(controllers=self.NETWORK_CONTROLLERS).__enter__()
            self.net_prefix = winelib.Prefix(netns=self.lab.host).__enter__()
        lab, wine = self.lab, self.net_prefix

        def run(args, timeout=120):
            if not wine.server_in_namespace():
                raise RuntimeError("the wineserver left the test's namespace; not running -eth")
            return wine.run(windows_args(args), timeout=timeout)
        try:
            yield lab, run
        finally:
            for proc in lab.sims:
                if proc.poll() is None:
                    lab.stop_sim(proc)
            lab.sims.clear()

    def close(self):
        for part in (self.prefix, self.net_prefix, self.lab):
            if part is not None:
                part.close()
        shutil.rmtree(self.dir, ignore_errors=True)
