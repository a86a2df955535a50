"""The command line as the user meets it: usage text, banner, exit codes.

CommandLineScenarios run with the Windows program too (test_wine_cmdline.py);
each class names the command lines of its own system."""
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import programs  # noqa: E402
from pendrel_run import BANNER_LINE, PROMPT  # noqa: E402

BANNER = BANNER_LINE + b"Copyright (c) 2026 Pendrel developers\n\n"
USAGE = BANNER + b"".join([
    b"Usage:  Pendrel filename {-pserial_port|-usb|-eth} [-bbaudrate] [-ubaudrate] [-nocts] [-wpassword]\n\n",
    b"        -pserial_port Select serial port with name 'serial_port'\n",
    b"        -bbaudrate    Set command baudrate to 'baudrate'\n",
    b"                      (300..115200 baud, default 115200 baud)\n",
    b"        -ubaudrate    Set upload baudrate to 'baudrate'\n",
    b"                      (300..460800 baud, default is command baudrate)\n",
    b"        -nocts        Ignore CTS pin of serial port for sending\n",
    b"        -usb          Use USB port instead of serial port\n",
    b"        -eth          Use Ethernet instead of serial port\n",
    b"        -wpassword    Specify password for the device. (max length = 16)\n",
    b"                      This option only has an effect if Ethernet is used \n",
    b"\n",
    b"Note:   Select the file type 'Flash Raw Data (*.mifo-rflash)' or\n",
    b"        'Raw Talo Application Data (*.ovx)' on the File->Export\n",
    b"        screen of the Talo Composer program to create raw flash\n",
    b"        files suitable for Pendrel.\n",
    b"\n",
    b"CAVEAT: Ensure the Talo device is not being connected to some other\n",
    b"        software (like Talo Composer) while working with this software.\n\n",
])


class CommandLineScenarios:
    """Runs with self.runner; usage_args and bad_ports are set by the class."""
    runner = programs.Native()
    usb_args = [["x.bin", "-usb"], ["x.bin", "-b9600", "-usb"], ["x.bin", "-usb", "-b9600"]]

    def expect(self, args, stdout, code=1):
        start = time.monotonic()
        rc, out, err = self.runner.run(args, timeout=30)
        self.assertEqual(out, self.runner.text(stdout))
        self.assertEqual(err, b"")
        self.assertEqual(rc, code)
        # No console: the exit prompt must not wait for a key.
        self.assertLess(time.monotonic() - start, 20)

    def test_unusable_command_lines_print_usage(self):
        for args in self.usage_args:
            with self.subTest(args=args):
                self.expect(args, USAGE + PROMPT)

    def test_bad_port_names(self):
        for port in self.bad_ports:
            with self.subTest(port=port[:20]):
                self.expect(["x.bin", "-p" + port],
                            BANNER + b"Invalid serial port name specified\n" + PROMPT)

    def test_usb_without_a_controller(self):
        # Both device layers (bulk, then HID) are searched; the rates do not
        # matter for USB.
        for args in self.usb_args:
            with self.subTest(args=args):
                self.expect(args, BANNER + b"No Talo USB devices found\n" + PROMPT)


class CommandLine(CommandLineScenarios, unittest.TestCase):
    usage_args = [[], ["x.bin"], ["-pCOM1"], ["x.bin", "-pCOM1", "-x"], ["x.bin", "-usb", "-b0"],
                  ["x.bin", "-pCOM1", "-bfast"], ["x.bin", "-eth", "-w" + "p" * 17],
                  ["x.bin", "-P/dev/null"], ["x.bin", "-pCOM1", "-\xe9"]]
    bad_ports = ["", "ttyS0", "dev/ttyUSB0", "com0", "x" * 10000]

    def test_port_that_cannot_be_opened(self):
        self.expect(["x.bin", "-p/nonexistent/ttyUSB9"],
                    BANNER + b"Open error\nNo such file or directory\n" + PROMPT)

    def test_port_that_is_not_a_character_device(self):
        with tempfile.NamedTemporaryFile() as f:
            self.expect(["x.bin", "-p" + f.name],
                        BANNER + b"Open error: Device is not a character device\n" + PROMPT)


if __name__ == "__main__":
    unittest.main()
