"""The shipped 32-bit pendrel.exe under Wine taking the USB controller that
PENDREL_USB_DEVICE names, among two bulk and two HID controllers which
talo-sim-usb.exe enters in SetupAPI as Windows enters plugged-in devices,
each with a port and a serial number of its own (test_wine_usb32.py says
how that bed is made). Each name form reaches its controller: the location
information and the location path of the USB device (for HID, the one
above the HID collection, found through the collection's parent), the
serial number, and the device interface path in another case. A bulk
controller that is not the one named is never opened; a name that matches
nothing ends as an empty search."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_wine_usb32 as usb32  # noqa: E402
import winelib  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402
from test_cmdline import BANNER  # noqa: E402

# The devices' order in the host: bulk on ports 2 and 3, HID on 4 and 5.
DEVICES = [("--bulk", "BULK-A", "2"), ("--bulk", "BULK-B", "3"),
           ("--hid", "HID-A", "4"), ("--hid", "HID-B", "5")]
TALO_INTERFACE = "{ED48CB1D-D414-4427-B35F-5109F4305785}"


class Select(unittest.TestCase):
    setUpClass = usb32.WineUsb32.__dict__["setUpClass"]
    tearDownClass = usb32.WineUsb32.__dict__["tearDownClass"]
    devices = usb32.WineUsb32.devices
    image = usb32.WineUsb32.image

    def run_named(self, name, image):
        self.prefix.env["PENDREL_USB_DEVICE"] = name
        try:
            return self.prefix.run([image, "-usb"], timeout=120)
        finally:
            del self.prefix.env["PENDREL_USB_DEVICE"]

    def test_each_name_form_takes_its_controller(self):
        args = []
        for kind, serial, port in DEVICES:
            args += [kind, "--model", "TXC7390", "--serial", serial, "--port", port]
        # (name, the device it must reach); each run writes an image of its own.
        runs = [("Port_#0003.Hub_#0001", 1),
                ("pciroot(0)#pci(1400)#usbroot(0)#usb(4)", 2),
                ("serial=HID-B", 3),
                ("\\\\?\\USB#VID_0483&PID_1512#BULK-A#" + TALO_INTERFACE, 0)]
        images = {}
        with self.devices(*args) as host:
            for index, (name, device) in enumerate(runs):
                with self.subTest(name):
                    path, images[device] = self.image("TXC7390", 4000 + 1000 * index)
                    rc, out, err = self.run_named(name, path)
                    self.assertEqual((rc, err), (0, b""), out.decode(errors="replace"))
                    self.assertEqual(out, winelib.crlf(usb32.complete_run(
                        len(images[device]), 2048 if device < 2 else 256, True)))
            rc, out, _ = self.run_named("serial=BULK-C", path)
            self.assertEqual(rc, 1)
            self.assertEqual(out, winelib.crlf(BANNER + b"No Talo USB devices found\n" + PROMPT))
        for device, image in images.items():
            self.assertEqual(host.flash(device), image, "device %d" % device)
        # Each bulk controller was opened by the one run that named it, twice
        # (the search's look at its descriptor, the open), and by no other.
        self.assertEqual([host.report[d]["connections"] for d in (0, 1)], [2, 2])


if __name__ == "__main__":
    usb32.require_test_devices()
    unittest.main()
