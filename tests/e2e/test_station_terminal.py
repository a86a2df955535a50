"""pendrel-station's live view on a terminal, looked at as a person would:
the command is typed into a tmux pane and the pane is read while it runs."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import stationlib  # noqa: E402
from stationlib import Rack, make_image  # noqa: E402


class Tmux:
    """A tmux server of our own (its own socket), one pane of fixed size."""

    def __init__(self, directory, width=110, height=20):
        self.socket = os.path.join(directory, "tmux.sock")
        # A plain shell, as a person's; only a chosen pendrel is handed on.
        chosen = os.environ.get("PENDREL_STATION_PENDREL")
        self.tmux("new-session", "-d", "-s", "station", "-x", str(width), "-y", str(height),
                  "env -i PATH=/usr/bin:/bin TERM=xterm HOME=%s %s bash --norc --noprofile"
                  % (directory, "PENDREL_STATION_PENDREL=" + chosen if chosen else ""))

    def tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=10, check=True).stdout

    def type(self, text):
        self.tmux("send-keys", "-t", "station", text, "Enter")

    def screen(self):
        return self.tmux("capture-pane", "-p", "-t", "station")

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = self.screen()
            if predicate(text):
                return text
            time.sleep(0.1)
        raise AssertionError("the pane never showed what was expected:\n" + self.screen())

    def close(self):
        subprocess.run(["tmux", "-S", self.socket, "kill-server"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=10)


class TerminalView(unittest.TestCase):
    def setUp(self):
        stationlib.require_station()
        if shutil.which("tmux") is None:
            print("skipped: tmux is not installed")
            sys.exit(stationlib.SKIP)
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        # The pane's shell and the tmux server may still be writing their last
        # files (history, socket) just after kill-server returns.
        for _ in range(50):
            try:
                self.tmp.cleanup()
                return
            except OSError:
                time.sleep(0.1)
        self.tmp.cleanup()

    def test_one_live_line_per_port_then_results_and_summary(self):
        image = make_image(self.dir, "TXC7390", 40000)
        pane = Tmux(self.dir)
        try:
            with Rack(self.dir, 3, faults={1: "write:80:nak"}, extra=["--pace"]) as rack:
                pane.type("%s program %s %s; echo rc=$?" % (stationlib.STATION, image, " ".join(rack.ports)))

                # A port and the two spaces of its column: the typed command
                # may wrap right before a port too, depending on the paths' lengths.
                columns = tuple(port + "  " for port in rack.ports)

                def live(text):
                    rows = [line for line in text.splitlines() if line.startswith(columns)]
                    return len(rows) == 3 and all("kB of 39kB (" in row for row in rows)

                during = pane.wait_for(live, 30)
                after = pane.wait_for(lambda text: re.search(r"^rc=\d", text, re.M), 60)
        finally:
            pane.close()
        # While writing: each port once, with the identification and its progress.
        for port in rack.ports:
            rows = [line for line in during.splitlines() if line.startswith(port + "  ")]
            self.assertEqual(len(rows), 1, during)
            self.assertRegex(rows[0], r"^%s +Talo Simulated Controller V1\.00  \d+kB of 39kB \(\d+%%\)$" % port)
        # At the end: the same lines, redrawn in place, carry the results; the table follows.
        lines = after.splitlines()
        first = next(i for i, line in enumerate(lines) if line.startswith(columns[0]))
        self.assertRegex(lines[first], r"^%s +Talo Simulated Controller V1\.00  ok  39kB in \d+\.\d s$" % rack.ports[0])
        self.assertRegex(lines[first + 1], r"^%s +FAILED: Programing Error: Failed to write data to Flash$" % rack.ports[1])
        self.assertRegex(lines[first + 2], r"^%s +Talo Simulated Controller V1\.00  ok  39kB in" % rack.ports[2])
        self.assertEqual(lines[first + 3], "")
        self.assertTrue(lines[first + 4].startswith("port "), after)
        self.assertIn("3 units: 2 ok, 1 failed", after)
        self.assertRegex(after, r"(?m)^rc=1$")
        self.assertNotIn("\x1b", after)
        self.assertNotIn("[2K", after)


if __name__ == "__main__":
    unittest.main(verbosity=2)
