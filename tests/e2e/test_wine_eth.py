"""pendrel.exe -eth under Wine in a private network: discovery by broadcast,
the TCP connection and a password login, then a whole TXC7390 job; and a
datagram too long for the receive buffer, which Winsock fails.

Winsock's sockets are made by the wineserver, so the prefix's server is
started inside the programmer's namespace before any Wine program runs, and
the run goes ahead only while that server is seen to live there. Every Wine
program of the prefix runs in that namespace too; nothing of this test ever
sends from the machine's own network."""
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import winelib  # noqa: E402

MKIMAGE = os.path.join(winelib.SOURCE, "scripts", "mkimage")
IDENT = b"Talo Simulated Controller V1.00"
PASSWORD = "w0rd-of-16-chars"


def events(log_path, kind):
    with open(log_path) as log:
        records = [json.loads(line) for line in log if line.strip()]
    return [r for r in records if r.get("event") == kind]


def main():
    netns.skip_unless_possible()
    winelib.require_wine()
    checks = netns.Checks()
    with tempfile.TemporaryDirectory(prefix="pendrel-wine-eth-") as scratch:
        image_path = os.path.join(scratch, "image.bin")
        subprocess.run([sys.executable, MKIMAGE, "-o", image_path, "--model", "TXC7390", "--size",
                        "150000", "--seed", "9"], check=True, stdout=subprocess.DEVNULL, timeout=60)
        with open(image_path, "rb") as f:
            image = f.read()
        log_path = os.path.join(scratch, "sim.jsonl")
        flash_path = os.path.join(scratch, "flash.bin")
        with netns.Lab(controllers=1) as lab, winelib.Prefix(netns=lab.host) as wine:
            sim = lab.start_sim(0, ["--model", "TXC7390", "--log", log_path, "--flash-out",
                                    flash_path, "--password", PASSWORD, "--method", "3"])
            if not wine.server_in_namespace():
                raise RuntimeError("the wineserver left the test's namespace; not running -eth")
            print("case: whole job over Ethernet with a password")
            code, out, err = wine.run([image_path, "-eth", "-w" + PASSWORD], timeout=180)
            lab.stop_sim(sim)
            # Winsock fails a receive into a buffer too short for the datagram
            # (WSAEMSGSIZE): the collection ends there, before the real reply.
            print("case: oversize datagram before the reply")
            sim = lab.start_sim(0, ["--model", "TXC7390", "--oversize-datagram"])
            if not wine.server_in_namespace():
                raise RuntimeError("the wineserver left the test's namespace; not running -eth")
            code2, out2, _ = wine.run([image_path, "-eth"], timeout=60)
            lab.stop_sim(sim)
        checks.expect(code2 == 1, "oversize datagram: exit code %d" % code2)
        checks.expect(out2.endswith(b"\r\nFound no Talo devices over Ethernet\r\n\r\n"
                                    b"Press any key to exit program"),
                      "oversize datagram: end of output %r" % out2[-120:])
        lines = out.splitlines()
        checks.expect(code == 0, "exit code %d: %r %r" % (code, lines[-4:], err[-300:]))
        checks.expect(b"\r\n" + IDENT + b"\r\n" in out, "identification line missing: %r" % lines[:6])
        checks.expect(out.endswith(b" - Ok - Verifying - Ok\r\n\r\nPress any key to exit program"),
                      "end of output %r" % out[-120:])
        flash = open(flash_path, "rb").read() if os.path.exists(flash_path) else b""
        checks.expect(flash == image, "flash differs from the image (%d of %d bytes)"
                      % (len(flash), len(image)))
        frames = events(log_path, "frame")
        writes = [f for f in frames if f.get("command") == "write"]
        lengths = [int.from_bytes(bytes.fromhex(f["frame"])[5:7], "big") for f in writes]
        checks.expect(lengths and max(lengths) == 2048, "largest write %r, expected 2048"
                      % (max(lengths) if lengths else None))
        summary = events(log_path, "summary")
        checks.expect(summary and summary[0].get("hostFaults") == 0, "summary %r" % summary)
        checks.expect(frames and frames[-1].get("command") == "reboot", "no reboot at the end")
    checks.finish()


if __name__ == "__main__":
    main()
