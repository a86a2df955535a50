"""The fault matrix: one programming run per (command, fault, link), each
judged against what the run sequence, the commands and the programming run
must do with that fault.

The expectation of a cell is not taken from the program: HostModel below
plays the host's side of a run step by step (handshake, identification,
name, block size, rate switch, erase and write per block, flush, verify,
rate back, reboot) against ControllerModel, which answers as talo-sim's
engine does and applies the injected fault as engine.h describes it
(nak/checksum/overrun: that byte instead of the reply, command undone;
silence: nothing, undone; wrong-byte: done, first reply byte 0x5A, the
reply's data still follows; drop: nothing, the link is gone). The model
yields the whole console text, the exit code, the time the run must wait
(its time-outs and pauses) and what the controller has done.

A cell checks: exact output and exit code; elapsed time no shorter than the
silences it must sit out and no longer than every wait it may sit out plus a
start-up margin; the data file's hash unchanged; no host fault in the
simulator (no write into unerased flash, no stray bytes); the bytes the
simulator wrote; a reboot exactly when the controller was told to reboot;
and for a complete run the simulator's flash equal to the image.
"""
import concurrent.futures
import hashlib
import os
import re
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import pendrel_run  # noqa: E402

SOURCE = os.environ.get("PENDREL_SOURCE", os.path.join(HERE, "..", ".."))
MKIMAGE = os.path.join(SOURCE, "scripts", "mkimage")
PROMPT = "\nPress any key to exit program"
IDENT = "Talo Simulated Controller V1.00"
BANNER_HEAD = pendrel_run.BANNER_LINE.decode()
FAULTS = ("nak", "checksum", "overrun", "wrong-byte", "silence", "drop")
UPLOAD_RATE = 460800
COMMAND_RATE = 115200
SIM_BLOCK_ANSWER = 2048  # talo-sim's default answer to the block-size query

ACK, NAK, CHECKSUM, OVERRUN, WRONG = 0x06, 0x15, 0x17, 0x19, 0x5A
FAULT_REPLY = {"nak": NAK, "checksum": CHECKSUM, "overrun": OVERRUN}

# The messages a matrix run can end with.
STATUS_TEXT = {
    0x0: "No error",
    0x112: "No data to read",
    0x201: "Failed to erase Flash memory page",
    0x202: "Failed to set Flash memory sub-page",
    0x203: "Failed to erase NAND flash index",
    0x204: "Switching upload baud rate is not supported on this chip",
    0x205: "Failed to switch baud rate",
    0x206: "Caution: Talo device has now upload baudrate",
    0x207: "Failed to write data to Flash",
    0x211: "Unable to get the name of the Talo controller",
    0x408: "Got no repsone from device (Timeout)",
    0x40D: "Device is not connected",
}

# Receive time-out (ms) and attempts of each command; None: the standing 500.
COMMANDS = {
    "probe": (100, 2), "loader": (500, 1), "ping": (150, 4), "ident": (500, 1),
    "name": (None, 1), "blocksize": (None, 1), "baud": (500, 1), "reboot": (500, 1),
    "page8": (500, 1), "page16": (500, 3), "subpage": (500, 1), "nandindex": (5000, 1),
    "erase": (5000, 1), "write": (500, 1), "flush": (1000, 1), "verify": (10000, 1),
}
STANDING_MS = 500
PING_PAUSE_MS = 100

# name: flash base, family, largest image, chip code
MODELS = {
    "TXM9410": (0x60100000, 4, 0x1F00000, 55),
    "TXC7390": (0x90000000, 3, 0x7FA0000, 39),
    "TXC7380": (0x90000000, 3, 0x1FF4000, 38),
    "TXC7350": (0xC0000000, 3, 0x200000, 35),
    "TXC7320": (0xC0000000, 3, 0x200000, 32),
    "TXC6260": (0x00020000, 2, 0x5D000, 10),
    "TXC5110": (0, 1, 0x18000, 1),
    "TXC5130": (0, 1, 0x30000, 5),
    "TXC5150": (0, 1, 0x30000, 8),
}
SECTORS_F2 = ([0x1000 * k for k in range(8)] + [0x8000 * k for k in range(1, 15)]
              + [0x78000, 0x79000, 0x7A000, 0x7B000, 0x7C000])
SECTORS_64K = [0xC0000000 + 0x10000 * k for k in range(32)]


