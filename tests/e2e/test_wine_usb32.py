"""The shipped 32-bit pendrel.exe over USB under Wine: whole -usb jobs against
simulated bulk (WinUSB) and HID controllers.

No Wine can carry a WinUSB device, and a 32-bit Wine cannot reach the
emulated hidraw nodes of the 64-bit route (tests/umockdev/wine_hid_test.cpp).
So the prefix gets the Windows build's test hid.dll and winusb.dll
(build/<preset>/wine-usb) in its system folder, where pendrel.exe loads its
DLLs from, and WINEDLLOVERRIDES=hid,winusb=n makes Wine take them over its
own; talo-sim-usb.exe enters the devices in SetupAPI and serves them, with
the simulator's engine behind each controller. Wine's own USB and HID buses
are off in this prefix, so nothing here ever reaches a device of the machine.

Real here: the search through Wine's SetupAPI (the 32-bit detail record),
the device path and CreateFileA, every entry point loaded at run time and
called with the 32-bit calling convention, the overlapped reads with their
waits and aborts, and every decision of both links. What the DLLs answer in
place of Windows' drivers is ours (docs/DEVELOPMENT.md says what that leaves
to real Windows). The DLLs log each call they get; the tests read the log.
"""
import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matrixlib  # noqa: E402
import stationlib  # noqa: E402
import winelib  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402
from test_cmdline import BANNER  # noqa: E402

IDENT = b"Talo Simulated Controller V1.00\n"
NO_MACHINE_DEVICES = "winebus.sys,wineusb.sys=d"
TEST_DLLS = "hid,winusb=n"
# The identification query's frame, as pendrel sends it.
IDENT_QUERY = "AA3F49"


def progress(size, block, blocks=None):
    """The progress line of a job: its first text and the redraws of its
    first `blocks` blocks (all of them when None)."""
    first = "Total size is %dkB" % (size >> 10)
    text, printed, written = first, len(first), 0
    end = size if blocks is None else min(size, blocks * block)
    while written < end:
        written += min(block, size - written)
        redraw = matrixlib.progress_text(size, written)
        if redraw:
            text, printed = text + "\b" * printed + redraw, len(redraw)
    return text.encode()


def complete_run(size, block, verifies):
    return (BANNER + IDENT + b"Programming application data: " + progress(size, block)
            + (b" - Ok - Verifying - Ok\n" if verifies else b" - Ok\n") + PROMPT)


class Host:
    """One talo-sim-usb.exe: its devices while it runs; its report, the
    devices' flash and the DLLs' call log once it has ended."""

    def __init__(self, prefix, folder, args):
        self.prefix, self.folder = prefix, folder
        shutil.rmtree(folder, ignore_errors=True)
        os.mkdir(folder)
        self.out = tempfile.TemporaryFile()
        exe = os.path.join(os.path.dirname(winelib.PENDREL_EXE), "wine-usb", "talo-sim-usb.exe")
        self.proc = subprocess.Popen([winelib.WINE, exe] + list(args), env=prefix.env,
                                     stdin=subprocess.PIPE, stdout=self.out, stderr=self.out,
                                     start_new_session=True)
        deadline = time.monotonic() + 180
        while not os.path.exists(os.path.join(folder, "ready")):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.out.seek(0)
                text = self.out.read().decode(errors="replace")
                self.end()
                raise RuntimeError("talo-sim-usb did not start: " + text)
            time.sleep(0.1)

    def end(self):
        """Closes the host's standard input and waits for it; a host that
        does not end is killed, and False returned."""
        ended = True
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=120)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, 9)
                self.proc.wait(timeout=10)
                self.prefix.kill_server()   # its devices' volatile entries go with the server
                ended = False
        self.out.close()
        return ended

    def stop(self):
        if not self.end():
            raise RuntimeError("talo-sim-usb did not end")
        self.report = {}
        with open(os.path.join(self.folder, "report.txt")) as f:
            for line in f:
                fields = dict(item.split("=") for item in line.split())
                self.report[int(fields["device"])] = {k: v if k == "kind" else int(v)
                                                      for k, v in fields.items()}
        log = os.path.join(self.folder, "calls.log")
        self.calls = []
        if os.path.exists(log):
            with open(log) as f:
                self.calls = [re.sub(r"^\[\d+\] ", "", line.rstrip("\n")) for line in f]

    def flash(self, device):
        with open(os.path.join(self.folder, "device%d.flash" % device), "rb") as f:
            return f.read()


