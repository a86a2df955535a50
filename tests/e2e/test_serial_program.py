"""pendrel against talo-sim over a pseudo-terminal: the whole job, as a user runs it.

SerialScenarios hold what is worth running with the Windows program too
(test_wine_serial.py runs them with pendrel.exe under Wine); SerialRun adds
what only the portable code decides, run with the native program alone."""
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import programs  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402
from simlib import Sim  # noqa: E402
from test_cmdline import BANNER  # noqa: E402

SOURCE = os.environ.get("PENDREL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
MKIMAGE = os.path.join(SOURCE, "scripts", "mkimage")
PROGRESS = re.compile(rb"\x08*\d+kB \(\d+%\) of \d+kB written")


def make_image(directory, model, size, *extra):
    path = os.path.join(directory, f"{model}-{size}.bin")
    subprocess.run([MKIMAGE, "-o", path, "--model", model, "--size", str(size), *extra],
                   check=True, stdout=subprocess.DEVNULL)
    return path


def write_lengths(sim):
    """The data length of every acknowledged write-block frame (bytes 5 and 6)."""
    return [int.from_bytes(bytes.fromhex(e["frame"])[5:7], "big")
            for e in sim.events("frame") if e.get("command") == "write"]


def without_progress(out):
    return PROGRESS.sub(b"", out)


# (model, fault, pendrel options, expected end of output before the prompt)
FAULTS = [
    ("TXC5110", "name:1:nak", [], b"Unable to get the name of the Talo controller\n"),
    ("TXC5110", "erase:1:nak", [], b"\nPrograming Error\nFailed to erase Flash memory page\n"),
    ("TXC5110", "page8:1:silence", [], b"\nPrograming Error\nFailed to erase Flash memory page\n"),
    ("TXC5110", "write:3:checksum", [], b"\nPrograming Error\nFailed to write data to Flash\n"),
    ("TXC5110", "write:5:overrun", [], b"\nPrograming Error\nFailed to write data to Flash\n"),
    ("TXC5110", "write:1:wrong-byte", [], b"\nPrograming Error\nFailed to write data to Flash\n"),
    ("TXC5110", "write:2:silence", [], b"\nPrograming Error\nFailed to write data to Flash\n"),
    ("TXC5110", "write:2:drop", [], b"\nPrograming Error\nFailed to write data to Flash\n"),
    ("TXC5110", "reboot:1:nak", [], b" - Ok\nUnable to reboot the Talo device\n"),
    ("TXC7390", "nandindex:1:nak", [], b"\nPrograming Error\nFailed to erase NAND flash index\n"),
    ("TXC7390", "subpage:1:nak", [], b"\nPrograming Error\nFailed to set Flash memory sub-page\n"),
    ("TXC7390", "page16:1:nak", [], None),  # retried: the run still succeeds
    ("TXC7350", "flush:1:nak", [], b" - Ok - Flushing error\nNo error\n"),
    ("TXC7350", "verify:1:nak", [], b" - Ok - Verifying - Verify error\nNo error\n"),
    ("TXC7350", "baud:1:nak", ["-u460800"], b"Failed to switch baud rate\n"),
    ("TXC7350", "baud:2:nak", ["-u460800"], b"Failed to switch baud rate\n"),
    ("TXC5110", "probe:1:silence", [], None),  # the second probe answers
    ("TXC5110", "loader:1:nak", [], b"No or invalid response from Talo device\n"),
]


class SerialScenarios:
    """Runs with self.runner (programs.Native or programs.Windows), set by the class."""
    runner = programs.Native()
    faults = FAULTS

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def program(self, model, size, sim_args=(), pendrel_args=(), image=None, timeout=120):
        """Runs one programming session; returns (rc, stdout, sim, flash bytes or None)."""
        image = image or make_image(self.dir, model, size)
        flash = os.path.join(self.dir, "flash.bin")
        if os.path.exists(flash):
            os.unlink(flash)
        sim = Sim("serial", ["--model", model, "--quiet", "--exit-after-reboot", "--flash-out", flash,
                             *sim_args], log=True, link=self.runner.link())
        try:
            rc, out, err = self.runner.run([image, self.runner.port(sim), *pendrel_args],
                                           timeout=timeout)
            self.assertEqual(err, b"")
            sim.wait(timeout=5)
        finally:
            sim.stop()
        data = None
        if os.path.exists(flash):
            with open(flash, "rb") as f:
                data = f.read()
        return rc, out, sim, data

    def assert_programmed(self, model, size, pendrel_args=(), sim_args=()):
        image = make_image(self.dir, model, size)
        rc, out, sim, flash = self.program(model, size, sim_args, pendrel_args, image=image)
        self.assertEqual(rc, 0, out)
        with open(image, "rb") as f:
            self.assertEqual(flash, f.read())
        self.assertEqual(sim.summary()["faults"], 0)
        return out, sim

    def test_whole_job_with_upload_rate(self):
        image = make_image(self.dir, "TXC7350", 66000)
        with open(image, "rb") as f:
            data = f.read()
        # A text-mode read would stop at 0x1A or fold CR LF: make sure the image has both.
        self.assertIn(b"\x1a", data)
        self.assertIn(b"\r\n", data)
        out, sim = self.assert_programmed("TXC7350", 66000, pendrel_args=["-u460800"])
        text = without_progress(out)
        self.assertTrue(text.startswith(self.runner.text(BANNER + b"Talo Simulated Controller V1.00\n")),
                        text[:200])
        self.assertIn(b"Programming application data: Total size is 64kB", text)
        self.assertTrue(text.endswith(self.runner.text(b" - Ok - Verifying - Ok\n" + PROMPT)),
                        text[-100:])
        # The progress line counts what it printed: each redraw erases exactly the last one.
        pieces = re.findall(rb"(\x08*)(\d+kB \(\d+%\) of 64kB written)", out)
        self.assertGreater(len(pieces), 10)
        for (_, before), (erase, _) in zip(pieces, pieces[1:]):
            self.assertEqual(len(erase), len(before))
        self.assertEqual(pieces[-1][1], b"64kB (100%) of 64kB written")
        lines = [(e["rate"], e["dataBits"], e["parity"], e["stopBits"]) for e in sim.events("line")]
        self.assertEqual(lines, [(115200, 8, False, 2), (460800, 8, False, 2), (115200, 8, False, 2)])
        lengths = write_lengths(sim)
        self.assertEqual(max(lengths), 256)
        self.assertEqual(sum(lengths), len(data))
        self.assertEqual([e for e in sim.events("rx") if e.get("garbled")], [])

    def test_nocts_uses_64_byte_blocks(self):
        for model in ("TXC5110", "TXC7390"):
            with self.subTest(model=model):
                _, sim = self.assert_programmed(model, 9000, pendrel_args=["-nocts"])
                self.assertEqual(max(write_lengths(sim)), 64)

    def test_silent_controller(self):
        start = time.monotonic()
        rc, out, sim, _ = self.program("TXC5110", 4096, ["--start", "silent"])
        self.assertEqual(rc, 1)
        self.assertTrue(out.endswith(self.runner.text(
            b"\nNo or invalid response from Talo device\n" + PROMPT)), out)
        self.assertLess(time.monotonic() - start, 10)

    def test_lines_show_before_the_waits_that_follow(self):
        # Standard output on a file, as in a production script's log: what
        # precedes a wait must be there while the program waits.
        cases = [
            # the banner, then a handshake with nobody answering
            (["--start", "silent"], b"Talo device\nCopyright", 0.8),
            # " - Verifying", then the verify's 10 s time-out
            (["--fault", "verify:1:silence"], b" - Ok - Verifying", 5.0),
        ]
        image = make_image(self.dir, "TXC7350", 3000)
        for sim_args, marker, lead in cases:
            marker = self.runner.text(marker)
            with self.subTest(marker=marker), Sim("serial", ["--model", "TXC7350", "--quiet", *sim_args],
                                                  link=self.runner.link()) as sim:
                leads, out, rc = self.runner.watch([image, self.runner.port(sim)], [marker], timeout=90)
                self.assertEqual(rc, 1, out)
                self.assertGreater(leads.get(marker, 0), lead, out)

    def test_wrong_model_and_oversize(self):
        image = make_image(self.dir, "TXC7350", 4096)
        rc, out, _, _ = self.program("TXC7320", 0, image=image)
        self.assertEqual(rc, 1)
        self.assertTrue(out.endswith(self.runner.text(
            b"Selected file can't be used with the current Talo controller\n" + PROMPT)))
        rc, out, _, _ = self.program("TXC5110", 98305)
        self.assertTrue(out.endswith(self.runner.text(
            b"Data size is too big for the Talo controller's Flash memory\n" + PROMPT)))
        rc, out, _, _ = self.program("TXC5110", 0, image=os.path.join(self.dir, "missing.bin"))
        self.assertTrue(out.endswith(self.runner.text(b"Failed to open Flash data file\n" + PROMPT)))

    def test_faults_at_each_command_kind(self):
        for model, fault, options, tail in self.faults:
            with self.subTest(fault=fault, model=model):
                start = time.monotonic()
                size = 70000 if fault.startswith("subpage") else 9000
                rc, out, sim, _ = self.program(model, size, ["--fault", fault], options)
                text = without_progress(out)
                if tail is None:
                    self.assertEqual(rc, 0, text[-200:])
                    continue
                self.assertEqual(rc, 1, text[-200:])
                self.assertTrue(text.endswith(self.runner.text(tail + PROMPT)), text[-200:])
                self.assertNotIn(b"(rebooted)", sim.output().encode())
                self.assertEqual(sim.summary()["faults"], 0)
                self.assertLess(time.monotonic() - start, 30)


class SerialRun(SerialScenarios, unittest.TestCase):
    def test_every_chip_code_is_programmed(self):
        # One model of every chip code; sizes cross page (and sub-page) boundaries.
        cases = [("TXC5110", 40000, b" - Ok\n"), ("TXC5130", 70000, b" - Ok\n"),
                 ("TXC5150", 33000, b" - Ok\n"), ("TXC6260", 50000, b" - Ok - Verifying - Ok\n"),
                 ("TXC7320", 70000, b" - Ok - Verifying - Ok\n"),
                 ("TXC7350", 66000, b" - Ok - Verifying - Ok\n"),
                 ("TXC7380", 40000, b" - Ok - Verifying - Ok\n"),
                 ("TXC7390", 140000, b" - Ok - Verifying - Ok\n"),
                 ("TXM9410", 70000, b" - Ok - Verifying - Ok\n")]
        for model, size, tail in cases:
            with self.subTest(model=model):
                out, sim = self.assert_programmed(model, size)
                text = without_progress(out)
                self.assertIn(b"\nTalo Simulated Controller V1.00\n", text)
                self.assertIn(b"Programming application data: Total size is %dkB" % (size >> 10), text)
                self.assertTrue(text.endswith(tail + PROMPT), text[-120:])
                # 256-byte blocks: the last progress text is the complete one.
                self.assertIn(b"%dkB (100%%) of %dkB written" % (size >> 10, size >> 10), out)
                lengths = write_lengths(sim)
                self.assertEqual(max(lengths), 256)
                self.assertEqual(sum(lengths), size)

    def test_wrapped_file_and_loader_start(self):
        image = make_image(self.dir, "TXC6260", 20000, "--wrapped", "--gap", "16")
        rc, out, sim, flash = self.program("TXC6260", 0, ["--start", "loader"], image=image)
        self.assertEqual(rc, 0, out)
        with open(image, "rb") as f:
            raw = f.read()
        self.assertEqual(flash, raw[112 + 16:112 + 16 + 20000])

    def test_upload_rate_switch_and_way_back(self):
        out, sim = self.assert_programmed("TXC7350", 20000, pendrel_args=["-u460800"])
        rates = [e["rate"] for e in sim.events("line")]
        self.assertEqual(rates[0], 115200)
        self.assertIn(460800, rates)
        self.assertEqual(rates[-1], 115200)
        garbled = [e for e in sim.events("rx") if e.get("garbled")]
        self.assertEqual(garbled, [])

    def test_upload_rate_refused_on_family_1(self):
        rc, out, sim, _ = self.program("TXC5110", 4096, pendrel_args=["-u460800"])
        self.assertEqual(rc, 1)
        self.assertTrue(out.endswith(b"Switching upload baud rate is not supported on this chip\n" + PROMPT))
        self.assertEqual(sim.summary()["bytes"], 0)


if __name__ == "__main__":
    unittest.main()
