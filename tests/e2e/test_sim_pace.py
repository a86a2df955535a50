"""talo-sim serial --pace: a burst of loader pings takes at least the time its
bytes need on the line both ways, and the summary counts those bytes and that
time exactly (the benchmarks take their minimum from it)."""
import os
import re
import sys
import termios
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simlib  # noqa: E402

RATE = 9600
PINGS = 100
LINE_RE = re.compile(r"^talo-sim: line: (\d+) bytes to the controller, (\d+) to the host, "
                     r"(\d+) us on the wire, (\d+) us controller time, (\d+) us paced late$", re.M)


def open_port(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.PARENB | termios.CRTSCTS)) | \
        termios.CS8 | termios.CSTOPB | termios.CREAD | termios.CLOCAL
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def main():
    failures = []
    with simlib.Sim("serial", ["--pace", "--start", "loader", "--rate", str(RATE), "--quiet"]) as sim:
        fd = open_port(sim.port)
        try:
            began = time.monotonic()
            os.write(fd, bytes([0xAA, 0x27]) * PINGS)
            got = b""
            deadline = began + 10
            while len(got) < PINGS and time.monotonic() < deadline:
                os.set_blocking(fd, False)
                try:
                    got += os.read(fd, 256)
                except BlockingIOError:
                    time.sleep(0.005)
            elapsed = time.monotonic() - began
        finally:
            os.close(fd)
        sim.stop()
        out = sim.output()

    wire_s = (2 * PINGS + PINGS) * 11 / RATE
    if got != b"\x06" * PINGS:
        failures.append("expected %d ACKs, got %r" % (PINGS, got[:20]))
    # A lower bound only: the pings in, the controller's 50 us for each, and
    # the ACKs back, one after the other at 11 bits a byte.
    least = wire_s + PINGS * 50e-6
    if elapsed < least - 0.001:
        failures.append("pings answered in %.3f s, the line needs %.3f s" % (elapsed, least))
    m = LINE_RE.search(out)
    if not m:
        failures.append("no line totals in the summary:\n" + out)
    else:
        to_ctrl, to_host, wire_us, busy_us, _late_us = (int(x) for x in m.groups())
        if (to_ctrl, to_host) != (2 * PINGS, PINGS):
            failures.append("byte counts %d/%d, expected %d/%d" % (to_ctrl, to_host, 2 * PINGS, PINGS))
        if abs(wire_us - wire_s * 1e6) > 2:
            failures.append("wire time %d us, expected %.0f" % (wire_us, wire_s * 1e6))
        if busy_us == 0:
            failures.append("no controller time counted for %d pings" % PINGS)
    for f in failures:
        print("FAIL: " + f)
    if failures:
        sys.exit(1)
    print("paced %.3f s for %.3f s of line time; totals %s" % (elapsed, wire_s, m.group(0)))


if __name__ == "__main__":
    main()
