#!/usr/bin/env python3
"""pendrel-station with paced units: N talo-sim controllers (--pace: no faster
than the line) programmed at once, the wall time against one unit alone, and
the station's own CPU time as a share of the wall time.

  bench/station_bench.py [--build build/release] [--runs N] [--size BYTES]

scripts/bench calls run() for its table. The station's CPU is read from
/proc when it has ended but is not yet reaped (its own utime and stime, its
children's apart; the scheduler's nanosecond count where the kernel keeps
it), so nothing but the station itself is counted.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT_PREFIX = "talo-sim: serial port "
TICK = os.sysconf("SC_CLK_TCK")


def _start_sim(talo_sim, workdir, i, model):
    out_path = os.path.join(workdir, "sim%d.txt" % i)
    out = open(out_path, "w")
    proc = subprocess.Popen([talo_sim, "serial", "--model", model, "--quiet", "--exit-after-reboot", "--pace"],
                            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and proc.poll() is None:
        with open(out_path) as f:
            for line in f:
                if line.startswith(PORT_PREFIX):
                    return proc, out, line[len(PORT_PREFIX):].strip()
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


def run(build, workdir, image, units, model="TXC5110", timeout=300):
    """One station run over `units` paced simulators: a dict of wall, the
    station's CPU, its share of the wall (%), the children's CPU, and the
    slowest unit's own seconds."""
    station = os.path.join(build, "pendrel-station")
    sims = [_start_sim(os.path.join(build, "talo-sim"), workdir, i, model) for i in range(units)]
    out_path = os.path.join(workdir, "station.jsonl")
    try:
        with open(out_path, "w") as out:
            began = time.monotonic()
            proc = subprocess.Popen([station, "program", image, *[s[2] for s in sims], "--json"],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            deadline = began + timeout
            times = None
            while time.monotonic() < deadline:
                state, own, children = _proc_times(proc.pid)
                if state == "Z":  # ended, not yet reaped: its final figures
                    wall = time.monotonic() - began
                    times = (own, children)
                    break
                time.sleep(0.01)
            rc = proc.wait(timeout=30) if times else None
            if times is None:
                proc.kill()
                proc.wait()
                raise RuntimeError("pendrel-station did not end in %d s" % timeout)
    finally:
        for proc, out, _ in sims:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            out.close()
    with open(out_path) as f:
        ends = [e for e in map(json.loads, f) if e["event"] == "end"]
    if rc != 0 or len(ends) != units or any(e["result"] != "ok" for e in ends):
        raise RuntimeError("a unit failed (exit %s): %s" % (rc, ends))
    return {"wall": wall, "cpu": times[0], "cpu_share": 100 * times[0] / wall, "children_cpu": times[1],
            "slowest_unit": max(e["seconds"] for e in ends)}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=96 * 1024)
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="station-bench-") as workdir:
        image = os.path.join(workdir, "image.bin")
        subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "mkimage"), "-o", image, "--model",
                        "TXC5110", "--size", str(opts.size)], check=True, stdout=subprocess.DEVNULL)
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
