"""The command line as the user meets it: usage text, banner, exit codes."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
from pendrel_run import PROMPT, run_pendrel  # noqa: E402

BANNER = (b"\nPendrel V5.07 - Loads raw flash data files into the Talo device\n"
          b"Copyright (c) 2026 Pendrel developers\n\n")
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


class CommandLine(unittest.TestCase):
    def expect(self, args, stdout, code=1):
        rc, out, err = run_pendrel(args, timeout=20)
        self.assertEqual(out, stdout)
        self.assertEqual(err, b"")
        self.assertEqual(rc, code)

    def test_unusable_command_lines_print_usage(self):
        for args in ([], ["x.bin"], ["-pCOM1"], ["x.bin", "-pCOM1", "-x"], ["x.bin", "-usb", "-b0"],
                     ["x.bin", "-pCOM1", "-bfast"], ["x.bin", "-eth", "-w" + "p" * 17],
                     ["x.bin", "-P/dev/null"], ["x.bin", "-pCOM1", "-\xe9"]):
            with self.subTest(args=args):
                self.expect(args, USAGE + PROMPT)

    def test_bad_port_names(self):
        for port in ("", "ttyS0", "dev/ttyUSB0", "com0", "x" * 10000):
            with self.subTest(port=port[:20]):
                self.expect(["x.bin", "-p" + port],
                            BANNER + b"Invalid serial port name specified\n" + PROMPT)

    def test_port_that_cannot_be_opened(self):
        self.expect(["x.bin", "-p/nonexistent/ttyUSB9"],
                    BANNER + b"Open error\nNo such file or directory\n" + PROMPT)

    def test_port_that_is_not_a_character_device(self):
        with tempfile.NamedTemporaryFile() as f:
            self.expect(["x.bin", "-p" + f.name],
                        BANNER + b"Open error: Device is not a character device\n" + PROMPT)

    def test_usb_without_a_controller(self):
        # Both real device layers (libusb, then hidraw) are searched.
        self.expect(["x.bin", "-usb", "-b9600"],
                    BANNER + b"No Talo USB devices found\n" + PROMPT)


if __name__ == "__main__":
    unittest.main()
