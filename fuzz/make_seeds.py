#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs: make_seeds.py OUTDIR.

Each target gets OUTDIR/<target>/ with a few inputs in its own input layout
(see the comment at the top of each fuzz/*.cpp): valid files, replies and
exchanges, so that the fuzzer starts from the paths a real run takes.
"""
import os
import struct
import sys

MODELS = ["TXM9410", "TXC7390", "TXC7380", "TXC7350", "TXC7320", "TXC6260",
          "TXC5110", "TXC5130", "TXC5150"]
ACK = b"\x06"


def image(length, model):
    data = bytearray((i * 29 + (i >> 7) + 0x33) & 0xFF for i in range(length))
    data[0:4] = b"zarn"
    data[6] = 4
    data[111:118] = model.encode().ljust(7, b"\0")[:7]
    data[-1] = (-sum(data[:-1])) & 0xFF
    return bytes(data)


def wrap(img, data_offset=112, data_length=None):
    header = bytearray(112)
    header[0:9] = b"mifo-ovx\0"
    struct.pack_into("<IIBII", header, 9, 1, 112, 4, data_offset,
                     len(img) if data_length is None else data_length)
    return bytes(header) + img + b"mifo"


def data_file_seeds():
    seeds = []
    for index, model in enumerate(MODELS):
        seeds.append(bytes([index, 3, 0]) + image(300, model))
        seeds.append(bytes([index, 6, 0]) + wrap(image(200, model)))
    img = image(300, "TXC5110")
    seeds.append(bytes([9, 0, 0]) + img)                          # before any model is known
    seeds.append(bytes([6, 1, 0x80 + 18]) + img)                  # a limit of 288 bytes
    seeds.append(bytes([6, 3, 0]) + img[:-1] + bytes([img[-1] ^ 1]))  # checksum off by one
    seeds.append(bytes([6, 3, 0]) + img[:100])                    # shorter than the header
    # A wrapper whose offset and length only add up modulo 2^32.
    seeds.append(bytes([6, 3, 0]) + wrap(img, 0xFFFFFF00, len(img) + 112 + 0x100))
    seeds.append(bytes([6, 3, 0]) + wrap(img)[:-1] + b"x")        # wrong trailer
    return seeds


def replies_seeds():
    seeds = [bytes([c, 0]) + ACK * 4 for c in range(15)]
    seeds.append(bytes([0, 0]) + b"\x15\x15\x06")                # loader ping answers
    seeds.append(bytes([1, 0]) + ACK + b"Talo Simulated Controller V1.00" + ACK)
    seeds.append(bytes([2, 0]) + ACK + b"TXC7390" + ACK)
    seeds.append(bytes([2, 1]) + ACK + b"TXC7390")                # cut short, then a read error
    seeds.append(bytes([11, 0]) + struct.pack(">H", 3) + b"\xaa\x01\x02\x03" + struct.pack(">H", 0x8000) + ACK)
    seeds.append(bytes([12, 0]) + b"\x06\x08\x00\x06")
    # Raw transactions: frame length, frame, N, buffer choice, reply.
    seeds.append(bytes([15, 0, 2, 0xAA, 0x3F, 0x49]) + struct.pack(">h", -20) + b"\x00" + ACK + b"TX" + ACK)
    seeds.append(bytes([15, 0, 3, 0xAA, 0x7C, 0x3F, 0x57]) + struct.pack(">h", 2) + b"\x90" + b"\x06\x01\x00\x06")
    # Whole programming runs: image pick, upload rate pick, then the replies.
    for pick in range(11):
        model = MODELS[pick] if pick < 9 else ("TXC9999" if pick == 9 else "TXC6260")
        for rate in (0, 2):
            seeds.append(bytes([16, 0, pick, rate]) + ACK + model.encode() + ACK +
                         b"\x06\x01\x00\x06" + ACK * 160)
    return seeds


def event(tag, payload=None):
    if payload is None:
        return bytes([tag])
    return bytes([tag]) + struct.pack(">H", len(payload)) + payload


def reply(length=46, in_use=0):
    body = bytearray(b"zarn" + bytes(range(4, length)))
    if length == 54:
        struct.pack_into("<I", body, 50, in_use)
    return bytes(body)


def ethernet_seeds():
    challenge = bytes(range(0x10, 0x20))
    free = event(0x10, reply(46))
    seeds = [
        bytes([0]) + free + event(4, b"\x23\x06"),
        bytes([2]) + free + event(4, b"\x23\x06") + event(4, ACK + b"Talo" + ACK),
        bytes([0]) + event(0x20, reply(54, 1)),                    # busy
        bytes([0]) + free + event(0x30, reply(54)),                 # two controllers
        bytes([0]) + event(0, b"zarn" * 12 + b"zz") + event(1),     # 50 bytes: not counted
        bytes([0]) + free + event(4, b"\x24\x01" + challenge),      # challenge, no password
        bytes([4]),                                                 # the socket layer fails
        bytes([8]) + free,                                          # connect fails
    ]
    password = b"secret\xaa"
    for method in (1, 2, 3, 7):
        for verdict in (b"\x06\x23\x06", b"\x15"):
            seeds.append(bytes([3, len(password)]) + password + free + event(4, b"\x01\x02") +
                         event(4, bytes([0x24, method]) + challenge) + event(4, verdict) +
                         event(4, ACK + b"Id" + ACK))
    seeds.append(bytes([1, 17]) + b"x" * 17 + free + event(4, b"\x23\x06"))  # password too long
    seeds.append(bytes([0]) + free + event(5) + event(6))
    return seeds


def hid_seeds():
    def report(payload, length=65):
        return (bytes([0, len(payload)]) + payload).ljust(length, b"\0")
    reports = report(b"\x06Talo\x06") + report(b"") + report(b"x" * 70)
    seeds = [
        bytes([0]) + struct.pack(">HIH", 65, 0, 0) + reports,
        bytes([0]) + struct.pack(">HIH", 65, 0xFFFFFFF0, 250) + reports,
        bytes([0]) + struct.pack(">HIH", 9, 7, 0) + report(b"abcdefg", 9) * 3,
    ]
    for length in (65, 9, 3, 2, 66):
        chunk = report(b"\x06ok\x06", length) * 2
        seeds.append(bytes([1]) + struct.pack(">HHB", length, length, 2) +
                     struct.pack(">H", len(chunk)) + chunk + struct.pack(">H", 2200 % 2200) +
                     b"\xaa\x3f\x49" * 30)
    return seeds


def cmdline_seeds():
    run = ACK * 2 + ACK * 2 + ACK + b"TXC5110" + ACK + b"\x06\x01\x00\x06" + ACK * 40
    lines = [
        [b"image", b"-pcom1"],
        [b"image", b"-p/dev/ttyUSB0", b"-b9600", b"-u460800", b"-nocts"],
        [b"image", b"-usb"],
        [b"image", b"-eth", b"-wsecret"],
        [b"image", b"-eth", b"-usb", b"-w" + b"x" * 17],
        [b"bad", b"-pcom1", b"-usb2"],
        [b"missing", b"-p"],
        [b"image", b"-pCOM3", b"-bfast"],
        [b"-x"],
        [],
    ]
    seeds = []
    for args in lines:
        joined = b"\0".join(args)
        seeds.append(bytes([len(run)]) + run + joined)
        seeds.append(bytes([0]) + joined)
    return seeds


TARGETS = {
    "fuzz_data_file": data_file_seeds,
    "fuzz_replies": replies_seeds,
    "fuzz_ethernet": ethernet_seeds,
    "fuzz_hid_input": hid_seeds,
    "fuzz_cmdline": cmdline_seeds,
}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py OUTDIR")
    for target, make in TARGETS.items():
        directory = os.path.join(sys.argv[1], target)
        os.makedirs(directory, exist_ok=True)
        for number, seed in enumerate(make()):
            with open(os.path.join(directory, "seed%03d" % number), "wb") as f:
                f.write(seed)


if __name__ == "__main__":
    main()
