#!/usr/bin/env python3
"""pendrel-station report over a month of a busy line: a made-up log of
1,000,000 records (32 fixtures, 16 hours a day for about 26 days: 16 serial
ports and 16 USB sockets whose boards carry their own serial numbers, about
2% failed and tried again), reported with its wall time, CPU time and peak RSS; and the
same number of records from serial fixtures alone (no board to remember),
whose peak RSS shows that the records themselves are not kept.

  bench/report_bench.py [--build build/release] [--runs N] [--lines N]

scripts/bench calls run() for its table. The report runs through
bench/pendrel-spawn, which takes its figures from wait4.
"""
import argparse
import datetime
import heapq
import os
import random
import re
import statistics
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SPAWN_RE = re.compile(r"^SPAWN exit=(-?\d+) wall=([\d.]+) user=([\d.]+) sys=([\d.]+) maxrss=(\d+)$", re.M)
TEXTS = ["No or invalid response from Talo device", "USB connection lost", "No data received on USB device",
         "Programing Error: Failed to write data to Flash"]
RECORD = ('{"version":2,"time":"%s","started":"%s","port":"%s","link":"%s","usb_serial":%s,'
          '"usb_location":%s,"result":"%s","exit_code":%s,"failure":%s,'
          '"identification":"Talo Controller TXC7390 V2.14","bytes":%d,"seconds":%.3f,'
          '"bytes_per_second":%.1f,"image":"app-2026-12.ovx","sha256":"%s","pendrel_version":"5.07"}\n')
SHA = "5d41402abc4b2a76b9719d911017c592aa5d41402abc4b2a76b9719d911017c5"


DAY0 = datetime.date(2026, 12, 1)


def stamp(seconds):
    """UTC text of seconds after 2026-12-01T00:00:00Z, as the station writes it."""
    day, rest = divmod(seconds, 86400)
    date = DAY0 + datetime.timedelta(days=int(day))
    return "%sT%02d:%02d:%06.3fZ" % (date.isoformat(), rest // 3600, rest % 3600 // 60, rest % 60)


def make_log(path, lines, usb=True, seed=12):
    """32 fixtures, units of 30-45 s one after another on each from 06:00 to
    22:00; a USB board that fails goes again on the next socket. Returns the
    number of USB boards."""
    rng = random.Random(seed)
    ports = ["/dev/ttyUSB%d" % i for i in range(16)] + (["usb:1-%d" % i for i in range(1, 17)] if usb else
                                                         ["/dev/ttyUSB%d" % i for i in range(16, 32)])
    clocks = [(6 * 3600.0 + i, i) for i in range(32)]
    written, board = 0, 0
    with open(path, "w") as f:
        while written < lines:
            start, i = heapq.heappop(clocks)
            if start % 86400 > 22 * 3600:  # the line stops at 22:00 and starts again at 06:00
                heapq.heappush(clocks, ((start // 86400 + 1) * 86400 + 6 * 3600 + i, i))
                continue
            seconds = rng.uniform(30, 45)
            heapq.heappush(clocks, (start + seconds + rng.uniform(5, 15), i))
            ok = rng.random() > (0.06 if i == 21 else 0.015)
            port = ports[i]
            if port.startswith("usb:"):
                board += 1
                serial, location, link = '"TC%08d"' % board, '"%s"' % port[4:], "usb"
            else:
                serial, location, link = '"FT4A%02d"' % i, "null", "serial"
            f.write(RECORD % (stamp(start + seconds), stamp(start), port, link, serial, location,
                              "ok" if ok else "failed", "0" if ok else "1",
                              "null" if ok else '"%s"' % rng.choice(TEXTS), 2097152 if ok else 1048576,
                              seconds, 2097152 / seconds, SHA))
            written += 1
            if not ok and link == "usb" and written < lines:
                again = "usb:1-%d" % ((i + 1) % 16 + 1)
                f.write(RECORD % (stamp(start + 2 * seconds), stamp(start + seconds), again, "usb", serial,
                                  '"%s"' % again[4:], "ok", "0", "null", 2097152, seconds, 2097152 / seconds, SHA))
                written += 1
    return board


def run(build, log):
    """One report over `log`: a dict of wall, cpu (s) and rss (KB)."""
    spawn = os.path.join(build, "bench", "pendrel-spawn")
    proc = subprocess.run([spawn, os.path.join(build, "pendrel-station"), "report", log], stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
    m = SPAWN_RE.search(proc.stderr.decode(errors="replace"))
    if not m or int(m.group(1)) not in (0, 1):  # 1: the report flags a port, as it should here
        raise RuntimeError("pendrel-station report failed: %r" % proc.stderr)
    return {"wall": float(m.group(2)), "cpu": float(m.group(3)) + float(m.group(4)), "rss": int(m.group(5))}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--lines", type=int, default=1000000)
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="report-bench-") as workdir:
        print("writing two logs of %d records ..." % opts.lines, flush=True)
        month, serial = os.path.join(workdir, "month.jsonl"), os.path.join(workdir, "serial.jsonl")
        boards = make_log(month, opts.lines)
        make_log(serial, opts.lines, usb=False)
        print("log: %.0f MB, %d USB boards" % (os.path.getsize(month) / 1e6, boards))
        rows = {"month": [], "serial": []}
        for i in range(opts.runs):
            rows["month"].append(run(opts.build, month))
            rows["serial"].append(run(opts.build, serial))
            print("run %d: %.2f s wall, %.2f s CPU, %d KB peak; serial fixtures alone: %.2f s, %d KB"
                  % (i + 1, rows["month"][-1]["wall"], rows["month"][-1]["cpu"], rows["month"][-1]["rss"],
                     rows["serial"][-1]["wall"], rows["serial"][-1]["rss"]))
        print("median: %.2f s wall, %d KB peak RSS (%d KB without USB boards)"
              % (statistics.median(r["wall"] for r in rows["month"]),
                 statistics.median(r["rss"] for r in rows["month"]),
                 statistics.median(r["rss"] for r in rows["serial"])))


if __name__ == "__main__":
    sys.exit(main())
