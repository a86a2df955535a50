"""pendrel.exe under Wine against talo-sim over a pseudo-terminal mapped as COM5:
a whole TXC7350 job with the upload-rate switch and its way back, and a NAK
on the flush. The Windows program meets the line through DCB, SetupComm and
COMMTIMEOUTS on "\\\\.\\com5", which Wine turns into termios on the pty."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelib  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402
from simlib import Sim, require_sim  # noqa: E402

MKIMAGE = os.path.join(winelib.SOURCE, "scripts", "mkimage")
PROGRESS = re.compile(rb"\x08*\d+kB \(\d+%\) of \d+kB written")
BANNER = (b"\nPendrel V5.07 - Loads raw flash data files into the Talo device\n"
          b"Copyright (c) 2026 Pendrel developers\n\n")


class WineSerial(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="pendrel-wine-serial-")
        cls.dir = cls.tmp.name
        # Every simulator makes this link to its pty, so one mapping serves all runs.
        cls.link = os.path.join(cls.dir, "ttyTalo")
        cls.wine = winelib.Prefix().__enter__()
        try:
            cls.wine.map_port("COM5", cls.link)
        except BaseException:
            cls.wine.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.wine.close()
        cls.tmp.cleanup()

    def image(self, model, size):
        path = os.path.join(self.dir, "%s-%d.bin" % (model, size))
        subprocess.run([sys.executable, MKIMAGE, "-o", path, "--model", model, "--size", str(size)],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        with open(path, "rb") as f:
            return path, f.read()

    def program(self, model, image, sim_args=(), pendrel_args=()):
        flash = os.path.join(self.dir, "flash.bin")
        if os.path.exists(flash):
            os.unlink(flash)
        sim = Sim("serial", ["--model", model, "--quiet", "--exit-after-reboot", "--flash-out",
                             flash, *sim_args], log=True, link=self.link)
        try:
            rc, out, err = self.wine.run([image, "-pCOM5", *pendrel_args], timeout=90)
            sim.wait(timeout=5)
        finally:
            sim.stop()
        data = None
        if os.path.exists(flash):
            with open(flash, "rb") as f:
                data = f.read()
        return rc, out, err, sim, data

    def test_whole_job_with_upload_rate(self):
        path, image = self.image("TXC7350", 66000)
        # A text-mode read would stop at 0x1A or fold CR LF: make sure the image has both.
        self.assertIn(b"\x1a", image)
        self.assertIn(b"\r\n", image)
        rc, out, err, sim, flash = self.program("TXC7350", path, pendrel_args=["-u460800"])
        text = PROGRESS.sub(b"", out)
        self.assertEqual(rc, 0, text[-300:] + err)
        self.assertEqual(flash, image)
        self.assertEqual(sim.summary()["faults"], 0)
        self.assertTrue(text.startswith(winelib.crlf(BANNER + b"Talo Simulated Controller V1.00\n")),
                        text[:200])
        self.assertIn(b"Programming application data: Total size is 64kB", text)
        self.assertTrue(text.endswith(winelib.crlf(b" - Ok - Verifying - Ok\n" + PROMPT)), text[-100:])
        # The progress line counts what it printed: each redraw erases exactly the last one.
        pieces = re.findall(rb"(\x08*)(\d+kB \(\d+%\) of 64kB written)", out)
        self.assertGreater(len(pieces), 10)
        for (_, before), (erase, _) in zip(pieces, pieces[1:]):
            self.assertEqual(len(erase), len(before))
        self.assertEqual(pieces[-1][1], b"64kB (100%) of 64kB written")
        lines = [(e["rate"], e["dataBits"], e["parity"], e["stopBits"]) for e in sim.events("line")]
        self.assertEqual(lines, [(115200, 8, False, 2), (460800, 8, False, 2), (115200, 8, False, 2)])
        writes = [e for e in sim.events("frame") if e.get("command") == "write"]
        lengths = [int.from_bytes(bytes.fromhex(e["frame"])[5:7], "big") for e in writes]
        self.assertEqual(max(lengths), 256)
        self.assertEqual(sum(lengths), len(image))
        self.assertEqual([e for e in sim.events("rx") if e.get("garbled")], [])

    def test_data_file_in_folders_named_outside_ascii(self):
        # Users' own folders (C:\Users\Jürgen): the runtime opens the file
        # through the ANSI code page, and the length must come from that same
        # file. "Œ" is where that code page and Latin-1 part.
        src, image = self.image("TXC7350", 5000)
        for name in ("Bilder J\u00fcrgen", "\u0152uvres de Fran\u00e7oise"):
            with self.subTest(folder=name):
                folder = os.path.join(self.dir, name)
                os.makedirs(folder, exist_ok=True)
                path = os.path.join(folder, "app.bin")
                shutil.copyfile(src, path)
                rc, out, err, sim, flash = self.program("TXC7350", "Z:" + path.replace("/", "\\"))
                text = PROGRESS.sub(b"", out)
                self.assertEqual(rc, 0, text[-300:] + err)
                self.assertEqual(flash, image)
                self.assertTrue(text.endswith(winelib.crlf(b" - Ok - Verifying - Ok\n" + PROMPT)),
                                text[-100:])

    def test_lines_show_before_the_waits_that_follow(self):
        # The Windows runtime holds a file's output as glibc does: what
        # precedes a wait must be in the file while the program waits.
        path, _ = self.image("TXC7350", 3000)
        for sim_args, marker, lead in [(["--start", "silent"], b"Talo device\r\nCopyright", 0.8),
                                       (["--fault", "verify:1:silence"], b" - Ok - Verifying", 5.0)]:
            with self.subTest(marker=marker), Sim("serial", ["--model", "TXC7350", "--quiet",
                                                             *sim_args], link=self.link):
                leads, out, rc = self.wine.run_watched([path, "-pCOM5"], [marker], timeout=90)
                self.assertEqual(rc, 1, out)
                self.assertGreater(leads.get(marker, 0), lead, out)

    def test_nak_on_flush(self):
        path, _ = self.image("TXC7350", 9000)
        rc, out, err, sim, _ = self.program("TXC7350", path, ["--fault", "flush:1:nak"])
        text = PROGRESS.sub(b"", out)
        self.assertEqual(rc, 1, text[-300:] + err)
        self.assertTrue(text.endswith(winelib.crlf(b" - Ok - Flushing error\nNo error\n" + PROMPT)),
                        text[-200:])
        self.assertNotIn("(rebooted)", sim.output())


if __name__ == "__main__":
    winelib.require_wine()
    require_sim()
    unittest.main()
