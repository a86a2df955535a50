#!/usr/bin/env python3
"""pendrel against a minimal host on the Ethernet and USB links: the same
recorded frames sent by a host that does nothing else, against the same
simulated controller in the same run, so that the ratio of the two wall
times is what pendrel itself adds.

  bench/links_bench.py [--build build/release] [--runs N] [--size BYTES] [--delayed-size BYTES]

  ethernet  pendrel -eth and bench/pendrel-eth-replay (discovery with its
            500 ms collection, the greeting, the frames over TCP) against
            talo-sim ethernet, inside network namespaces of our own (root)
  usb       pendrel's links in-process (bench/pendrel-bench usb) and the
            same fake HID and bulk devices with the simulator's engine driven
            straight through their entry-point tables (pendrel-bench replay),
            with every reply 1 ms late (one full-speed USB frame: the goal)
            and at once, from inside the host's write (no goal: pendrel's
            reader thread hands each reply over, which the minimal host
            reading on its own thread never does)

Every pair of runs is checked to have moved the same bytes: the same frame
count, the same bytes each way as the controller counted them, the same
flash, no host fault. scripts/bench calls add_rows() for its table.
"""
import argparse
import ctypes
import hashlib
import json
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUMMARY_RE = re.compile(r"^talo-sim: summary: (\d+) frames, (\d+) bytes written, (\d+) host faults", re.M)
TCP_RE = re.compile(r"^talo-sim: tcp: (\d+) bytes from the host, (\d+) to the host$", re.M)
SPAWN_RE = re.compile(r"^SPAWN exit=(-?\d+) wall=([\d.]+) user=([\d.]+) sys=([\d.]+) maxrss=(\d+)$", re.M)
CLONE_NEWNET = 0x40000000
MODEL = "TXC7380"


class LinkBenchError(Exception):
    pass


def replay_script(log_path, out_path):
    """A replay script from a simulator log: every frame as it goes on the
    wire (each 0xAA after the first byte doubled), its reply's length, and
    the line rate a switch command moved to (bench/replay.c's format)."""
    with open(log_path) as f, open(out_path, "wb") as out:
        for text in f:
            e = json.loads(text)
            if e.get("event") != "frame":
                continue
            frame = bytes.fromhex(e["frame"])
            reply = bytes.fromhex(e.get("reply", ""))
            wire = frame[:1] + frame[1:].replace(b"\xaa", b"\xaa\xaa")
            rate = 0
            if e.get("command") == "baud" and reply[:1] == b"\x06":
                rate = int.from_bytes(frame[4:8], "big")
            out.write(struct.pack("=III", len(wire), len(reply), rate) + wire)


def _same(what, a, b):
    if a != b:
        raise LinkBenchError("%s differs between pendrel and the minimal host: %r against %r" % (what, a, b))


def _alternate(runs, what, fn_a, fn_b):
    """fn_a and fn_b in turn, so that a drift of the machine weighs on both."""
    a, b = [], []
    for i in range(runs):
        print("  %s, run %d of %d" % (what, i + 1, runs), flush=True)
        a.append(fn_a())
        b.append(fn_b())
    return a, b


def _ratios(pendrel, minimal):
    """Each pendrel run over the median minimal host run, as the serial rows do."""
    floor = statistics.median(r["wall"] for r in minimal)
    return [r["wall"] / floor for r in pendrel]


# --- Ethernet ---------------------------------------------------------------

def _enter_netns(name):
    """preexec_fn: the child starts inside namespace `name` or not at all;
    nothing that broadcasts ever runs in the machine's own network."""
    libc = ctypes.CDLL(None, use_errno=True)

    def enter():
        fd = os.open("/run/netns/" + name, os.O_RDONLY)
        if libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + name)
        os.close(fd)
    return enter


def _spawn(build, program, args, netns_name, timeout):
    """program through pendrel-spawn (no controlling terminal, wall time
    from fork to wait4) inside the namespace; (exit code, wall s, output)."""
    proc = subprocess.run([os.path.join(build, "bench", "pendrel-spawn"), program] + args,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          preexec_fn=_enter_netns(netns_name), timeout=timeout)
    m = SPAWN_RE.search(proc.stderr.decode(errors="replace"))
    if proc.returncode != 0 or not m:
        raise LinkBenchError("pendrel-spawn failed: %r" % proc.stderr)
    return int(m.group(1)), float(m.group(2))