class WineUsb32(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="pendrel-wine-usb32-")
        cls.prefix = winelib.Prefix(dll_overrides=NO_MACHINE_DEVICES).__enter__()
        try:
            system = os.path.join(cls.prefix.path, "drive_c", "windows", "system32")
            for dll in ("hid.dll", "winusb.dll"):
                shutil.copy(os.path.join(os.path.dirname(winelib.PENDREL_EXE), "wine-usb", dll), system)
            cls.prefix.env["WINEDLLOVERRIDES"] += ";" + TEST_DLLS
            cls.prefix.start_server()
        except BaseException:
            cls.prefix.close()
            raise
        cls.folder = os.path.join(cls.prefix.path, "drive_c", "pendrel-usb")

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @contextlib.contextmanager
    def devices(self, *args):
        host = Host(self.prefix, self.folder, args)
        try:
            yield host
        finally:
            host.stop()

    def image(self, model, size):
        path = stationlib.make_image(self.tmp, model, size)
        return path, stationlib.read(path)

    def pendrel(self, image, timeout=120):
        rc, out, err = self.prefix.run([image, "-usb"], timeout=timeout)
        self.assertEqual(err, b"")
        self.last_output = out.decode(errors="replace")
        return rc, out

    def expect_output(self, out, lines):
        self.assertEqual(out, winelib.crlf(lines), out.decode(errors="replace"))

    def assert_no_unexpected_call(self, host):
        self.assertEqual([c for c in host.calls if "unexpected" in c or "invalid" in c], [])

    def test_bulk_controller_beside_other_devices(self):
        # Family 3 (flush and verify) through WinUSB. Before it in the
        # search: a device of another vendor, left alone, and a controller
        # that cannot be opened (another program holds it), passed over.
        path, image = self.image("TXC7390", 40 * 1024 + 77)
        with self.devices("--bulk", "--vendor", "0482", "--inert",
                          "--bulk", "--model", "TXC7390", "--unopenable",
                          "--bulk", "--model", "TXC7390") as host:
            rc, out = self.pendrel(path)
        self.assertEqual(rc, 0, self.last_output)
        self.expect_output(out, complete_run(len(image), 2048, True))
        self.assertEqual(host.flash(2), image)
        other, held, device = host.report[0], host.report[1], host.report[2]
        self.assertEqual((other["connections"], other["transfers"], other["stray"]), (1, 0, 0))
        self.assertEqual((held["connections"], held["transfers"]), (0, 0))
        self.assertEqual((device["connections"], device["zero_length"], device["host_faults"]), (2, 1, 0))
        calls = host.calls
        self.assert_no_unexpected_call(host)
        # The search reads each device's descriptor; the open takes
        # alternate setting 0's bulk pipes (the interrupt one passed over),
        # sets the OUT pipe's time-out and sends the empty packet, all before
        # the reader's first read.
        search = ["WinUsb_Initialize device=%d",
                  "WinUsb_GetDescriptor device=%d type=1 index=0 length=18 transferred=18",
                  "WinUsb_Free device=%d"]
        self.assertEqual(calls[:13], [c % 0 for c in search] + [c % 2 for c in search] + [
            "WinUsb_Initialize device=2",
            "WinUsb_QueryInterfaceSettings setting=0 endpoints=3",
            "WinUsb_QueryPipe setting=0 index=0 type=3 id=0x83 packet=64",
            "WinUsb_QueryPipe setting=0 index=1 type=2 id=0x81 packet=64",
            "WinUsb_QueryPipe setting=0 index=2 type=2 id=0x01 packet=64",
            "WinUsb_SetPipePolicy pipe=0x01 policy=3 length=4 value=100",
            "WinUsb_WritePipe pipe=0x01 count=0 written=0 error=0 timeout=100"])
        self.assertTrue(all("pipe=0x81 length=2048" in c for c in calls if c.startswith("WinUsb_ReadPipe")))
        self.assertTrue(all("pipe=0x01" in c for c in calls if c.startswith("WinUsb_WritePipe")))
        # The send time-out never changes in a run: the open's policy and the
        # first send's, no more.
        self.assertEqual(sum(c.startswith("WinUsb_SetPipePolicy") for c in calls), 2)
        # The close: the pending read aborted and waited for, the interface
        # freed, the DLL unloaded.
        self.assertEqual(calls[-4:], ["WinUsb_AbortPipe pipe=0x81", "WinUsb_GetOverlappedResult error=995",
                                      "WinUsb_Free device=2", "winusb.dll freed"])
        self.assertEqual([c for c in calls if c.startswith("WinUsb_ReadPipe")][-1],
                         "WinUsb_ReadPipe pipe=0x81 length=2048 error=997")

    def test_hid_controller_beside_another_product(self):
        # Family 1 through HID.DLL; a HID device with another product
        # string comes first and gets no report.
        path, image = self.image("TXC5110", 20000)
        with self.devices("--hid", "--product", "Talo Controller2", "--inert",
                          "--hid", "--model", "TXC5110") as host:
            rc, out = self.pendrel(path)
        self.assertEqual(rc, 0, self.last_output)
        self.expect_output(out, complete_run(len(image), 256, False))
        self.assertEqual(host.flash(1), image)
        other, device = host.report[0], host.report[1]
        self.assertEqual((other["output_reports"], other["wrong_length"]), (0, 0))
        self.assertEqual((device["wrong_length"], device["host_faults"]), (0, 0))
        # 62 payload bytes a report: at least one report per 62 bytes written.
        self.assertGreater(device["output_reports"], len(image) // 62)
        self.assert_no_unexpected_call(host)
        self.assertEqual(host.calls, [
            "HidD_GetHidGuid",
            "HidD_GetAttributes device=0 size=12", "HidD_GetProductString device=0 bytes=128",
            "HidD_GetAttributes device=1 size=12", "HidD_GetProductString device=1 bytes=128",
            "HidD_GetPreparsedData device=1", "HidP_GetCaps input=65 output=65",
            "HidD_SetNumInputBuffers device=1 count=32", "HidD_FreePreparsedData",
            "HidD_SetNumInputBuffers device=1 count=32", "hid.dll freed"])

    def test_bulk_first_when_both_are_present(self):
        path, image = self.image("TXC7390", 10000)
        with self.devices("--hid", "--model", "TXC7390", "--serial", "HID00042",
                          "--bulk", "--model", "TXC7390", "--serial", "BULK0007", "--port", "4") as host:
            rc, out = self.pendrel(path)
            # The station's list finds both, each by the names pendrel takes.
            station = os.path.join(os.path.dirname(winelib.PENDREL_EXE), "pendrel-station.exe")
            list_rc, listed, _ = self.prefix.run(["list"], exe=station)
        self.assertEqual(rc, 0, self.last_output)
        self.expect_output(out, complete_run(len(image), 2048, True))
        self.assertEqual(host.flash(1), image)
        self.assertEqual(host.report[0]["output_reports"], 0)
        self.assertEqual(list_rc, 0)
        lines = listed.decode().splitlines()
        self.assertEqual(lines[-2:], [
            "usb-bulk  usb:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)  usb:serial=BULK0007"
            "  \\\\?\\usb#vid_0483&pid_1512#bulk0007#{ed48cb1d-d414-4427-b35f-5109f4305785}  0483:1512",
            "usb-hid  usb:PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)  usb:serial=HID00042"
            "  \\\\?\\hid#vid_0483&pid_5750#1&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"
            "  0483:5750  Talo Controller"])

    def test_silent_controller(self):
        path, _ = self.image("TXC7390", 3000)
        with self.devices("--bulk", "--model", "TXC7390", "--start", "silent") as host:
            rc, out = self.pendrel(path)
        self.assertEqual(rc, 1, self.last_output)
        self.expect_output(out, BANNER + b"No or invalid response from Talo device\n" + PROMPT)
        self.assertGreater(host.report[0]["transfers"], 1)

    def test_unplugged_mid_run(self):
        # At the 20th block the controller goes away: its interface leaves
        # and every open handle breaks. The bulk link's reader releases the
        # device when its read fails, so the close before the message finds
        # the link closed and says so; the HID link's writes keep failing
        # until the block's time is up.
        path, image = self.image("TXC7390", 60 * 1024)
        calls = {}
        for kind, block, last_line in (("--bulk", 2048, b"USB device is not open\n"),
                                       ("--hid", 256, b"Failed to write data to Flash\n")):
            with self.subTest(kind):
                with self.devices(kind, "--model", "TXC7390", "--fault", "write:20:drop") as host:
                    rc, out = self.pendrel(path)
                self.assertEqual(rc, 1, self.last_output)
                self.expect_output(out, BANNER + IDENT + b"Programming application data: "
                                   + progress(len(image), block, 19) + b"\nPrograming Error\n"
                                   + last_line + PROMPT)
                self.assertEqual(host.report[0]["gone"], 1)
                self.assertEqual(host.flash(0), image[:19 * block])
                self.assert_no_unexpected_call(host)
                calls[kind] = host.calls
        # The bulk reader's read failed as an unplugged device's does (at once,
        # or while pending: that depends on when the plug came out).
        failed_read = r"WinUsb_(ReadPipe pipe=0x81 length=2048|GetOverlappedResult) error=1167$"
        self.assertTrue(any(re.match(failed_read, c) for c in calls["--bulk"]), calls["--bulk"][-6:])

    def test_write_time_out_and_short_write(self):
        # The identification query's transfer is not taken within the OUT
        # pipe's time-out, or is taken one byte short: either way the send
        # fails with the link's own status; the time-out with the system's
        # text of the error WinUSB left ("Semaphore timeout." is Wine's text
        # for ERROR_SEM_TIMEOUT), the short transfer, which failed no call,
        # with none.
        path, _ = self.image("TXC7390", 3000)
        for option, text, counter, transfer in (
                ("--timeout-out", b"Semaphore timeout.\n", "timeouts", "written=0 error=121"),
                ("--short-out", b"", "short_writes", "written=2 error=0")):
            with self.subTest(option):
                with self.devices("--bulk", "--model", "TXC7390", option, IDENT_QUERY) as host:
                    rc, out = self.pendrel(path)
                self.assertEqual(rc, 1, self.last_output)
                self.expect_output(out, BANNER + b"Error writing data to USB device\n" + text + PROMPT)
                self.assertEqual(host.report[0][counter], 1)
                # The OUT pipe's time-out in force is the one the link set.
                self.assertIn("WinUsb_WritePipe pipe=0x01 count=3 %s timeout=100" % transfer, host.calls)
                self.assertEqual(host.calls[-4:], ["WinUsb_AbortPipe pipe=0x81",
                                                   "WinUsb_GetOverlappedResult error=995",
                                                   "WinUsb_Free device=0", "winusb.dll freed"])


def require_test_devices():
    """Wine, and the Windows build's device host and test DLLs; exits 77, saying why, without them."""
    winelib.require_wine()
    for name in ("talo-sim-usb.exe", "hid.dll", "winusb.dll"):
        if not os.path.isfile(os.path.join(os.path.dirname(winelib.PENDREL_EXE), "wine-usb", name)):
            print("skipped: no %s beside %s (the Windows build makes it)" % (name, winelib.PENDREL_EXE))
            sys.exit(winelib.SKIP)


if __name__ == "__main__":
    require_test_devices()
    unittest.main()
