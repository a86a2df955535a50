"""pendrel-station --watch: a board's port appears, is programmed, goes and
comes back with the next board; Ctrl-C (SIGINT) ends the station with its
summary, also in the middle of a run."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import stationlib  # noqa: E402
from simlib import Sim  # noqa: E402
from stationlib import json_lines, make_image, read  # noqa: E402


class Watching:
    """The station in --watch --json mode; its output goes to a file we read as it grows."""

    def __init__(self, directory, image, port, log):
        self.out_path = os.path.join(directory, "station.out")
        self.err_path = os.path.join(directory, "station.err")
        self.out = open(self.out_path, "w")
        self.err = open(self.err_path, "w")
        self.proc = subprocess.Popen([stationlib.STATION, "program", image, port, "--watch", "--json",
                                      "--log", log],
                                     stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)

    def events(self):
        with open(self.out_path) as f:
            return [json.loads(line) for line in f if line.endswith("\n")]

    def wait_for(self, kind, count, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if sum(1 for e in self.events() if e["event"] == kind) >= count:
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("no %d '%s' events: %s" % (count, kind, self.events()))

    def text(self):
        with open(self.out_path) as f:
            return f.read()

    def interrupt(self, timeout=15):
        self.proc.send_signal(signal.SIGINT)
        rc = self.proc.wait(timeout=timeout)
        self.out.close()
        self.err.close()
        with open(self.err_path) as f:
            return rc, f.read()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.out.close()
        self.err.close()


def board(directory, link, n, extra=()):
    flash = os.path.join(directory, "flash%d.bin" % n)
    sim = Sim("serial", ["--model", "TXC7390", "--quiet", "--exit-after-reboot", "--flash-out", flash,
                         *extra], link=link)
    return sim, flash


class Watch(unittest.TestCase):
    def setUp(self):
        stationlib.require_station()
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.port = os.path.join(self.dir, "ttyLINE1")
        self.log = os.path.join(self.dir, "units.jsonl")

    def tearDown(self):
        self.tmp.cleanup()

    def test_boards_come_and_go_then_ctrl_c(self):
        image = make_image(self.dir, "TXC7390", 30000)
        station = Watching(self.dir, image, self.port, self.log)
        try:
            time.sleep(0.6)
            self.assertEqual(station.events(), [], "nothing happens before a board is there")
            for n in (1, 2):
                sim, flash = board(self.dir, self.port, n)
                try:
                    station.wait_for("end", n)
                    self.assertEqual(sim.wait(timeout=10), 0)
                finally:
                    sim.stop()
                self.assertEqual(read(flash), read(image), "board %d" % n)
                station.wait_for("gone", n)
            rc, err = station.interrupt()
        finally:
            station.kill()
        self.assertEqual(rc, 0, err)
        events = json_lines(station.text(), "event")
        # Every kind of event the station writes, each validated against the schema.
        self.assertEqual({e["event"] for e in events},
                         {"present", "start", "identification", "progress", "end", "gone", "summary"})
        kinds = [e["event"] for e in events if e["event"] != "progress"]
        self.assertEqual(kinds, ["present", "start", "identification", "end", "gone"] * 2 + ["summary"])
        self.assertEqual(events[-1], dict(events[-1], units=2, ok=2, failed=0, interrupted=True))
        self.assertIn("2 units: 2 ok, 0 failed (interrupted)", err)
        with open(self.log) as f:
            self.assertEqual([r["result"] for r in json_lines(f.read(), "log")], ["ok", "ok"])

    def test_ctrl_c_in_the_middle_of_a_run_ends_the_child(self):
        image = make_image(self.dir, "TXC7390", 60000)
        station = Watching(self.dir, image, self.port, self.log)
        sim, _ = board(self.dir, self.port, 1, ["--pace"])
        try:
            station.wait_for("progress", 1)
            started = time.monotonic()
            rc, err = station.interrupt()
            took = time.monotonic() - started
        finally:
            station.kill()
            sim.stop()
        self.assertEqual(rc, 1, err)
        self.assertLess(took, 5)
        end = [e for e in json_lines(station.text(), "event") if e["event"] == "end"]
        self.assertEqual(len(end), 1)
        self.assertEqual((end[0]["result"], end[0]["failure"]), ("failed", "interrupted"))
        self.assertIn("1 unit: 0 ok, 1 failed (interrupted)", err)
        ps = subprocess.run(["ps", "-eo", "args"], stdout=subprocess.PIPE, text=True, check=True)
        self.assertNotIn(self.port, ps.stdout, "a pendrel child was left running")


if __name__ == "__main__":
    unittest.main(verbosity=2)
