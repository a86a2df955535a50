"""pendrel-station.exe with pendrel.exe under Wine: the station scenarios of
test_station.py (four talo-sim units programmed together, one of them with an
injected fault, the plain lines, the JSON lines and the log against their
schema, bad input) on pseudo-terminals mapped as COM5 to COM8, the COM ports
in `list`, and what only Windows has: --all-serial takes only COM ports on
USB, texts in the ANSI code page become UTF-8 in the records, the
children end with the station however it ends, and `report` over the log
it wrote.

The shipped 32-bit programs run under scripts/wine32, except for the one
case that needs a localized system text: scripts/wine32 gives its i386 root
a clean environment (LANG=C.UTF-8), so Wine speaks English there, whose
texts are ASCII; that case runs the 64-bit build under wine64
(scripts/wine-run) with LC_ALL=pt_BR.UTF-8."""
import glob
import json
import os
import pty
import signal
import subprocess
import shutil
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import programs  # noqa: E402
import test_station as native  # noqa: E402
import winelib  # noqa: E402
from simlib import Sim, require_sim  # noqa: E402
from stationlib import Rack, make_image, read, run_station, running, validator, wait_until  # noqa: E402


def wine_processes(prefix, name):
    """Linux pids of the Windows programs called `name` running in the Wine
    prefix at `prefix` (Wine puts the program's path first on its command line;
    under QEMU the emulator's and Wine's loader's paths come before it)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                words = [w.decode(errors="replace") for w in f.read().split(b"\0")]
            if os.path.basename(words[0]).startswith("qemu-") and len(words) > 2:
                words = words[2:]
            program = words[0]
            with open("/proc/%s/environ" % entry, "rb") as f:
                env = f.read().split(b"\0")
        except OSError:
            continue
        if program.replace("\\", "/").split("/")[-1].lower() == name and \
                ("WINEPREFIX=" + prefix).encode() in env and running(int(entry)):
            found.append(int(entry))
    return found


def drain(fd):
    try:
        while os.read(fd, 4096):
            pass
    except OSError:
        pass


def utf8_json_lines(data, definition):
    """Each line of `data` (bytes) strictly UTF-8, parsed and validated as a version 2 record."""
    check = validator(definition + "_v2")
    records = []
    for line in data.decode("utf-8").splitlines():
        records.append(json.loads(line))
        check(records[-1])
    return records


class WineStation(native.StationScenarios, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_sim()
        pendrel_exe = winelib.require_wine()
        cls.exe = os.path.join(os.path.dirname(pendrel_exe), "pendrel-station.exe")
        if not os.path.isfile(cls.exe):
            print("skipped: no %s beside %s" % (os.path.basename(cls.exe), pendrel_exe))
            sys.exit(winelib.SKIP)
        cls.runner = programs.Windows(ports=4)
        # The station hears a log-off through a hidden window of its own.
        cls.runner.prefix.allow_windows()

    @classmethod
    def tearDownClass(cls):
        cls.runner.close()

    def station(self, args, timeout=180, env=None):
        rc, out, err = self.runner.run(args, timeout=timeout, exe=self.exe)
        return rc, out.decode(errors="replace"), err.decode(errors="replace")

    def rack(self, n, **options):
        rack = Rack(self.dir, n, links=[self.runner.link(i) for i in range(n)], **options)
        rack.ports = self.runner.ports[:n]
        return rack

    def bad_input_cases(self):
        image = make_image(self.dir, "TXC5110", 2000)
        return [(["program", os.path.join(self.dir, "none.bin"), "COM5"], "image not found"),
                (["program", image, "COM5", "com5:"], "port named twice: COM5"),
                # Windows compares USB locations without case.
                (["program", image, "usb:Port_#0004.Hub_#0001", "usb:PORT_#0004.HUB_#0001"],
                 "controller named twice"),
                (["program", image, "COM5", "--fast"], "unknown option")]

    def test_all_serial_takes_only_ports_on_usb(self):
        # Wine's mapped ports are no USB devices, as a motherboard's COM1 is not.
        image = make_image(self.dir, "TXC5110", 2000)
        rc, out, err = self.station(["program", image, "--all-serial"], timeout=60)
        self.assertEqual((rc, out), (2, ""), err)
        self.assertEqual(err.strip(), "pendrel-station: --all-serial found no serial port")

    def test_a_path_in_the_ansi_code_page_makes_valid_json(self):
        folder = os.path.join(self.dir, "J\u00fcrgen")
        os.mkdir(folder)
        image = make_image(folder, "TXC7390", 20000, name="app.bin")
        log = os.path.join(folder, "units.jsonl")
        with self.rack(1) as rack:
            rc, out, err = self.runner.run(["program", image, "COM5", "--json", "--log", log], timeout=120,
                                           exe=self.exe)
            self.assertEqual(rack.flash(0), read(image))
        self.assertEqual(rc, 0, out + err)
        end = [e for e in utf8_json_lines(out, "event") if e["event"] == "end"]
        with open(log, "rb") as f:
            records = utf8_json_lines(f.read(), "log")
        self.assertEqual([r["image"] for r in end + records], [image, image])
        # The private copy of the image is gone with the station.
        temp = glob.glob(os.path.join(self.runner.prefix.path, "drive_c", "**", "pst*.tmp"), recursive=True)
        self.assertEqual(temp, [])

    def test_a_localized_system_text_makes_valid_json(self):
        exe64 = os.path.join(native.stationlib.SOURCE, "build", "windows64")
        station64 = os.path.join(exe64, "pendrel-station.exe")
        if not os.path.isfile(os.path.join(exe64, "pendrel.exe")) or not os.path.isfile(station64):
            self.skipTest("no 64-bit build in %s (cmake --preset windows64 && "
                          "cmake --build --preset windows64)" % exe64)
        image = make_image(self.dir, "TXC5110", 2000)
        prefix = tempfile.mkdtemp(prefix="pendrel-wine64-")
        env = dict(os.environ, PENDREL_WINEPREFIX=prefix, LC_ALL="pt_BR.UTF-8", WINEDEBUG="-all")
        env.pop("DISPLAY", None)
        try:
            proc = subprocess.run([winelib.WINE64, station64, "program", image, "COM99", "--json"], env=env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  timeout=180, start_new_session=True)
        finally:
            subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=prefix), timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-w"], env=dict(env, WINEPREFIX=prefix), timeout=30)
            shutil.rmtree(prefix, ignore_errors=True)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        end = [e for e in utf8_json_lines(proc.stdout, "event") if e["event"] == "end"]
        # Windows' own text, in Windows-1252 on the pipe: "Arquivo n\xe3o encontrado."
        self.assertEqual(end[0]["failure"], "Open error: Arquivo n\u00e3o encontrado.")

    def start_station(self, args, terminal=False):
        """pendrel-station.exe ARGS in the prefix, not waited for: (Linux pid of
        the process started, the pseudo-terminal's master or None)."""
        prefix = self.runner.prefix
        command = [winelib.WINE, self.exe] + list(args)
        if not terminal:
            # Its pid is waited for by the caller.
            proc = subprocess.Popen(command, env=prefix.env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    start_new_session=True)
            proc.returncode = 0  # not Popen's to wait for
            return proc.pid, None
        pid, master = pty.fork()
        if pid == 0:
            os.execvpe(command[0], command, prefix.env)
        # A terminal someone reads: the live view must never wait on a full one.
        threading.Thread(target=drain, args=(master,), daemon=True).start()
        return pid, master

    def test_children_end_with_the_station(self):
        # pendrel.exe waits 10 s for a verify answer that never comes; the
        # station goes meanwhile: terminated, its terminal hung up, Ctrl-C, or
        # the session ends (a log-off: its hidden window is told).
        image = make_image(self.dir, "TXC7390", 20000)
        prefix = self.runner.prefix.path
        for how in ("terminated", "hung up", "ctrl-c", "session ended"):
            with self.subTest(how=how):
                log = os.path.join(self.dir, "units-%s.jsonl" % how.replace(" ", "-"))
                with Sim("serial", ["--model", "TXC7390", "--quiet", "--fault", "verify:1:silence"], log=True,
                         link=self.runner.link(0)) as sim:
                    pid, master = self.start_station(["program", image, "COM5", "--log", log],
                                                     terminal=how == "hung up")
                    ender = None
                    try:
                        wait_until(lambda: any(e.get("command") == "verify" for e in sim.events()), 60,
                                   "pendrel.exe waiting for the verify answer")
                        station = wine_processes(prefix, "pendrel-station.exe")
                        children = wine_processes(prefix, "pendrel.exe")
                        self.assertEqual((len(station), len(children)), (1, 1))
                        if how == "terminated":
                            os.kill(station[0], signal.SIGKILL)
                        elif how == "hung up":
                            os.close(master)
                            master = None
                        elif how == "ctrl-c":
                            os.kill(station[0], signal.SIGINT)
                        else:
                            ender = subprocess.Popen([winelib.WINE, "wineboot", "--end-session"],
                                                     env=self.runner.prefix.env, stdin=subprocess.DEVNULL,
                                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        # wineboot itself takes a few seconds to start.
                        wait_until(lambda: not running(children[0]), 2 if ender is None else 8, "pendrel.exe ended")
                        wait_until(lambda: not running(station[0]), 10, "the station ended")
                    finally:
                        # Nothing of this case may reach the next one.
                        for name in ("pendrel-station.exe", "pendrel.exe"):
                            for p in wine_processes(prefix, name):
                                os.kill(p, signal.SIGKILL)
                        if master is not None:
                            os.close(master)
                        os.waitpid(pid, 0)
                        if ender is not None:
                            ender.wait(timeout=60)
                if how in ("ctrl-c", "session ended"):
                    with open(log) as f:
                        records = native.json_lines(f.read(), "log")
                    self.assertEqual([(r["port"], r["failure"]) for r in records], [("COM5", "interrupted")])
        # The image copies the killed stations could not delete, the next station did.
        self.assertEqual(glob.glob(os.path.join(prefix, "drive_c", "**", "pst*.tmp"), recursive=True), [])

    def test_list_names_the_mapped_ports(self):
        rc, out, err = self.station(["list"], timeout=60)
        self.assertEqual(rc, 0, err)
        listed = [line.split()[1] for line in out.splitlines() if line.startswith("serial ")]
        for port in self.runner.ports:
            self.assertIn(port, listed, out)

    def test_report_of_its_own_log_is_the_native_report(self):
        image = make_image(self.dir, "TXC7390", 20000)
        log = os.path.join(self.dir, "units.jsonl")
        with self.rack(2, faults={1: "write:3:nak"}) as rack:
            rc, out, err = self.station(["program", image, *rack.ports, "--log", log])
        self.assertEqual(rc, 1, out + err)
        with open(log, "rb") as f:
            self.assertEqual(f.read().count(b"\r\n"), 2)  # the Windows runtime's line ends
        rc, out, err = self.station(["report", log, "--json"], timeout=60)
        native = run_station(["report", log, "--json"], timeout=60)
        self.assertEqual((rc, err), (1, ""))
        self.assertEqual((rc, json.loads(out)), (native[0], json.loads(native[1])))
        self.assertEqual(json.loads(out)["line"]["failed"], 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
