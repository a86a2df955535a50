#!/usr/bin/env python3
"""pendrel-station with paced units: N talo-sim controllers (--pace: no faster
than the line) programmed at once, the wall time against one unit alone, and
the station's own CPU time as a share of the wall time.

  bench/station_bench.py [--build build/release] [--runs N] [--size BYTES] [--links]

--links: sixteen units on every link at once — eight paced serial, four HID
controllers emulated in a umockdev bed (bench/station-hid-host), four
Ethernet simulators in a network namespace lab (root) — against the slowest
kind's unit alone.

scripts/bench calls run() for its table. The station's CPU is read from
/proc when it has ended but is not yet reaped (its own utime and stime, its
children's apart; the scheduler's nanosecond count where the kernel keeps
it), so nothing but the station itself is counted.
"""
import argparse
import contextlib
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT_PREFIX = "talo-sim: serial port "
TICK = os.sysconf("SC_CLK_TCK")


def _start_sim(talo_sim, workdir, i, model, link=None):
    out_path = os.path.join(workdir, "sim%d.txt" % i)
    out = open(out_path, "w")
    proc = subprocess.Popen([talo_sim, "serial", "--model", model, "--quiet", "--exit-after-reboot", "--pace"]
                            + (["--link", link] if link else []),
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and proc.poll() is None:
        with open(out_path) as f:
            for line in f:
                if line.startswith(PORT_PREFIX):
                    return proc, out, link or line[len(PORT_PREFIX):].strip()
        time.sleep(0.02)
    proc.kill()
    out.close()
    raise RuntimeError("talo-sim did not start")


def _proc_times(pid):
    """(state, own CPU s, waited-for children's CPU s) from /proc/PID/stat."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    state = fields[0]
    utime, stime, cutime, cstime = (int(x) for x in fields[11:15])
    own = (utime + stime) / TICK
    # The scheduler's own count, in nanoseconds: stat's clock ticks (10 ms)
    # are too coarse for a process that wakes briefly a few times a second.
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            own = int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        pass
    return state, own, (cutime + cstime) / TICK


def _measure(cmd, out_path, timeout):
    """Runs cmd (whose process is the station: `ip netns exec` execs it) with
    its standard output in out_path; (exit code, wall, own CPU, children's CPU)."""
    with open(out_path, "w") as out:
        began = time.monotonic()
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
        deadline = began + timeout
        times = None
        while time.monotonic() < deadline:
            state, own, children = _proc_times(proc.pid)
            if state == "Z":  # ended, not yet reaped: its final figures
                times = (time.monotonic() - began, own, children)
                break
            time.sleep(0.01)
        if times is None:
            proc.kill()
            proc.wait()
            raise RuntimeError("pendrel-station did not end in %d s" % timeout)
        return (proc.wait(timeout=30),) + times


def _ends(out_path, units, rc):
    """The end events of a station run that must have succeeded on every unit."""
    with open(out_path) as f:
        ends = [e for e in map(json.loads, f) if e["event"] == "end"]
    if rc != 0 or len(ends) != units or any(e["result"] != "ok" for e in ends):
        raise RuntimeError("a unit failed (exit %s): %s" % (rc, ends))
    return ends


def _stop_sims(sims):
    for proc, out, _ in sims:
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        out.close()


def run(build, workdir, image, units, model="TXC5110", timeout=300):
    """One station run over `units` paced simulators: a dict of wall, the
    station's CPU, its share of the wall (%), the children's CPU, and the
    slowest unit's own seconds."""
    station = os.path.join(build, "pendrel-station")
    sims = [_start_sim(os.path.join(build, "talo-sim"), workdir, i, model) for i in range(units)]
    out_path = os.path.join(workdir, "station.jsonl")
    try:
        rc, wall, cpu, children = _measure([station, "program", image, *[s[2] for s in sims], "--json"],
                                           out_path, timeout)
    finally:
        _stop_sims(sims)
    ends = _ends(out_path, units, rc)
    return {"wall": wall, "cpu": cpu, "cpu_share": 100 * cpu / wall, "children_cpu": children,
            "slowest_unit": max(e["seconds"] for e in ends)}


# --- every link: paced serial, HID (umockdev), Ethernet (namespaces) ---------

HOST_RE = re.compile(r"^HOST exit=(\d+) wall=([\d.]+) cpu=([\d.]+) flash=(\w+)$", re.M)


def links_possible(build):
    """Why the every-link run cannot be made here, or None."""
    if os.geteuid() != 0:
        return "Ethernet units need network namespaces, which need root"
    if shutil.which("ip") is None:
        return "the ip tool is not installed"
    if not os.access(os.path.join(build, "bench", "station-hid-host"), os.X_OK):
        return "bench/station-hid-host was not built (umockdev, GoogleTest)"
    if not _preload():
        return "umockdev's preload library is not installed"
    return None


def _preload():
    found = [os.environ.get("UMOCKDEV_PRELOAD", "")] + glob.glob("/usr/lib/*/libumockdev-preload.so.0")
    return next((p for p in found if p and os.path.exists(p)), None)


def _hid_host(build, hid, image, model, prefix, command, out_path, timeout):
    """command (after prefix: the namespace it runs in) inside a bed of `hid`
    emulated HID controllers (usb:1-2 ...): (exit code, wall, the command's
    own CPU); every controller's flash must hold the image."""
    host = [os.path.join(build, "bench", "station-hid-host"), "--hid", str(hid), "--model", model,
            "--image", image, "--"]
    with open(out_path, "w") as out:
        proc = subprocess.run(prefix + host + command, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.PIPE, timeout=timeout,
                              env=dict(os.environ, UMOCKDEV_PRELOAD=_preload()))
    m = HOST_RE.search(proc.stderr.decode(errors="replace"))
    if not m or m.group(4) != "ok":
        raise RuntimeError("station-hid-host: %s" % proc.stderr.decode(errors="replace"))
    return int(m.group(1)), float(m.group(2)), float(m.group(3))


def run_links(build, workdir, image, serial=8, hid=4, eth=4, model="TXC5110", timeout=600):
    """One station run over every link at once: `serial` paced simulators,
    `hid` HID controllers emulated in a umockdev bed, `eth` Ethernet
    simulators in a namespace lab (the station in the lab's host namespace).
    With one kind alone, that kind's unit by itself. A dict of wall, the
    station's CPU and its share of the wall (%)."""
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    import netns
    netns.TALO_SIM = os.path.join(build, "talo-sim")
    station = os.path.join(build, "pendrel-station")
    out_path = os.path.join(workdir, "station-links.jsonl")
    # Through links: in the bed, /dev/pts/N is the bed's /dev, not the system's.
    sims = [_start_sim(netns.TALO_SIM, workdir, i, model, os.path.join(workdir, "tty%d" % i))
            for i in range(serial)]
    try:
        with (netns.Lab(controllers=eth) if eth else contextlib.nullcontext()) as lab:
            for i in range(eth):
                lab.start_sim(i, ["--model", model, "--exit-after-reboot"])
            units = [s[2] for s in sims] + ["usb:1-%d" % (i + 2) for i in range(hid)] + \
                ["eth:" + netns.Lab.address(i) for i in range(eth)]
            command = [station, "program", image, *units, "--json"]
            prefix = ["ip", "netns", "exec", lab.host] if eth else []
            if hid:
                rc, wall, cpu = _hid_host(build, hid, image, model, prefix, command, out_path, timeout)
            else:
                rc, wall, cpu, _ = _measure(prefix + command, out_path, timeout)
    finally:
        _stop_sims(sims)
    _ends(out_path, serial + hid + eth, rc)
    return {"wall": wall, "cpu": cpu, "cpu_share": 100 * cpu / wall}


def every_link(build, workdir, image):
    """Sixteen units at once (eight paced serial, four HID, four Ethernet)
    against the slowest kind's unit alone: the sixteen's wall, its ratio to
    that unit's, the station's CPU and its share of the wall."""
    alone = {"serial": run(build, workdir, image, 1)["wall"],
             "hid": run_links(build, workdir, image, serial=0, hid=1, eth=0)["wall"],
             "eth": run_links(build, workdir, image, serial=0, hid=0, eth=1)["wall"]}
    slowest = max(alone, key=alone.get)
    together = run_links(build, workdir, image)
    return dict(together, alone=alone, slowest=slowest, slowest_wall=alone[slowest],
                ratio=together["wall"] / alone[slowest])


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=96 * 1024)
    parser.add_argument("--links", action="store_true",
                        help="sixteen units on every link instead of four serial ones (root, umockdev)")
    opts = parser.parse_args()
    why = links_possible(opts.build) if opts.links else None
    if why:
        sys.exit("station_bench.py --links: " + why)
    with tempfile.TemporaryDirectory(prefix="station-bench-") as workdir:
        image = os.path.join(workdir, "image.bin")
        subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "mkimage"), "-o", image, "--model",
                        "TXC5110", "--size", str(opts.size)], check=True, stdout=subprocess.DEVNULL)
        if opts.links:
            runs = []
            for i in range(opts.runs):
                runs.append(every_link(opts.build, workdir, image))
                r = runs[-1]
                print("run %d: alone serial %.2f s, HID %.2f s, Ethernet %.2f s; sixteen %.2f s (%.3f of the %s "
                      "unit), station CPU %.3f s (%.3f%%)" % (i + 1, r["alone"]["serial"], r["alone"]["hid"],
                                                             r["alone"]["eth"], r["wall"], r["ratio"],
                                                             r["slowest"], r["cpu"], r["cpu_share"]))
            print("sixteen / slowest alone (median): %.3f; station CPU / wall (median): %.3f%%"
                  % (statistics.median(r["ratio"] for r in runs), statistics.median(r["cpu_share"] for r in runs)))
            return
        one, four = [], []
        for i in range(opts.runs):
            one.append(run(opts.build, workdir, image, 1))
            four.append(run(opts.build, workdir, image, 4))
            print("run %d: one unit %.2f s, four units %.2f s, station CPU %.3f s (%.3f%%)"
                  % (i + 1, one[-1]["wall"], four[-1]["wall"], four[-1]["cpu"], four[-1]["cpu_share"]))
        ratio = statistics.median(r["wall"] for r in four) / statistics.median(r["wall"] for r in one)
        print("four / one (medians): %.3f; station CPU / wall, four units (median): %.3f%%"
              % (ratio, statistics.median(r["cpu_share"] for r in four)))


if __name__ == "__main__":
    main()