def _eth_once(lab, build, workdir, program, args, log=None, timeout=600):
    flash = os.path.join(workdir, "eth-flash.bin")
    sim = lab.start_sim(0, ["--model", MODEL, "--quiet", "--exit-after-reboot", "--flash-out", flash]
                        + (["--log", log] if log else []))
    try:
        code, wall = _spawn(build, program, args, lab.host, timeout)
    finally:
        try:
            sim.wait(timeout=5)  # it ends by itself once the host has gone
        except subprocess.TimeoutExpired:
            pass
        status, out = lab.stop_sim(sim)
    out = out.decode(errors="replace")
    summary, tcp = SUMMARY_RE.search(out), TCP_RE.search(out)
    if code != 0 or not summary or not tcp or int(summary.group(3)) != 0:
        raise LinkBenchError("Ethernet run of %s failed (exit %d):\n%s" % (os.path.basename(program), code, out))
    with open(flash, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    os.unlink(flash)
    return {"wall": wall, "frames": int(summary.group(1)), "written": int(summary.group(2)),
            "from_host": int(tcp.group(1)), "to_host": int(tcp.group(2)), "flash": digest}


def ethernet(build, workdir, image, runs):
    """pendrel -eth and pendrel-eth-replay in one namespace lab, in turn.
    Needs root; the caller has checked."""
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    import netns
    netns.TALO_SIM = os.path.join(build, "talo-sim")
    pendrel = os.path.join(build, "pendrel")
    replay = os.path.join(build, "bench", "pendrel-eth-replay")
    script = os.path.join(workdir, "eth.replay")
    log = os.path.join(workdir, "eth-log.jsonl")
    with netns.Lab(controllers=1) as lab:
        print("  Ethernet %d bytes, recording the frames" % os.path.getsize(image), flush=True)
        _eth_once(lab, build, workdir, pendrel, [image, "-eth"], log=log)
        replay_script(log, script)
        os.unlink(log)
        p, m = _alternate(runs, "Ethernet, pendrel and the minimal host",
                          lambda: _eth_once(lab, build, workdir, pendrel, [image, "-eth"]),
                          lambda: _eth_once(lab, build, workdir, replay, [script]))
    for key in ("frames", "written", "from_host", "to_host", "flash"):
        for run in p + m:
            _same(key, p[0][key], run[key])
    return {"pendrel": [r["wall"] for r in p], "minimal": [r["wall"] for r in m],
            "ratio": _ratios(p, m), "frames": p[0]["frames"], "from_host": p[0]["from_host"],
            "to_host": p[0]["to_host"]}


# --- USB --------------------------------------------------------------------

def _bench(build, args, timeout=900):
    proc = subprocess.run([os.path.join(build, "bench", "pendrel-bench")] + args, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    text = proc.stdout.decode(errors="replace")
    lines = [l for l in text.splitlines() if l.startswith("BENCH ")]
    if proc.returncode != 0 or not lines or not json.loads(lines[-1][6:]).get("ok"):
        raise LinkBenchError("pendrel-bench %s failed:\n%s" % (" ".join(args), text[-2000:]))
    return json.loads(lines[-1][6:])


def usb(build, workdir, link, image, runs, delay_us=0):
    """pendrel's link in-process and the minimal host over the same fake
    device and engine, in turn."""
    script = os.path.join(workdir, "%s.replay" % link)
    delay = ["--delay-us", str(delay_us)] if delay_us else []
    print("  USB %s %d bytes, recording the frames" % (link, os.path.getsize(image)), flush=True)
    _bench(build, ["usb", link, image, MODEL, "--record", script])
    what = "USB %s, replies %s, pendrel and the minimal host" % (
        link, "%d us late" % delay_us if delay_us else "at once")
    p, m = _alternate(runs, what,
                      lambda: _bench(build, ["usb", link, image, MODEL] + delay),
                      lambda: _bench(build, ["replay", link, script, MODEL] + delay))
    for key in ("frames", "bytes", "toDevice", "toHost", "writes", "flash"):
        for run in p + m:
            _same(key, p[0][key], run[key])
    for r in p + m:
        r["wall"] = r["wallS"]
    return {"pendrel": [r["wall"] for r in p], "minimal": [r["wall"] for r in m],
            "ratio": _ratios(p, m), "frames": p[0]["frames"], "to_device": p[0]["toDevice"],
            "to_host": p[0]["toHost"]}


GOAL = 1.02


def _goal_note(ratios):
    met = ratios and statistics.median(ratios) <= GOAL
    return "<= %.2f: %s" % (GOAL, "met" if met else "MISSED")


def _rows(table, title, r, unit_note, goal=True):
    table.add(title + ": pendrel wall", r["pendrel"], "s", "%.3f", unit_note)
    table.add("  the minimal host's wall", r["minimal"], "s", "%.3f")
    table.add("  pendrel / minimal host", r["ratio"], "", "%.4f",
              _goal_note(r["ratio"]) if goal else "no goal: see the note below")


def add_rows(table, build, workdir, eth_image, usb_image, delayed_image, runs, eth_skip=None):
    """scripts/bench's part: the rows of every link against its minimal host."""
    print("every link against a minimal host ...", flush=True)
    for program in ("pendrel", "talo-sim", "bench/pendrel-bench", "bench/pendrel-spawn",
                    "bench/pendrel-eth-replay"):
        if not os.access(os.path.join(build, program), os.X_OK):
            raise LinkBenchError("not built: " + os.path.join(build, program))
    if eth_skip:
        table.skip("Ethernet vs minimal host", eth_skip)
    else:
        r = ethernet(build, workdir, eth_image, runs)
        _rows(table, "Ethernet %d MB TXC7380" % round(os.path.getsize(eth_image) / 1e6), r,
              "%d frames, %d bytes out, %d back" % (r["frames"], r["from_host"], r["to_host"]))
    for link, name in (("hid", "USB HID"), ("bulk", "USB bulk")):
        r = usb(build, workdir, link, delayed_image, runs, delay_us=1000)
        _rows(table, "%s %d KB, replies 1 ms late" % (name, os.path.getsize(delayed_image) // 1024), r,
              "%d frames, %d bytes out, %d back" % (r["frames"], r["to_device"], r["to_host"]))
        r = usb(build, workdir, link, usb_image, runs)
        _rows(table, "%s %d MB, replies at once" % (name, round(os.path.getsize(usb_image) / 1e6)), r,
              "device answers inside the write", goal=False)


class _Table:
    """scripts/bench's table, reduced to what add_rows uses."""

    def __init__(self):
        self.rows = []

    def add(self, what, values, unit, fmt="%.3f", note=""):
        shown = [fmt % v for v in (min(values), statistics.median(values), max(values))]
        self.rows.append((what, *shown, unit, note))

    def skip(self, what, why):
        self.rows.append((what, "skipped", "", "", "", why))

    def print(self):
        for r in self.rows:
            print("%-44s %9s %9s %9s %-2s %s" % r)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=32000000, help="Ethernet and USB at once (bytes)")
    parser.add_argument("--delayed-size", type=int, default=512 * 1024, help="USB, replies 1 ms late")
    opts = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="pendrel-links-")
    mkimage = os.path.join(SOURCE, "scripts", "mkimage")

    def image(size):
        path = os.path.join(workdir, "img-%d.bin" % size)
        if not os.path.exists(path):
            subprocess.run([sys.executable, mkimage, "-o", path, "--model", MODEL, "--size", str(size)],
                           check=True, stdout=subprocess.DEVNULL, timeout=300)
        return path

    table = _Table()
    try:
        eth_skip = None if os.geteuid() == 0 else "network namespaces need root"
        add_rows(table, opts.build, workdir, image(opts.size), image(opts.size), image(opts.delayed_size),
                 opts.runs, eth_skip)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    table.print()


if __name__ == "__main__":
    try:
        main()
    except (LinkBenchError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as error:
        print("links_bench: %s" % error)
        sys.exit(1)