class Unmodelled(Exception):
    """The cell reaches a situation the model does not decide; the cell is wrong, not the program."""


def map_flash_address(chip, family, address):
    """(new page, new sub-page, page, sub-page, offset) of a block's first address."""
    def table(starts, first_page):
        for k, start in enumerate(starts):
            end = starts[k + 1] if k + 1 < len(starts) else 0xFFFFFFFF
            if start <= address < end:
                return address == start, False, first_page + k, 0, (address - start) & 0xFFFF
        raise Unmodelled("address 0x%08X outside the sector table" % address)
    if chip == 55:
        offset = address & 0xFFFF
        return offset == 0, False, (address - 0x60000000) >> 12, 0, offset
    if chip == 39:
        d = address - 0x90000000
        return (d & 0x1FFFF) == 0, (d & 0xFFFF) == 0, (d >> 17) + 256, (d >> 16) & 1, d & 0xFFFF
    if chip == 38:
        d = address - 0x90000000
        return (d & 0x3FFF) == 0, False, (d >> 14) + 256, 0, address & 0x3FFF
    if chip in (32, 35):
        return table(SECTORS_64K, 128)
    if family == 2:
        return table(SECTORS_F2, 0)
    return (address & 0x7FFF) == 0, False, (address >> 15) + 1, 0, (address & 0x7FFF) + 0x8000


def block_plan(model, size, block):
    """[(commands before the write, block length)] of the whole image."""
    base, family, _, chip = MODELS[model]
    plan, address, left = [], base, size
    while left:
        n = min(block, left)
        new_page, new_sub, page, sub, _ = map_flash_address(chip, family, address)
        before = []
        if new_page or new_sub:
            if chip == 55:
                before = [("page16", page), ("erase", 0)]
            elif chip in (38, 39):
                if new_page:
                    before = ([("nandindex", 0)] if page == 256 else []) + [("page16", page), ("erase", 0)]
                else:
                    before = [("subpage", sub)]
            else:
                before = [("page8", page & 0xFF), ("erase", 0xF000)]
        plan.append((before, n))
        address += n
        left -= n
    return plan


def progress_text(total, written):
    """The progress redraw after a block, or None when the line is left alone."""
    remaining = total - written
    if written % 1024 and remaining:
        return None
    percent = 100 if remaining == 0 else written * 100 // total
    shown = (total if remaining == 0 else written) >> 10
    return "%dkB (%d%%) of %dkB written" % (shown, percent, total >> 10)


def self_check():
    """The model against the worked examples of addressing and progress; a
    list of disagreements (empty: the model can judge cells)."""
    wrong = []
    mapping = [  # chip, family, address, (new page, new sub-page, page, sub-page, offset)
        (39, 3, 0x90000000, (True, True, 256, 0, 0)), (39, 3, 0x90010000, (False, True, 256, 1, 0)),
        (39, 3, 0x90010800, (False, False, 256, 1, 0x800)), (39, 3, 0x90020000, (True, True, 257, 0, 0)),
        (38, 3, 0x90004000, (True, False, 257, 0, 0)), (55, 4, 0x60100000, (True, False, 0x100, 0, 0)),
        (55, 4, 0x60101000, (False, False, 0x101, 0, 0x1000)),
        (55, 4, 0x60110000, (True, False, 0x110, 0, 0)), (1, 1, 0, (True, False, 1, 0, 0x8000)),
        (1, 1, 0x8100, (False, False, 2, 0, 0x8100)), (10, 2, 0x20000, (True, False, 11, 0, 0)),
        (10, 2, 0x7C800, (False, False, 26, 0, 0x800)), (35, 3, 0xC0010000, (True, False, 129, 0, 0)),
    ]
    for chip, family, address, want in mapping:
        got = map_flash_address(chip, family, address)
        if got != want:
            wrong.append("chip %d 0x%08X: %r, not %r" % (chip, address, got, want))
    plans = [
        ("TXC7390", 3 * 2048, 2048, [[("nandindex", 0), ("page16", 0x100), ("erase", 0)], [], []]),
        ("TXC5110", 256, 256, [[("page8", 1), ("erase", 0xF000)]]),
        ("TXC6260", 256, 256, [[("page8", 0x0B), ("erase", 0xF000)]]),
    ]
    for model, size, block, want in plans:
        got = [before for before, _ in block_plan(model, size, block)]
        if got != want:
            wrong.append("%s plan %r, not %r" % (model, got, want))
    big = block_plan("TXC7390", 0x30000, 2048)
    if big[32][0] != [("subpage", 1)] or big[64][0] != [("page16", 0x101), ("erase", 0)]:
        wrong.append("TXC7390 beyond 64 KB: %r, %r" % (big[32][0], big[64][0]))
    redraws = [progress_text(102400, 256 * k) for k in range(1, 401)]
    shown = [t for t in redraws if t]
    if redraws[:4] != [None, None, None, "1kB (1%) of 100kB written"] or shown[-1] != "100kB (100%) of 100kB written":
        wrong.append("100 KB progress: %r ... %r" % (redraws[:4], shown[-1:]))
    if [progress_text(600, w) for w in (256, 512, 600)] != [None, None, "0kB (100%) of 0kB written"]:
        wrong.append("600-byte progress")
    return wrong


