"""pendrel.exe under Wine against talo-sim over a pseudo-terminal mapped as
COM5: the serial scenarios of test_serial_program.py, run with the Windows
program, and data files in folders named outside ASCII. The Windows program
meets the line through DCB, SetupComm and COMMTIMEOUTS on "\\\\.\\com5",
which Wine turns into termios on the pty."""
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import programs  # noqa: E402
import test_serial_program as native  # noqa: E402
import winelib  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402
from simlib import require_sim  # noqa: E402

# The faults whose handling differs on Windows: read time-outs
# (COMMTIMEOUTS), a line that drops or overruns, the rate switch and its way
# back (SetCommState), a probe retried after silence; and the flush NAK, the
# end of a whole run. The others are decided by portable code, which the
# native run covers; each Wine run costs a second or two.
WINE_FAULTS = {"page8:1:silence", "write:2:silence", "write:2:drop", "write:5:overrun",
               "flush:1:nak", "baud:2:nak", "probe:1:silence"}


class WineSerial(native.SerialScenarios, unittest.TestCase):
    faults = [case for case in native.FAULTS if case[1] in WINE_FAULTS]

    @classmethod
    def setUpClass(cls):
        cls.runner = programs.Windows(ports=1)

    @classmethod
    def tearDownClass(cls):
        cls.runner.close()

    def test_data_file_in_folders_named_outside_ascii(self):
        # Users' own folders (C:\Users\Jürgen): the runtime opens the file
        # through the ANSI code page, and the length must come from that same
        # file. "Œ" is where that code page and Latin-1 part.
        src = native.make_image(self.dir, "TXC7350", 5000)
        with open(src, "rb") as f:
            image = f.read()
        for name in ("Bilder J\u00fcrgen", "\u0152uvres de Fran\u00e7oise"):
            with self.subTest(folder=name):
                folder = os.path.join(self.dir, name)
                os.makedirs(folder, exist_ok=True)
                path = os.path.join(folder, "app.bin")
                shutil.copyfile(src, path)
                rc, out, sim, flash = self.program("TXC7350", 0,
                                                   image="Z:" + path.replace("/", "\\"))
                text = native.without_progress(out)
                self.assertEqual(rc, 0, text[-300:])
                self.assertEqual(flash, image)
                self.assertTrue(text.endswith(winelib.crlf(b" - Ok - Verifying - Ok\n" + PROMPT)),
                                text[-100:])


if __name__ == "__main__":
    winelib.require_wine()
    require_sim()
    unittest.main()
