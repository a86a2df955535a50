#!/usr/bin/env python3
"""pendrel against a minimal host on the Ethernet and USB links: the same
recorded frames sent by a host that does nothing else, against the same
simulated controller in the same run, so that the ratio of the two wall
times is what pendrel itself adds.

  bench/links_bench.py [--build build/release] [--runs N] [--eth-size BYTES]

  ethernet  pendrel -eth and bench/pendrel-eth-replay (discovery with its
            500 ms collection, the greeting, the frames over TCP) against
            talo-sim ethernet, inside network namespaces of our own (root)
  usb       pendrel's links in-process (bench/pendrel-bench usb) and the
            same fake HID and bulk devices with the simulator's engine driven
            straight through their entry-point tables (pendrel-bench replay)

Each link twice: paced, every reply held back for the controller's modelled
time for its command (the model of talo-sim serial --pace; the network and
the bus taken as instant), which is where the goal of at most 2% applies;
and unpaced, a controller that takes no time at all, where what is left is
the host's own work per frame, shown in microseconds beside it.

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
    from fork to wait4) inside the namespace; (exit code, wall s, CPU s)."""
    proc = subprocess.run([os.path.join(build, "bench", "pendrel-spawn"), program] + args,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          preexec_fn=_enter_netns(netns_name), timeout=timeout)
    m = SPAWN_RE.search(proc.stderr.decode(errors="replace"))
    if proc.returncode != 0 or not m:
        raise LinkBenchError("pendrel-spawn failed: %r" % proc.stderr)
    return int(m.group(1)), float(m.group(2)), float(m.group(3)) + float(m.group(4))


def _eth_once(lab, build, workdir, program, args, paced, log=None, timeout=600):
    flash = os.path.join(workdir, "eth-flash.bin")
    sim = lab.start_sim(0, ["--model", MODEL, "--quiet", "--exit-after-reboot", "--flash-out", flash]
                        + (["--pace"] if paced else []) + (["--log", log] if log else []))
    try:
        code, wall, cpu = _spawn(build, program, args, lab.host, timeout)
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
    return {"wall": wall, "cpu": cpu, "frames": int(summary.group(1)), "written": int(summary.group(2)),
            "from_host": int(tcp.group(1)), "to_host": int(tcp.group(2)), "flash": digest}


def _result(p, m, keys, counts):
    """Checks that every run moved the same bytes; the figures of a pair of
    series, the host CPU per frame of both."""
    for key in keys:
        for run in p + m:
            _same(key, p[0][key], run[key])
    frames = p[0]["frames"]
    return {"pendrel": [r["wall"] for r in p], "minimal": [r["wall"] for r in m], "ratio": _ratios(p, m),
            "frames": frames, "bytes": counts, "cpu": [1e6 * r["cpu"] / frames for r in p],
            "minimal_cpu": [1e6 * r["cpu"] / frames for r in m]}


def ethernet(lab, build, workdir, image, runs, paced):
    """pendrel -eth and pendrel-eth-replay against talo-sim ethernet in a
    namespace lab, in turn (root: the caller has made the lab)."""
    pendrel = os.path.join(build, "pendrel")
    replay = os.path.join(build, "bench", "pendrel-eth-replay")
    script = os.path.join(workdir, "eth.replay")
    log = os.path.join(workdir, "eth-log.jsonl")
    what = "Ethernet %d bytes%s" % (os.path.getsize(image), ", paced" if paced else "")
    print("  %s, recording the frames" % what, flush=True)
    _eth_once(lab, build, workdir, pendrel, [image, "-eth"], paced, log=log)
    replay_script(log, script)
    os.unlink(log)
    p, m = _alternate(runs, what + ", pendrel and the minimal host",
                      lambda: _eth_once(lab, build, workdir, pendrel, [image, "-eth"], paced),
                      lambda: _eth_once(lab, build, workdir, replay, [script], paced))
    return _result(p, m, ("frames", "written", "from_host", "to_host", "flash"),
                   (p[0]["from_host"], p[0]["to_host"]))


