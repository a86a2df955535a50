"""pendrel-station list on a made-up machine: a sysfs and /dev tree with
USB-serial, ACM and on-board ports, a bulk and a HID Talo controller, and
near misses that must be left out (PENDREL_STATION_ROOT puts /sys and /dev there)."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import stationlib  # noqa: E402
from stationlib import run_station  # noqa: E402

PCI = "sys/devices/pci0000:00/0000:00:14.0"


class FakeMachine:
    def __init__(self, root):
        self.root = root

    def attrs(self, path, **values):
        full = os.path.join(self.root, path)
        os.makedirs(full, exist_ok=True)
        for name, value in values.items():
            with open(os.path.join(full, name), "w") as f:
                f.write(value + "\n")
        return full

    def link(self, path, target):
        full = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        os.symlink(target, full)

    def usb(self, path, vendor, product, serial=None, name=None, bus="1", dev="2"):
        values = dict(idVendor=vendor, idProduct=product, busnum=bus, devnum=dev)
        if serial:
            values["serial"] = serial
        if name:
            values["product"] = name
        return self.attrs(path, **values)

    def tty(self, name, device):
        self.attrs("sys/class/tty/" + name)
        if device:
            self.link("sys/class/tty/%s/device" % name, os.path.join(self.root, device))
        self.attrs("dev")
        open(os.path.join(self.root, "dev", name), "w").close()


class List(unittest.TestCase):
    def setUp(self):
        stationlib.require_station()
        self.tmp = tempfile.TemporaryDirectory()
        self.m = FakeMachine(self.tmp.name)

    def tearDown(self):
        self.tmp.cleanup()

    def test_ports_and_controllers_one_line_each(self):
        m = self.m
        m.usb(PCI + "/usb1/1-2", "0403", "6001", serial="A1B2C3", name="FT232R USB UART")
        m.attrs(PCI + "/usb1/1-2/1-2:1.0/ttyUSB0")
        m.tty("ttyUSB0", PCI + "/usb1/1-2/1-2:1.0/ttyUSB0")
        m.link("dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0", "../../ttyUSB0")
        m.usb(PCI + "/usb1/1-3", "2e8a", "000a", serial="E6614C")
        m.attrs(PCI + "/usb1/1-3/1-3:1.0")
        m.tty("ttyACM0", PCI + "/usb1/1-3/1-3:1.0")
        m.attrs("sys/devices/platform/serial8250")   # an on-board UART slot: not listed
        m.tty("ttyS0", "sys/devices/platform/serial8250")
        m.tty("tty0", None)                           # a virtual console: not listed
        m.usb(PCI + "/usb3/3-1", "0483", "1512", serial="TALO0042", name="Talo Bulk", bus="3", dev="7")
        m.link("sys/bus/usb/devices/3-1", os.path.join(m.root, PCI, "usb3/3-1"))
        m.usb(PCI + "/usb3/3-2", "0483", "5740", name="Other")   # same vendor, not ours
        m.link("sys/bus/usb/devices/3-2", os.path.join(m.root, PCI, "usb3/3-2"))
        for n, (dev, product) in enumerate([("1-4", "Talo Controller"), ("1-5", "Talo Controller 2")], start=2):
            m.usb(PCI + "/usb1/" + dev, "0483", "5750", serial="H%d" % n, name=product)
            hid = m.attrs(PCI + "/usb1/%s/%s:1.0/0003:0483:5750.000%d" % (dev, dev, n))
            m.attrs("sys/class/hidraw/hidraw%d" % n)
            m.link("sys/class/hidraw/hidraw%d/device" % n, hid)
        env = dict(os.environ, PENDREL_STATION_ROOT=m.root)
        rc, out, err = run_station(["list"], env=env, timeout=30)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(out.splitlines(), [
            "serial  /dev/ttyACM0  2e8a:000a  serial E6614C",
            "serial  /dev/ttyUSB0  0403:6001  serial A1B2C3  /dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0",
            "usb-bulk  usb:3-1  usb:serial=TALO0042  /dev/bus/usb/003/007  0483:1512  Talo Bulk",
            "usb-hid  usb:1-4  usb:serial=H2  /dev/hidraw2  0483:5750  Talo Controller",
        ])

    def test_all_serial_takes_the_listed_ports_once(self):
        m = self.m
        for n, name in enumerate(["ttyUSB0", "ttyACM0"]):
            m.usb(PCI + "/usb1/1-%d" % n, "0403", "6001", serial="S%d" % n)
            m.attrs(PCI + "/usb1/1-%d/1-%d:1.0" % (n, n))
            m.tty(name, PCI + "/usb1/1-%d/1-%d:1.0" % (n, n))
        # A stand-in pendrel: these device paths may exist on this machine, and
        # nothing may be sent to them.
        fake = stationlib.fake_pendrel(os.path.join(m.root, "pendrel"), 'echo "port $2"\nexit 1\n')
        image = os.path.join(m.root, "image.bin")
        open(image, "wb").close()
        env = dict(os.environ, PENDREL_STATION_ROOT=m.root, PENDREL_STATION_PENDREL=fake)
        rc, out, err = run_station(["program", image, "/dev/ttyUSB0", "--all-serial"], env=env, timeout=30)
        self.assertEqual(rc, 1, out + err)
        failed = sorted(line for line in out.splitlines() if ": FAILED: " in line)
        self.assertEqual(failed, ["/dev/ttyACM0: FAILED: port -p/dev/ttyACM0",
                                  "/dev/ttyUSB0: FAILED: port -p/dev/ttyUSB0"])

    def test_named_units_reach_their_pendrel_through_its_environment(self):
        m = self.m
        for port, serial, node in (("1-1.4", "H2", 2), ("1-1.3", "H3", 3)):
            m.usb(PCI + "/usb1/1-1/" + port, "0483", "5750", serial=serial, name="Talo Controller")
            hid = m.attrs(PCI + "/usb1/1-1/%s/%s:1.0/0003:0483:5750.000%d" % (port, port, node))
            m.attrs("sys/class/hidraw/hidraw%d" % node)
            m.link("sys/class/hidraw/hidraw%d/device" % node, hid)
        # A stand-in pendrel that says what it was given; nothing is sent anywhere.
        fake = stationlib.fake_pendrel(os.path.join(m.root, "pendrel"),
                                       'shift\necho "usb=$PENDREL_USB_DEVICE eth=$PENDREL_ETH_ADDRESS '
                                       'pw=$PENDREL_PASSWORD args=$*"\nexit 1\n')
        image = os.path.join(m.root, "image.bin")
        open(image, "wb").close()
        log = os.path.join(m.root, "units.jsonl")
        # The station's own variables never pick a unit's controller; -w wins over its password.
        env = dict(os.environ, PENDREL_STATION_ROOT=m.root, PENDREL_STATION_PENDREL=fake,
                   PENDREL_USB_DEVICE="9-9", PENDREL_ETH_ADDRESS="10.9.9.9", PENDREL_PASSWORD="outer")
        units = ["usb:1-1.4", "usb:serial=H3", "eth:192.0.2.7", "/dev/ttyFAKE"]
        rc, out, err = run_station(["program", image, *units, "-wSecret", "-b9600", "--log", log],
                                   env=env, timeout=30)
        self.assertEqual(rc, 1, out + err)
        said = {line.split(": FAILED: ")[0]: line.split(": FAILED: ")[1]
                for line in out.splitlines() if ": FAILED: " in line}
        self.assertEqual(said, {
            "usb:1-1.4": "usb=1-1.4 eth= pw=Secret args=-usb -b9600",
            "usb:serial=H3": "usb=serial=H3 eth= pw=Secret args=-usb -b9600",
            "eth:192.0.2.7": "usb= eth=192.0.2.7 pw=Secret args=-eth -b9600",
            "/dev/ttyFAKE": "usb= eth= pw=Secret args=-p/dev/ttyFAKE -b9600",
        })
        with open(log) as f:
            records = {r["port"]: r for r in stationlib.json_lines(f.read(), "log")}
        self.assertEqual([(records[u]["link"], records[u]["usb_serial"], records[u]["usb_location"])
                          for u in units],
                         [("usb", "H2", "1-1.4"), ("usb", "H3", "1-1.3"), ("eth", None, None), ("serial", None, None)])
        # One controller by its port and by its serial number: two pendrels would fight over it.
        rc, out, err = run_station(["program", image, "usb:1-1.4", "usb:/dev/hidraw3", "usb:serial=H2"],
                                   env=env, timeout=30)
        self.assertEqual((rc, out, err), (2, "", "pendrel-station: controller named twice: usb:1-1.4 and "
                                                 "usb:serial=H2\n"))

    def test_an_empty_machine_says_so(self):
        self.m.attrs("sys/class/tty")
        env = dict(os.environ, PENDREL_STATION_ROOT=self.m.root)
        rc, out, _ = run_station(["list"], env=env, timeout=30)
        self.assertEqual(rc, 0)
        self.assertEqual(out, "no serial ports and no Talo USB controllers found\n")


if __name__ == "__main__":
    unittest.main(verbosity=2)