class Link:
    """What the Parts give for a link: block size, time-outs, failure statuses."""

    def __init__(self, name, block, timeout_status, dead_status, floor_ms, extra_ms):
        self.name, self.block = name, block
        self.timeout_status = timeout_status  # a receive time-out
        self.dead_status = dead_status        # the first receive after the controller went away
        self.floor_ms, self.extra_ms = floor_ms, extra_ms

    def wait_ms(self, timeout):
        return max(timeout, self.floor_ms) + self.extra_ms


# Serial: a read waits receiveMs + 1 ms; a pseudo-terminal whose controller
# side has gone reads as end of file, i.e. no data.
SERIAL = Link("serial", 256, 0x112, 0x112, 0, 1)
# Ethernet: receive time-outs of 200 ms at least; a closed connection reads 0 bytes.
ETHERNET = Link("ethernet", 2048, 0x408, 0x40D, 200, 0)


class ControllerModel:
    """talo-sim's engine as far as a correct host can see it, with one fault."""

    def __init__(self, model, start, fault):
        self.model = model
        self.mode = start
        self.fault = fault  # (command, occurrence, kind) or None
        self.counts = {}
        self.dropped = False
        self.rate = COMMAND_RATE
        self.bytes_written = 0
        self.rebooted = False

    def _execute(self, command, parameter):
        if self.mode == "application":
            if command == "probe":
                return [ACK]
            if command == "loader":
                self.mode = "loader"
                return [ACK]
            return []  # the application ignores loader frames
        if command in ("probe", "loader"):
            return []  # the loader ignores the application's frames
        if command == "ident":
            return [ACK] + list(IDENT.encode()) + [ACK]
        if command == "name":
            return [ACK] + list(self.model.encode()) + [ACK]
        if command == "blocksize":
            return [ACK, SIM_BLOCK_ANSWER >> 8, SIM_BLOCK_ANSWER & 0xFF, ACK]
        if command == "baud":
            self.rate = parameter
        elif command == "reboot":
            self.rebooted = True
            self.mode = "application"
            self.rate = COMMAND_RATE
        elif command == "write":
            self.bytes_written += parameter
        return [ACK]

    def frame(self, command, parameter=0):
        count = self.counts[command] = self.counts.get(command, 0) + 1
        kind = None
        if self.fault and self.fault[0] == command and self.fault[1] == count:
            kind = self.fault[2]
        reply = self._execute(command, parameter) if kind in (None, "wrong-byte") else []
        if kind in FAULT_REPLY:
            reply = [FAULT_REPLY[kind]]
        elif kind == "wrong-byte":
            reply = [WRONG] + reply[1:]
        elif kind == "drop":
            self.dropped = True
        return reply