# --- USB --------------------------------------------------------------------

def _pin():
    """preexec_fn: the whole process on one processor, the machine's last."""
    os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})


def _bench(build, args, timeout=900, pinned=False):
    # The console goes to a file, as pendrel's goes to /dev/null in the
    # Ethernet runs: a pipe would wake this script at every progress line.
    with tempfile.TemporaryFile() as out:
        proc = subprocess.run([os.path.join(build, "bench", "pendrel-bench")] + args, stdin=subprocess.DEVNULL,
                              stdout=out, stderr=subprocess.STDOUT, timeout=timeout,
                              preexec_fn=_pin if pinned else None)
        out.seek(0)
        text = out.read().decode(errors="replace")
    lines = [l for l in text.splitlines() if l.startswith("BENCH ")]
    if proc.returncode != 0 or not lines or not json.loads(lines[-1][6:]).get("ok"):
        raise LinkBenchError("pendrel-bench %s failed:\n%s" % (" ".join(args), text[-2000:]))
    r = json.loads(lines[-1][6:])
    if "wallS" in r:  # the engine's time (and the delaying thread's) is the device's
        r.update(wall=r["wallS"], cpu=r["cpuS"] - r["engineCpuS"])
    return r


def usb(build, workdir, link, image, runs, paced, pinned=False):
    """pendrel's link in-process and the minimal host over the same fake
    device and engine, in turn; pinned: each on one processor."""
    script = os.path.join(workdir, "%s.replay" % link)
    pace = ["--pace"] if paced else []
    what = "USB %s %d bytes%s%s" % (link, os.path.getsize(image), ", paced" if paced else "",
                                    ", on one processor" if pinned else "")
    print("  %s, recording the frames" % what, flush=True)
    _bench(build, ["usb", link, image, MODEL, "--record", script])
    p, m = _alternate(runs, what + ", pendrel and the minimal host",
                      lambda: _bench(build, ["usb", link, image, MODEL] + pace, pinned=pinned),
                      lambda: _bench(build, ["replay", link, script, MODEL] + pace, pinned=pinned))
    r = _result(p, m, ("frames", "bytes", "toDevice", "toHost", "writes", "flash"),
                (p[0]["toDevice"], p[0]["toHost"]))
    r["waits"] = [x["voluntarySwitches"] / x["frames"] for x in p]
    r["minimal_waits"] = [x["voluntarySwitches"] / x["frames"] for x in m]
    return r


GOAL = 1.02
PACED_SIZE = 512 * 1024  # a controller's flash time: 256 HID or 2048 bulk/Ethernet blocks, 2-4 s a run
UNPACED_USB_SIZE = 4000000


def _paced_rows(table, title, r):
    table.add(title + ": pendrel wall", r["pendrel"], "s", "%.3f",
              "%d frames, %d bytes out, %d back" % (r["frames"], r["bytes"][0], r["bytes"][1]))
    table.add("  the minimal host's wall", r["minimal"], "s", "%.3f")
    met = statistics.median(r["ratio"]) <= GOAL
    table.add("  pendrel / minimal host", r["ratio"], "", "%.4f",
              "<= %.2f: %s" % (GOAL, "met" if met else "MISSED"))


def _unpaced_rows(table, title, r, why):
    table.add(title + ": pendrel / minimal host", r["ratio"], "", "%.4f", "no goal: " + why)
    table.add("  wall per frame, minimal host", [1e6 * w / r["frames"] for w in r["minimal"]], "us", "%.1f")
    table.add("  host CPU per frame, pendrel", r["cpu"], "us", "%.2f",
              "the minimal host: %.2f us" % statistics.median(r["minimal_cpu"]))
    if "waits" in r:
        table.add("  thread waits per frame, pendrel", r["waits"], "", "%.2f",
                  "the minimal host: %.2f" % statistics.median(r["minimal_waits"]))


