"""pendrel-station.exe with pendrel.exe under Wine: the station scenarios of
test_station.py (four talo-sim units programmed together, one of them with an
injected fault, the plain lines, the JSON lines and the log against their
schema, bad input) on pseudo-terminals mapped as COM5 to COM8, and the COM
ports in `list`, and `report` over the log it wrote."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import programs  # noqa: E402
import test_station as native  # noqa: E402
import winelib  # noqa: E402
from simlib import require_sim  # noqa: E402
from stationlib import Rack, make_image, run_station  # noqa: E402


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
                (["program", image, "COM5", "--fast"], "unknown option")]

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
