"""pendrel-station over Ethernet, inside a private network (never the
machine's own): list --eth with its one discovery broadcast, and three
controllers at their own addresses programmed at once, one of them asking
for the password that -w hands every pendrel through its environment."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import stationlib  # noqa: E402
from stationlib import json_lines, make_image, read  # noqa: E402

PASSWORD = "w0rd-of-16-chars"


def station_in(lab, args, timeout=180):
    """pendrel-station in the programmer's namespace, without a terminal."""
    proc = subprocess.run(["ip", "netns", "exec", lab.host, "setsid", "-w", stationlib.STATION] + list(args),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout)
    return proc.returncode, proc.stdout.decode(errors="replace"), proc.stderr.decode(errors="replace")


class StationEthernet(unittest.TestCase):
    def setUp(self):
        stationlib.require_station()
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def test_list_shows_every_controller_that_answers(self):
        # One answers twice, one with the short reply (free), one is in use, one
        # sends datagrams that are no reply first: four controllers, once each.
        kinds = [["--answer-twice"], ["--reply", "short"], ["--in-use", "1"], ["--garbage-datagram"]]
        with netns.Lab(controllers=4) as lab:
            for i in range(4):
                lab.start_sim(i, kinds[i])
            rc, out, err = station_in(lab, ["list", "--eth"], timeout=30)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.splitlines(), ["eth  eth:192.0.2.1  free", "eth  eth:192.0.2.2  free",
                                            "eth  eth:192.0.2.3  in use", "eth  eth:192.0.2.4  free"])
        with netns.Lab(controllers=0) as lab:
            rc, out, err = station_in(lab, ["list", "--eth"], timeout=30)
        self.assertEqual((rc, out, err), (0, "no Talo controller answered over Ethernet\n", ""))

    def test_three_controllers_at_once(self):
        image = make_image(self.dir, "TXC5110", 60000)
        log = os.path.join(self.dir, "units.jsonl")
        flashes = [os.path.join(self.dir, "flash%d.bin" % i) for i in range(3)]
        with netns.Lab(controllers=3) as lab:
            sims = [lab.start_sim(i, ["--flash-out", flashes[i], "--exit-after-reboot"] +
                                  (["--password", PASSWORD] if i == 1 else [])) for i in range(3)]
            units = ["eth:" + netns.Lab.address(i) for i in range(3)]
            rc, out, err = station_in(lab, ["program", image, *units, "-w" + PASSWORD, "--json", "--log", log])
            for sim in sims:
                lab.stop_sim(sim)
        self.assertEqual(rc, 0, out + err)
        for i in range(3):
            self.assertEqual(read(flashes[i]), read(image), units[i])
        ends = {e["port"]: e for e in json_lines(out, "event") if e["event"] == "end"}
        self.assertEqual(sorted(ends), units)
        # Side by side: each pendrel found its own controller while the others ran.
        starts = [e for e in json_lines(out, "event") if e["event"] == "start"]
        self.assertEqual(len(starts), 3)
        first_end = min(e["time"] for e in ends.values())
        self.assertTrue(all(s["time"] < first_end for s in starts), out)
        with open(log) as f:
            self.assertEqual(sorted(r["port"] for r in json_lines(f.read(), "log")), units)


if __name__ == "__main__":
    netns.skip_unless_possible()
    unittest.main(verbosity=2)
