"""Made-up station logs for `pendrel-station report`, and its page rendered
by headless Chromium.

    rec = record(T0, 40, port="/dev/ttyUSB0")                   # version 2
    rec = record(T0, 40, port="usb", version=1, ok=False, failure="...")
    write_log(path, [rec, ...], torn=True)          # a last line cut short
    png = render(html, png)                         # None without Chromium
    width, height, pixel = read_png(png)            # pixel(x, y) -> (r, g, b)

Run as a program, it makes the README's sample page from a made-up day:

    tests/e2e/reportlib.py docs/report-sample          # .html and .png
"""
import datetime
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

T0 = datetime.datetime(2026, 12, 9, 6, 0, 0)
SHA_A = "a1" * 32
SHA_B = "b2" * 32
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                  "--hide-scrollbars"]


def utc(t):
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)


def record(started, seconds, port="/dev/ttyUSB0", ok=True, failure=None, version=2, usb_serial=None,
           usb_location=None, sha256=SHA_A, image="app.ovx"):
    """One --log record as the station writes it: version 2, or version 1
    (no version, link, usb_location or pendrel_version; kbps for the rate)."""
    ended = started + datetime.timedelta(seconds=seconds)
    link = "usb" if port.startswith("usb") else "eth" if port.startswith("eth") else "serial"
    r = {"version": 2, "time": utc(ended), "started": utc(started), "port": port, "link": link,
         "usb_serial": usb_serial, "usb_location": usb_location,
         "result": "ok" if ok else "failed", "exit_code": 0 if ok else 1,
         "failure": None if ok else (failure or "Programing Error: Failed to write data to Flash"),
         "identification": "Talo Simulated Controller V1.00", "bytes": 98304 if ok else 40960,
         "seconds": seconds, "bytes_per_second": 2600.5, "image": image, "sha256": sha256,
         "pendrel_version": "5.07"}
    if version == 1:
        for key in ("version", "link", "usb_location", "pendrel_version", "bytes_per_second"):
            del r[key]
        r["kbps"] = 2.5
    return r


def write_log(path, records, torn=False):
    with open(path, "w") as f:
        for r in records:
            f.write(json.dumps(r) + "\n")
        if torn:  # what a crash of the station in mid-write leaves
            f.write(json.dumps(records[-1])[:57])


def render(html, png, width=1200, height=1500):
    """The page as headless Chromium draws it, into png; None without Chromium."""
    if not CHROMIUM:
        return None
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run([CHROMIUM, *CHROMIUM_FLAGS, "--user-data-dir=" + profile,
                        "--window-size=%d,%d" % (width, height), "--screenshot=" + os.path.abspath(png),
                        "file://" + os.path.abspath(html)],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120, check=True)
    return png


def read_png(path):
    """(width, height, pixel(x, y) -> (r, g, b)) of an 8-bit RGB(A) PNG, as Chromium writes them."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    at, idat = 8, b""
    while at < len(data):
        n, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + n]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0, (depth, colour, interlace)
        elif kind == b"IDAT":
            idat += body
        at += n + 12
    size = 4 if colour == 6 else 3
    raw, stride = zlib.decompress(idat), width * size
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - size] if i >= size else 0
            b, c = previous[i], previous[i - size] if i >= size else 0
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            paeth = a if pa <= pb and pa <= pc else b if pb <= pc else c
            line[i] = (line[i] + [0, a, b, (a + b) // 2, paeth][kind]) & 0xFF
        rows.append(line)
        previous = line
    return width, height, lambda x, y: tuple(rows[y][x * size:x * size + 3])


def sample_day():
    """A made-up day of eight fixtures: four serial ones, four USB sockets of
    which 1-1.3 has a worn pin; lunch from 11:30 to 12:15; a board that fails
    goes again into another USB socket."""
    rng = random.Random(9)
    serial_ports = ["/dev/ttyUSB%d" % i for i in range(4)]
    sockets = ["1-1.%d" % i for i in range(1, 5)]
    texts = ["No or invalid response from Talo device", "USB connection lost", "No data received on USB device"]
    serial_texts = texts[:1] + ["Programing Error: Failed to write data to Flash"]
    records, board = [], 0
    for cycle in range(int(9.25 * 60 * 60 / 52)):
        start = T0 + datetime.timedelta(seconds=cycle * 52 + rng.uniform(0, 3))
        if start >= T0.replace(hour=11, minute=30):
            start += datetime.timedelta(minutes=45)
        for i, port in enumerate(serial_ports):
            ok = rng.random() > 0.012
            seconds = round(rng.gauss(38, 1.5), 3)
            failure = None if ok else rng.choice(serial_texts)
            records.append(record(start, seconds, port=port, ok=ok, usb_serial="FT4A%02d" % i, failure=failure))
        for socket in sockets:
            board += 1
            bad = 0.11 if socket == "1-1.3" else 0.01
            ok = rng.random() > bad
            serial = "TC%06d" % board
            records.append(record(start, round(rng.gauss(31, 1.2), 3), port="usb:" + socket, ok=ok, usb_serial=serial,
                                  usb_location=socket, failure=None if ok else rng.choice(texts)))
            if not ok:  # the operator tries the board again in the next free socket
                again = sockets[(sockets.index(socket) + 1) % 4]
                records.append(record(start + datetime.timedelta(seconds=40), round(rng.gauss(31, 1.2), 3),
                                      port="usb:" + again, usb_serial=serial, usb_location=again))
    records.sort(key=lambda r: r["time"])
    return records


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    station = os.environ.get("PENDREL_STATION", os.path.join(here, "..", "..", "build", "linux", "pendrel-station"))
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "report-sample")
    with tempfile.TemporaryDirectory() as d:
        write_log(os.path.join(d, "line-2026-12-09.jsonl"), sample_day())
        subprocess.run([station, "report", "line-2026-12-09.jsonl", "--html", out + ".html"], cwd=d,
                       stdout=subprocess.DEVNULL)
    if not render(out + ".html", out + ".png", height=1640):
        sys.exit("chromium is not installed")


if __name__ == "__main__":
    main()
