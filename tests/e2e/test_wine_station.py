"""pendrel-station.exe with pendrel.exe under Wine: four talo-sim units on
pseudo-terminals mapped as COM5 to COM8 programmed together (one with an
injected fault), the JSON lines and the log against their schema, the COM
ports in `list`, and bad input."""
import hashlib
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelib  # noqa: E402
from simlib import require_sim  # noqa: E402
from stationlib import Rack, json_lines, make_image, read  # noqa: E402

PORTS = ["COM5", "COM6", "COM7", "COM8"]


class WineStation(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_sim()
        pendrel_exe = winelib.require_wine()
        cls.exe = os.path.join(os.path.dirname(pendrel_exe), "pendrel-station.exe")
        if not os.path.isfile(cls.exe):
            print("skipped: no %s beside %s" % (os.path.basename(cls.exe), pendrel_exe))
            sys.exit(winelib.SKIP)
        cls.tmp = tempfile.TemporaryDirectory(prefix="pendrel-wine-station-")
        cls.dir = cls.tmp.name
        cls.wine = winelib.Prefix().__enter__()
        try:
            for i, port in enumerate(PORTS):
                cls.wine.map_port(port, os.path.join(cls.dir, "tty%d" % i))
        except BaseException:
            cls.wine.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.wine.close()
        cls.tmp.cleanup()

    def station(self, args, timeout=180):
        rc, out, err = self.wine.run(args, timeout=timeout, exe=self.exe)
        return rc, out.decode(errors="replace"), err.decode(errors="replace")

    def test_four_units_one_faulty(self):
        image = make_image(self.dir, "TXC7390", 50000)
        log = os.path.join(self.dir, "units.jsonl")
        with Rack(self.dir, 4, faults={3: "write:4:nak"}) as rack:
            rc, out, err = self.station(["program", image, *PORTS, "--json", "--log", log])
            flashes = [rack.flash(i) for i in range(4)]
        self.assertEqual(rc, 1, out + err)
        events = json_lines(out.replace("\r\n", "\n"), "event")
        ends = {e["port"]: e for e in events if e["event"] == "end"}
        self.assertEqual(set(ends), set(PORTS))
        for i, port in enumerate(PORTS[:3]):
            self.assertEqual((ends[port]["result"], ends[port]["exit_code"]), ("ok", 0), ends[port])
            self.assertEqual(ends[port]["identification"], "Talo Simulated Controller V1.00")
            self.assertEqual(flashes[i], read(image), port)
        self.assertEqual((ends["COM8"]["result"], ends["COM8"]["exit_code"], ends["COM8"]["failure"]),
                         ("failed", 1, "Programing Error: Failed to write data to Flash"))
        self.assertEqual(events[-1]["event"], "summary")
        self.assertIn("4 units: 3 ok, 1 failed", err)
        with open(log) as f:
            records = json_lines(f.read().replace("\r\n", "\n"), "log")
        self.assertEqual(sorted(r["port"] for r in records), PORTS)
        self.assertEqual({r["sha256"] for r in records}, {hashlib.sha256(read(image)).hexdigest()})

    def test_list_names_the_mapped_ports(self):
        rc, out, err = self.station(["list"], timeout=60)
        self.assertEqual(rc, 0, err)
        listed = [line.split()[1] for line in out.splitlines() if line.startswith("serial ")]
        for port in PORTS:
            self.assertIn(port, listed, out)

    def test_bad_input(self):
        image = make_image(self.dir, "TXC5110", 2000)
        for args, words in [(["program", os.path.join(self.dir, "none.bin"), "COM5"], "image not found"),
                            (["program", image, "COM5", "com5:"], "port named twice: COM5"),
                            (["program", image, "COM5", "--fast"], "unknown option")]:
            with self.subTest(args=args):
                rc, out, err = self.station(args, timeout=60)
                self.assertEqual(rc, 2)
                self.assertEqual(out, "")
                self.assertIn(words, err)
                self.assertEqual(len(err.strip().splitlines()), 1, err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
