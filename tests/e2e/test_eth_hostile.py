"""A hostile controller in a private network: after a proper discovery
reply it floods the login with one-byte blocks, long blocks, or sends a
challenge cut short. The programmer must end each run with the time-out
status and exit code 1, in bounded time, without crashing."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

TIMEOUT = "Got no repsone from device (Timeout)"

# Runs inside the controller's namespace: answers the broadcast from port
# 3006 and then misbehaves on the TCP connection for at most 20 seconds.
CONTROLLER = r'''
import socket, sys, time
mode = sys.argv[1]
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("0.0.0.0", 3005))
reply = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
reply.bind(("0.0.0.0", 3006))
tcp = socket.socket()
tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
tcp.bind(("0.0.0.0", 3006))
tcp.listen(1)
print("ready", flush=True)
request, host = udp.recvfrom(64)
reply.sendto(b"zarn" + bytes(50), host)
conn, _ = tcp.accept()
conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
end = time.monotonic() + 20
sent = 0
try:
    if mode == "cut-challenge":
        conn.sendall(b"\xff" * 40)
        time.sleep(0.05)
        conn.sendall(b"\x24\x03" + bytes(10))
        conn.settimeout(5)
        answer = b""
        while True:
            chunk = conn.recv(256)
            if not chunk:
                break
            answer += chunk
        print("answer", answer.hex(), flush=True)
    while mode != "cut-challenge" and time.monotonic() < end:
        if mode == "one-byte":
            conn.send(b"\x23")
            time.sleep(0.003)
        else:
            conn.sendall(b"\x06\x23" * 2048)
        sent += 1
except OSError as e:
    print("answer", answer.hex() if mode == "cut-challenge" else "", flush=True)
print("sent", sent, flush=True)
'''


def main():
    netns.skip_unless_possible()
    checks = netns.Checks()
    for mode in ("one-byte", "long", "cut-challenge"):
        print("case: " + mode)
        with netns.Lab(controllers=1) as lab:
            controller = subprocess.Popen(
                ["ip", "netns", "exec", lab.controllers[0], sys.executable, "-c", CONTROLLER, mode],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            lab.sims.append(controller)  # the lab kills it on the way out
            checks.expect(controller.stdout.readline().startswith(b"ready"), mode + ": no controller")
            started = time.monotonic()
            code, out, _ = lab.run_pendrel(["missing-image.bin", "-eth", "-wpw"], timeout=60)
            elapsed = time.monotonic() - started
            rest, _ = controller.communicate(timeout=30)
        lines = out.decode(errors="replace").splitlines()
        checks.expect(code == 1, "%s: exit code %d" % (mode, code))
        checks.expect(TIMEOUT in lines, "%s: no line %r in %r" % (mode, TIMEOUT, lines))
        if mode == "cut-challenge":
            # A challenge cut short is never answered.
            checks.expect(b"answer \n" in rest, "%s: the programmer answered: %r" % (mode, rest))
        print("  ended after %.1f s" % elapsed)
    checks.finish()


if __name__ == "__main__":
    main()