class HostModel:
    """The program's run, step by step as the run sequence, the commands and
    the programming run give it."""

    def __init__(self, link, controller, size, upload=0):
        self.link, self.c, self.size, self.upload = link, controller, size, upload
        self.queue = []          # reply bytes received and not yet read
        self.alive = True
        self.status = 0          # code of the last status; None: not decided by the model
        self.out = []
        self.max_wait = 0        # every wait the run may sit out (ms)
        self.min_wait = 0        # the silences it must sit out (ms)
        self.host_rate = COMMAND_RATE

    # --- transaction ---------------------------------------------------
    def _read(self, wait):
        if self.queue:
            return self.queue.pop(0)
        self.max_wait += wait
        if self.alive:
            self.status = self.link.timeout_status
            self.min_wait += wait - self.link.extra_ms
        return None

    def transact(self, command, parameter=0, count=0, timeout=None):
        """(accepted, data) of one transaction."""
        wait = self.link.wait_ms(timeout if timeout is not None else STANDING_MS)
        if not self.alive:
            # Later statuses of a vanished link depend on the system's socket
            # and terminal states; no cell may print one.
            self.max_wait += wait
            self.status = None
            return False, []
        if self.link is SERIAL and self.host_rate != self.c.rate:
            raise Unmodelled("frame sent at %d baud to a controller at %d" % (self.host_rate, self.c.rate))
        self.queue += self.c.frame(command, parameter)
        if self.c.dropped:
            self.alive = False
            self.max_wait += wait
            self.status = self.link.dead_status
            return False, []
        first = self._read(wait)
        if first != ACK:
            return False, []
        data = []
        for _ in range(abs(count)):
            b = self._read(wait)
            if b is None:
                return False, data
            if count < 0 and b == ACK:
                return True, data
            data.append(b)
        if count > 0 and self._read(wait) is None:
            return False, data
        return True, data

    def command(self, command, parameter=0):
        timeout, attempts = COMMANDS[command]
        for _ in range(attempts):
            if self.transact(command, parameter, timeout=timeout)[0]:
                return True
        return False

    # --- commands --------------------------------------------------------
    def handshake(self):
        for _ in range(COMMANDS["probe"][1]):
            if self.transact("probe", timeout=COMMANDS["probe"][0])[0]:
                return self.command("loader")
        for _ in range(COMMANDS["ping"][1]):
            if self.transact("ping", timeout=COMMANDS["ping"][0])[0]:
                return True
            self.max_wait += PING_PAUSE_MS
            self.min_wait += PING_PAUSE_MS
        return False

    def status_line(self, code=None):
        if code is not None:
            self.status = code
        if self.status is None:
            raise Unmodelled("the printed status depends on the state of a vanished link")
        self.out.append(STATUS_TEXT[self.status] + "\n")

    # --- programming run --------------------------------------------------
    def program_flash(self):
        ok, name = self.transact("name", count=-20)
        ok_size, size_bytes = self.transact("blocksize", count=2)
        block = self.link.block
        answer = size_bytes[0] * 256 + size_bytes[1] if ok_size else 256  # chip code 8 before the lookup
        block = min(block, answer)
        if not ok or bytes(name).decode(errors="replace")[:7] not in MODELS:
            self.status = 0x211
            return False
        model = bytes(name).decode()[:7]
        _, family, _, _ = MODELS[model]
        switched = False
        if self.upload and self.upload != COMMAND_RATE:
            if family == 1:
                self.status = 0x204
                return False
            if not self.command("baud", self.upload):
                self.status = 0x205
                return False
            self.host_rate = self.upload
            switched = True
        total = self.size
        first = "Total size is %dkB" % (total >> 10)
        self.out.append("Programming application data: " + first)
        printed = len(first)
        written = 0
        all_written = True
        for before, n in block_plan(model, self.size, block):
            failed = None
            for command, parameter in before:
                if command == "nandindex" and not self.command("nandindex"):
                    failed = 0x203
                elif command == "subpage" and not self.command("subpage", parameter):
                    failed = 0x202
                elif command in ("page8", "page16") and not self.command(command, parameter):
                    failed = 0x201
                elif command == "erase" and not self.command("erase", parameter):
                    failed = 0x201
                if failed:
                    break
            if not failed and not self.transact("write", n, timeout=COMMANDS["write"][0])[0]:
                failed = 0x207
            if failed:
                self.status = failed
                all_written = False
                break
            written += n
            text = progress_text(total, written)
            if text is not None:
                self.out.append("\b" * printed + text)
                printed = len(text)
        self.out.append(" - Ok" if all_written else "\nPrograming Error\n")
        if not all_written:
            return False
        if family >= 2:
            if not self.command("flush"):
                self.out.append(" - Flushing error\n")
                return False
            self.out.append(" - Verifying")
            if not self.command("verify"):
                self.out.append(" - Verify error\n")
                return False
            self.out.append(" - Ok\n")
        else:
            self.out.append("\n")
        if switched:
            if not self.command("baud", COMMAND_RATE):
                self.status = 0x205
                return False
            self.host_rate = COMMAND_RATE
        return True

    def run(self, notice):
        """Exit code; self.out holds the console text."""
        self.out.append(BANNER_HEAD + notice)
        if not self.handshake():
            self.out.append("No or invalid response from Talo device\n")
            return 1
        ok, text = self.transact("ident", count=-128, timeout=COMMANDS["ident"][0])
        if not ok:
            self.status_line()
            return 1
        self.out.append(bytes(text).decode() + "\n")
        if not self.program_flash():
            self.status_line()
            return 1
        if not self.command("reboot"):
            self.out.append("Unable to reboot the Talo device\n")
            return 1
        return 0

    def text(self):
        return "".join(self.out) + PROMPT