def make_image(workdir, size):
    path = os.path.join(workdir, "links-%s-%d.bin" % (MODEL, size))
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "mkimage"), "-o", path,
                        "--model", MODEL, "--size", str(size)],
                       check=True, stdout=subprocess.DEVNULL, timeout=300)
    return path


def _mb(path):
    return "%.1f MB" % (os.path.getsize(path) / 1e6)


def _ethernet_rows(table, build, workdir, paced_image, unpaced_image, runs):
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    import netns
    netns.TALO_SIM = os.path.join(build, "talo-sim")
    with netns.Lab(controllers=1) as lab:
        paced = ethernet(lab, build, workdir, paced_image, runs, True)
        unpaced = ethernet(lab, build, workdir, unpaced_image, runs, False)
    _paced_rows(table, "Ethernet %s %s, controller paced" % (_mb(paced_image), MODEL), paced)
    _unpaced_rows(table, "  unpaced, %s" % _mb(unpaced_image), unpaced,
                  "a select before each reply byte, the progress line")


def add_rows(table, build, workdir, eth_image, runs, eth_skip=None):
    """scripts/bench's part: the rows of every link against its minimal host,
    paced by the controller's modelled time (the goal) and unpaced (what the
    host's own work costs a frame)."""
    print("every link against a minimal host ...", flush=True)
    for program in ("pendrel", "talo-sim", "bench/pendrel-bench", "bench/pendrel-spawn",
                    "bench/pendrel-eth-replay"):
        if not os.access(os.path.join(build, program), os.X_OK):
            raise LinkBenchError("not built: " + os.path.join(build, program))
    paced_image = make_image(workdir, PACED_SIZE)
    if eth_skip:
        table.skip("Ethernet vs minimal host", eth_skip)
    else:
        _ethernet_rows(table, build, workdir, paced_image, eth_image, runs)
    unpaced_image = make_image(workdir, UNPACED_USB_SIZE)
    handoff = _bench(build, ["handoff", "2000"])["handoffUs"]
    for link, name in (("hid", "USB HID"), ("bulk", "USB bulk")):
        paced = usb(build, workdir, link, paced_image, runs, True)
        pinned = usb(build, workdir, link, paced_image, runs, True, pinned=True)
        unpaced = usb(build, workdir, link, unpaced_image, runs, False)
        _paced_rows(table, "%s %s %s, controller paced" % (name, _mb(paced_image), MODEL), paced)
        table.add("  pendrel's excess per frame", [1e6 * (w - statistics.median(paced["minimal"])) /
                                                   paced["frames"] for w in paced["pendrel"]], "us", "%.1f",
                  "one reader hand-off alone: %.1f us (pendrel-bench handoff)" % handoff)
        table.add("  both on one processor: pendrel / minimal host", pinned["ratio"], "", "%.4f",
                  "no wake-up crosses processors")
        _unpaced_rows(table, "  unpaced, %s" % _mb(unpaced_image), unpaced,
                      "the reader thread hands each reply over")


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
            print("%-52s %9s %9s %9s %-2s %s" % r)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--eth-size", type=int, default=32000000, help="the Ethernet image (bytes)")
    opts = parser.parse_args()
    if opts.runs < 1:
        parser.error("--runs must be at least 1")
    workdir = tempfile.mkdtemp(prefix="pendrel-links-")
    table = _Table()
    try:
        eth_skip = None if os.geteuid() == 0 else "network namespaces need root"
        add_rows(table, opts.build, workdir, make_image(workdir, opts.eth_size), opts.runs, eth_skip)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    table.print()


if __name__ == "__main__":
    try:
        main()
    except (LinkBenchError, subprocess.CalledProcessError, subprocess.TimeoutExpired) as error:
        print("links_bench: %s" % error)
        sys.exit(1)
