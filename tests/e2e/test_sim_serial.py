"""talo-sim's serial front end, driven by a small scripted host on its
pseudo-terminal: a whole loader session, a rate switch (one standard rate,
one through termios2/BOTHER) and the garbling of wrong line settings."""
import fcntl
import os
import select
import struct
import sys
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simlib  # noqa: E402

TCGETS2, TCSETS2 = 0x802C542A, 0x402C542B
BOTHER, CBAUD = 0o010000, 0o010017
TERMIOS2 = "<IIIIB19sII"

PROBE = bytes.fromhex("1b7b2161")
START_LOADER = bytes.fromhex("1b7b21654e64")
PING = bytes.fromhex("aa27")
ACK = b"\x06"
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def escape(frame):
    return frame[:1] + b"".join(b"\xaa\xaa" if b == 0xAA else bytes([b]) for b in frame[1:])


def write_frame(offset, data):
    body = struct.pack(">HH", offset, len(data)) + data
    return b"\xaa\x7c\x57" + body + bytes([~sum(body) & 0xFF])


def open_port(path):
    return os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)


def set_line(fd, rate=termios.B115200, stop_bits=2):
    attrs = termios.tcgetattr(fd)
    attrs[0] = attrs[1] = attrs[3] = 0
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL | (termios.CSTOPB if stop_bits == 2 else 0)
    attrs[4] = attrs[5] = rate
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def set_rate_termios2(fd, rate):
    raw = bytearray(struct.calcsize(TERMIOS2))
    fcntl.ioctl(fd, TCGETS2, raw)
    fields = list(struct.unpack(TERMIOS2, raw))
    fields[2] = (fields[2] & ~CBAUD) | BOTHER
    fields[6] = fields[7] = rate
    fcntl.ioctl(fd, TCSETS2, struct.pack(TERMIOS2, *fields))


def transact(fd, frame, wait=0.4, expect=None):
    """Sends one escaped frame; collects the reply until `expect` bytes or the wait ends."""
    os.write(fd, escape(frame))
    reply, deadline = b"", time.monotonic() + wait
    while time.monotonic() < deadline and (expect is None or len(reply) < expect):
        ready, _, _ = select.select([fd], [], [], 0.02)
        if ready:
            try:
                reply += os.read(fd, 4096)
            except BlockingIOError:
                pass
    return reply


def loader_session():
    image = bytes(range(256)) * 4 + b"\xaa\xaa\x01"
    link = os.path.join(simlib.tempfile.mkdtemp(prefix="talo-link-"), "ttyTALO")
    sim = simlib.Sim("serial", ["--model", "TXC7390", "--ident", "Talo TX7 Loader 3.2", "--block-size", "2048",
                                "--exit-after-reboot", "--flash-out", "FLASH"], log=True, link=link)
    check(os.path.islink(link) and os.readlink(link).startswith("/dev/pts/"), "--link points at the pty")
    fd = open_port(sim.port)
    set_line(fd)
    check(transact(fd, PROBE, 0.3, 1) == ACK, "probe acknowledged by the application")
    check(transact(fd, START_LOADER, 0.3, 1) == ACK, "start loader acknowledged")
    check(transact(fd, PROBE, 0.2) == b"", "the loader is silent to the probe")
    check(transact(fd, bytes.fromhex("aa3f49"), 0.5, 21) == ACK + b"Talo TX7 Loader 3.2" + ACK, "identification")
    check(transact(fd, bytes.fromhex("aa3f43"), 0.5, 9) == ACK + b"TXC7390" + ACK, "model name")
    check(transact(fd, bytes.fromhex("aa7c3f57"), 0.5, 4) == bytes.fromhex("06080006"), "block size 2048")
    check(transact(fd, bytes.fromhex("aa7c4b"), 0.5, 1) == ACK, "NAND index erased")
    check(transact(fd, bytes.fromhex("aa7c700100"), 0.5, 1) == ACK, "page 256 selected")
    check(transact(fd, bytes.fromhex("aa7c450000"), 0.5, 1) == ACK, "page erased")
    check(transact(fd, write_frame(0, image), 0.5, 1) == ACK, "block written, AA bytes escaped")
    bad = bytearray(write_frame(0x2000, b"\x01\x02"))
    bad[-1] ^= 0xFF
    check(transact(fd, bytes(bad), 0.5, 1) == b"\x17", "wrong check byte answered 0x17")
    check(transact(fd, bytes.fromhex("aa7c4c"), 0.5, 1) == ACK, "flush")
    check(transact(fd, bytes.fromhex("aa7c56"), 0.5, 1) == ACK, "verify")
    check(transact(fd, bytes.fromhex("aa23"), 0.5, 1) == ACK, "reboot acknowledged")
    code = sim.wait(10)
    os.close(fd)
    check(code == 1, "exits after the reboot, non-zero for the bad check byte (got %r)" % code)
    check(not os.path.lexists(link), "link removed at exit")
    summary = sim.summary()
    check(summary is not None and summary["bytes"] == len(image) and summary["faults"] == 1,
          "summary counts the block and the host fault: %r" % summary)
    flash_path = os.path.join(sim.workdir, "FLASH")
    check(not os.path.exists(flash_path), "relative --flash-out lands in the simulator's cwd")
    frames = [e["command"] for e in sim.events("frame")]
    check(frames[:3] == ["probe", "loader", "probe"] and frames[-1] == "reboot", "frames logged: %r" % frames)
    check(any(e["event"] == "host-fault" and "check byte" in e["text"] for e in sim.events()),
          "host fault logged")
    if os.path.exists("FLASH"):
        with open("FLASH", "rb") as f:
            check(f.read() == image, "flash contents from the base")
        os.remove("FLASH")
    else:
        check(False, "flash contents written")


