"""pendrel.exe under Wine as a Windows console user meets it: the command-line
scenarios of test_cmdline.py (usage text, exit codes, bad port names, the USB
search with no device) with Windows' own command lines, a missing COM port,
and an exit prompt that returns at once without a console and waits for a
key in one.

Standard output is in text mode, so every "\\n" reaches the console as "\\r\\n"
as a Windows console program's lines do; the texts are otherwise byte for
byte those of the Linux build."""
import os
import re
import select
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import programs  # noqa: E402
import test_cmdline as native  # noqa: E402
import winelib  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402
from test_cmdline import BANNER  # noqa: E402

crlf = winelib.crlf


class WineCommandLine(native.CommandLineScenarios, unittest.TestCase):
    usage_args = [[], ["x.bin"], ["-pCOM1"], ["x.bin", "-pCOM1", "-x"], ["x.bin", "-usb", "-b0"],
                  ["x.bin", "-usb", "-w" + "p" * 17], ["x.bin", "-PCOM1"]]
    # Only "com..." names reach CreateFileA; a path of one's own does not.
    bad_ports = ["", "ttyS0", "/dev/ttyS0", r"\\.\COM5", "x" * 5000]

    @classmethod
    def setUpClass(cls):
        cls.runner = programs.Windows(ports=0)
        cls.wine = cls.runner.prefix

    @classmethod
    def tearDownClass(cls):
        cls.runner.close()

    def test_port_that_does_not_exist(self):
        # The system's text follows on one line of its own, without the "\r\n"
        # that FormatMessageA puts at its end.
        rc, out, err = self.wine.run(["x.bin", "-pcom42:"], timeout=30)
        self.assertEqual(rc, 1)
        head = crlf(BANNER + b"Open error\n")
        tail = crlf(b"\n" + PROMPT)
        self.assertTrue(out.startswith(head), out)
        self.assertTrue(out.endswith(tail), out)
        system_text = out[len(head):-len(tail)]
        self.assertNotIn(b"\r", system_text, out)
        self.assertNotIn(b"\n", system_text, out)
        self.assertGreater(len(system_text), 4)

    def test_exit_prompt_waits_for_a_key_in_a_console(self):
        # With a terminal, Wine gives the program a console: the prompt waits
        # for one key from the console input, read raw (no Enter needed).
        master, slave = os.openpty()
        proc = subprocess.Popen([winelib.WINE, winelib.PENDREL_EXE], env=self.wine.env, stdin=slave,
                                stdout=slave, stderr=slave, start_new_session=True)
        os.close(slave)
        seen = b""
        # Wine's console draws on the terminal with escape sequences, cursor
        # moves for blanks and its own line wrapping: compare the letters only.
        prompt = b"Pressanykeytoexitprogram"
        try:
            deadline = time.monotonic() + 30
            while prompt not in seen and time.monotonic() < deadline:
                ready, _, _ = select.select([master], [], [], 0.2)
                if ready:
                    seen += os.read(master, 4096)
                    seen = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\s", b"", seen)
            self.assertIn(prompt, seen)
            time.sleep(1.0)
            self.assertIsNone(proc.poll(), "the prompt did not wait")
            os.write(master, b"x")
            self.assertEqual(proc.wait(timeout=15), 1)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, 9)
                proc.wait(timeout=10)
            os.close(master)
        self.assertIn(b"Usage:Pendrelfilename", seen)


if __name__ == "__main__":
    winelib.require_wine()
    unittest.main()