# --- rows of the matrix ------------------------------------------------------

class Row:
    """One command of a run: which model, image size, start mode and
    occurrence of the command the fault hits."""

    def __init__(self, label, command, model, size, occurrence=1, start="application",
                 upload=0, serial_only=False):
        self.label, self.command, self.model, self.size = label, command, model, size
        self.occurrence, self.start, self.upload = occurrence, start, upload
        self.serial_only = serial_only

    def occurrence_on(self, link):
        if callable(self.occurrence):
            return self.occurrence(link, self)
        return self.occurrence


def write_at(where):
    """The write occurrence of the first, middle or last block."""
    def pick(link, row):
        blocks = len(block_plan(row.model, row.size, link.block))
        return {"first": 1, "middle": (blocks + 1) // 2, "last": blocks}[where]
    return pick


BIG = 70000   # TXC7390: NAND index, two 128 KB pages' worth of sub-pages, flush, verify
SMALL = 9000

ROWS = [
    Row("probe", "probe", "TXC7390", SMALL),
    Row("start loader", "loader", "TXC7390", SMALL),
    Row("ping (loader)", "ping", "TXC7390", SMALL, start="loader"),
    Row("ident", "ident", "TXC7390", SMALL),
    Row("name", "name", "TXC7390", SMALL),
    Row("block size", "blocksize", "TXC7390", SMALL),
    Row("rate up (-u)", "baud", "TXC7390", SMALL, upload=UPLOAD_RATE, serial_only=True),
    Row("rate back (-u)", "baud", "TXC7390", SMALL, occurrence=2, upload=UPLOAD_RATE,
        serial_only=True),
    Row("page8 6260", "page8", "TXC6260", SMALL),
    Row("erase 6260", "erase", "TXC6260", SMALL),
    Row("page16 9410", "page16", "TXM9410", SMALL),
    Row("nandindex", "nandindex", "TXC7390", BIG),
    Row("page16 7390", "page16", "TXC7390", BIG),
    Row("erase 7390", "erase", "TXC7390", BIG),
    Row("subpage", "subpage", "TXC7390", BIG),
    Row("write first", "write", "TXC7390", BIG, occurrence=write_at("first")),
    Row("write middle", "write", "TXC7390", BIG, occurrence=write_at("middle")),
    Row("write last", "write", "TXC7390", BIG, occurrence=write_at("last")),
    Row("flush", "flush", "TXC7390", BIG),
    Row("verify", "verify", "TXC7390", BIG),
    Row("reboot 5110", "reboot", "TXC5110", SMALL),
]


class Expectation:
    def __init__(self, link, row, kind, notice):
        self.fault = (row.command, row.occurrence_on(link), kind)
        controller = ControllerModel(row.model, row.start, self.fault)
        host = HostModel(link, controller, row.size, row.upload)
        self.code = host.run(notice)
        self.text = host.text()
        self.min_wait, self.max_wait = host.min_wait, host.max_wait
        self.bytes_written = controller.bytes_written
        self.rebooted = controller.rebooted
        self.complete = self.code == 0
        if controller.counts.get(row.command, 0) < self.fault[1]:
            raise Unmodelled("the run never reaches %s:%d" % (row.command, self.fault[1]))

    def short(self):
        """A few characters for the table of expectations."""
        if self.code == 0:
            return "run"
        last = self.text[:-len(PROMPT)].rstrip("\n").split("\n")[-1]
        for code, text in STATUS_TEXT.items():
            if last == text:
                return "%03X" % code
        return {"No or invalid response from Talo device": "hs",
                "Unable to reboot the Talo device": "reboot"}.get(last, last[:8])


# --- running cells -------------------------------------------------------------

def time_factor():
    """How much slower than a plain build the programs run: PENDREL_MATRIX_SLOWDOWN,
    else 4 for a sanitizer build (from PENDREL_BUILD's CMake cache), else 1."""
    given = os.environ.get("PENDREL_MATRIX_SLOWDOWN")
    if given:
        return float(given)
    cache = os.path.join(os.environ.get("PENDREL_BUILD", ""), "CMakeCache.txt")
    try:
        with open(cache, errors="replace") as f:
            if "-fsanitize" in f.read():
                return 4.0
    except OSError:
        pass
    return 1.0


def notice_line(run):
    """Piece 2 of the usage text (its wording is the program's own), from a run without arguments."""
    code, out, _ = run([])
    text = out.decode(errors="replace")
    if not text.startswith(BANNER_HEAD) or "Usage:" not in text:
        raise RuntimeError("no usage text: %r" % text[:200])
    return text[len(BANNER_HEAD):text.index("Usage:")]


def make_image(directory, model, size):
    path = os.path.join(directory, "%s-%d.bin" % (model, size))
    if not os.path.exists(path):
        subprocess.run([sys.executable, MKIMAGE, "-o", path, "--model", model, "--size", str(size)],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
    return path


def file_hash(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


SUMMARY = re.compile(r"talo-sim: summary: (\d+) frames, (\d+) bytes written, (\d+) host faults \((.*)\)")


def parse_summary(text):
    m = SUMMARY.search(text)
    if not m:
        return None
    return {"frames": int(m.group(1)), "bytes": int(m.group(2)), "faults": int(m.group(3)),
            "end": m.group(4)}


def favour(pid):
    """Lets a simulator answer ahead of whatever else loads the machine. The
    probe waits only 100 ms, and a reply that comes later than its wait is
    read as the reply to the next frame (nothing in the protocol discards
    it), which would shift every later reply by one; a controller is
    hardware that answers in time. Without the right to raise the priority
    the simulator keeps its own."""
    try:
        os.setpriority(os.PRIO_PROCESS, pid, -10)
    except OSError:
        pass


def sim_args(row, fault, flash_path):
    args = ["--model", row.model, "--quiet", "--exit-after-reboot", "--flash-out", flash_path,
            "--fault", "%s:%d:%s" % fault]
    if row.start != "application":
        args += ["--start", row.start]
    return args


def pendrel_args(row, image):
    return [image] + (["-u%d" % row.upload] if row.upload else [])


def _tail(text, count=160):
    return repr(text[-count:])


def judge(expect, code, out, elapsed, margin_s, image, hash_before, summary, flash):
    """(cell text, detail for the report of bad cells, seconds beyond the waits).
    The cell text is "ok" or says briefly what went wrong."""
    text = out.decode(errors="replace")
    beyond = elapsed - expect.max_wait / 1000.0
    if code != expect.code or text != expect.text:
        tail = text[:-len(PROMPT)] if text.endswith(PROMPT) else text
        last = tail.rstrip("\n").split("\n")[-1].replace("\b", "")[-24:]
        return ("FAIL(rc=%d:%s)" % (code, last),
                "exit %d, expected %d; simulator %r\n    got      %s\n    expected %s"
                % (code, expect.code, summary, _tail(text), _tail(expect.text)), beyond)
    if file_hash(image) != hash_before:
        return "FAIL(data file changed)", image, beyond
    if summary is None:
        return "FAIL(no sim summary)", "", beyond
    if summary["faults"] != 0:
        return "FAIL(%d host faults)" % summary["faults"], repr(summary), beyond
    if summary["bytes"] != expect.bytes_written:
        return ("FAIL(wrote %d, not %d)" % (summary["bytes"], expect.bytes_written), repr(summary),
                beyond)
    if (summary["end"] == "rebooted") != expect.rebooted:
        return "FAIL(sim end: %s)" % summary["end"], repr(summary), beyond
    if expect.complete:
        with open(image, "rb") as f:
            if flash != f.read():
                return "FAIL(flash differs)", "", beyond
    low = expect.min_wait / 1000.0 - 0.02
    high = expect.max_wait / 1000.0 + margin_s
    if elapsed < low:
        return "FAST(%.2fs<%.2fs)" % (elapsed, low), "", beyond
    if elapsed > high:
        return "SLOW(%.1fs>%.1fs)" % (elapsed, high), "", beyond
    return "ok", "", beyond


def judge_run(expect, code, out, err, elapsed, margin_s, image, hash_before, sim_output,
              flash_path):
    """judge() for one finished run: a word on stderr fails the cell; the
    simulator's summary is read from its output and the flash from its file."""
    if err:
        return "FAIL(stderr)", repr(err[:300]), None
    flash = None
    if os.path.exists(flash_path):
        with open(flash_path, "rb") as f:
            flash = f.read()
    return judge(expect, code, out, elapsed, margin_s, image, hash_before,
                 parse_summary(sim_output), flash)


def print_table(title, rows, cells):
    """cells: {(row label, fault): text}."""
    width = max(len(r.label) for r in rows) + 1
    columns = {f: max([len(f)] + [len(cells.get((r.label, f), "")) for r in rows]) + 1 for f in FAULTS}
    print(title)
    print("".ljust(width) + "".join(f.ljust(columns[f]) for f in FAULTS))
    for r in rows:
        print(r.label.ljust(width) + "".join(cells.get((r.label, f), "?").ljust(columns[f]) for f in FAULTS))
    sys.stdout.flush()


def run_matrix(link, run_cell, workers, notice, directory):
    """Runs every cell (with at most `workers` at a time); prints the tables and
    returns the number of bad cells. run_cell(worker, row, kind, expectation,
    image) -> judge()'s triple; worker is 0..workers-1 and owned by one cell at
    a time."""
    wrong = self_check()
    for line in wrong:
        print("model disagrees with a worked example: " + line)
    if wrong:
        return len(wrong)
    cells, expected, details, jobs = {}, {}, {}, []
    beyond = []
    for row in ROWS:
        for kind in FAULTS:
            key = (row.label, kind)
            if row.serial_only and link is not SERIAL:
                cells[key] = expected[key] = "n/a"
                continue
            try:
                e = Expectation(link, row, kind, notice)
            except Unmodelled as why:
                cells[key] = expected[key] = "UNMODELLED(%s)" % why
                continue
            expected[key] = e.short()
            jobs.append((row, kind, e, make_image(directory, row.model, row.size)))

    free = list(range(workers))
    started = time.monotonic()
    lock = threading.Lock()
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:

        def attempt(worker, job):
            try:
                return run_cell(worker, *job)
            except Exception as error:  # a broken cell is a failed cell, not a stopped matrix
                return "FAIL(%s)" % type(error).__name__, str(error)[:300], None

        def one(job):
            with lock:
                worker = free.pop()
            try:
                first = attempt(worker, job)
                if first[0] == "ok":
                    return first
                # A loaded machine can hold a reply back beyond a time-out; a
                # fault of the program shows again. The table marks the cell.
                second = attempt(worker, job)
                if second[0] == "ok":
                    return "ok*", "first run: %s %s" % (first[0], first[1]), second[2]
                return second[0], "%s\n    (first run: %s)" % (second[1], first[0]), second[2]
            finally:
                with lock:
                    free.append(worker)

        for job, (result, detail, late) in zip(jobs, pool.map(one, jobs)):
            key = (job[0].label, job[1])
            cells[key] = result
            if result not in ("ok", "n/a"):
                details[key] = detail
            if late is not None:
                beyond.append((late, key))
    took = time.monotonic() - started
    print_table("expected outcome on the %s link (run: complete run; hs: handshake; "
                "reboot; otherwise the status printed last)" % link.name, ROWS, expected)
    print()
    print_table("fault matrix, %s link" % link.name, ROWS, cells)
    for (label, kind), detail in sorted(details.items()):
        print("%s / %s: %s\n    %s" % (label, kind, cells[(label, kind)], detail))
    if beyond:
        late, (label, kind) = max(beyond)
        print("longest time beyond a cell's waits: %.2f s (%s / %s)" % (late, label, kind))
    bad = sum(1 for v in cells.values() if v not in ("ok", "ok*", "n/a"))
    na = sum(1 for v in cells.values() if v == "n/a")
    again = sum(1 for v in cells.values() if v == "ok*")
    print("%s link: %d cells run, %d n/a, %d bad, %d ok only when run again (ok*), %.1f s with %d workers"
          % (link.name, len(jobs), na, bad, again, took, workers))
    return bad