def garbling_and_rates():
    sim = simlib.Sim("serial", ["--model", "TXC6260", "--start", "loader"], log=True)
    fd = open_port(sim.port)
    set_line(fd, stop_bits=1)
    check(transact(fd, PING, 0.3) == b"", "one stop bit: the ping is garbled, no answer")
    set_line(fd, rate=termios.B57600)
    check(transact(fd, PING, 0.3) == b"", "57600 baud: garbled")
    # Parity and data bits cannot be judged here: Linux's pty driver forces
    # CS8 without PARENB on every tcsetattr, so the host's choice never shows.
    set_line(fd)
    check(transact(fd, PING, 0.3, 1) == ACK, "8N2 at 115200: answered")
    check(transact(fd, bytes.fromhex("aa49420000070800"), 0.5, 1) == ACK, "460800 acknowledged at 115200")
    check(transact(fd, PING, 0.3) == b"", "host still at 115200: garbled")
    set_line(fd, rate=termios.B460800)
    check(transact(fd, PING, 0.3, 1) == ACK, "host at 460800: answered")
    check(transact(fd, bytes.fromhex("aa494200") + struct.pack(">I", 250000), 0.5, 1) == ACK,
          "250000 acknowledged")
    set_rate_termios2(fd, 250000)
    check(transact(fd, PING, 0.3, 1) == ACK, "host at 250000 through BOTHER: answered")
    os.close(fd)
    code = sim.stop()
    check(code == 1, "wrong line settings are host faults (exit %r)" % code)
    rx = sim.events("rx")
    check(any(e["garbled"] and e["stopBits"] == 1 for e in rx), "log shows the garbled 8N1 bytes")
    check(any(not e["garbled"] and e["rate"] == 250000 for e in rx), "log shows the host's termios2 rate")
    check(any(e["event"] == "host-fault" and "garbled" in e.get("text", "") for e in sim.events()),
          "garbling logged as a host fault")


def options_and_faults():
    sim = simlib.Sim("serial", ["--start", "loader", "--block-size", "none", "--fault", "ping:2:nak",
                                "--fault", "ident:1:drop", "--quiet"])
    fd = open_port(sim.port)
    set_line(fd)
    check(transact(fd, PING, 0.3, 1) == ACK, "--start loader answers the first ping")
    check(transact(fd, PING, 0.3, 1) == b"\x15", "--fault ping:2:nak")
    check(transact(fd, bytes.fromhex("aa7c3f57"), 0.3) == b"", "--block-size none leaves the query unanswered")
    check(transact(fd, bytes.fromhex("aa3f49"), 0.3) == b"", "--fault ident:1:drop answers nothing")
    code = sim.wait(5)
    os.close(fd)
    check(code == 0, "the dropped link ends the simulator cleanly (exit %r)" % code)
    check("(link dropped)" in sim.output(), "summary names the drop")

    for bad in (["--model", "TXC0000"], ["--fault", "jump:1:nak"], ["--fault", "ping:0:nak"],
                ["--block-size", "70000"], ["--bogus"]):
        r = simlib.subprocess.run([simlib.require_sim(), "serial"] + bad, capture_output=True, timeout=10,
                                  stdin=simlib.subprocess.DEVNULL)
        check(r.returncode == 2 and b"serial port" not in r.stdout, "refused: %s" % " ".join(bad))


def main():
    simlib.require_sim()
    os.chdir(simlib.tempfile.mkdtemp(prefix="talo-e2e-"))
    loader_session()
    garbling_and_rates()
    options_and_faults()
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
