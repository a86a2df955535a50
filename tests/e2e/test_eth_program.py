"""Whole programming runs over Ethernet in a private network: a TXC7390
image larger than 128 KB (NAND index erase, pages and sub-pages, flush,
verify) with and without a password, and controllers that drop the
connection or fall silent in the middle of the run.

full_runs() and broken_runs() take the program to run (programs.Native, or
programs.Windows from test_wine_eth.py)."""
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import programs  # noqa: E402

SOURCE = os.environ.get("PENDREL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
MKIMAGE = os.path.join(SOURCE, "scripts", "mkimage")
IDENT = "Talo Simulated Controller V1.00"
PASSWORD = "w0rd-of-16-chars"


def make_image(path, size, wrapped=False, seed=1):
    cmd = [sys.executable, MKIMAGE, "-o", path, "--model", "TXC7390", "--size", str(size),
           "--seed", str(seed)]
    if wrapped:
        cmd.append("--wrapped")
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, timeout=60)


def frames(log_path):
    out = []
    with open(log_path) as log:
        for line in log:
            record = json.loads(line)
            if record.get("event") == "frame":
                out.append((record["command"], bytes.fromhex(record.get("frame", ""))))
    return out


def summary(log_path):
    with open(log_path) as log:
        for line in log:
            record = json.loads(line)
            if record.get("event") == "summary":
                return record
    return {}


def run(lab, launch, scratch, tag, sim_options, pendrel_args):
    log_path = os.path.join(scratch, tag + ".jsonl")
    flash_path = os.path.join(scratch, tag + ".flash")
    sim = lab.start_sim(0, ["--model", "TXC7390", "--log", log_path, "--flash-out", flash_path]
                        + sim_options)
    code, out, _ = launch(pendrel_args, timeout=180)
    lab.stop_sim(sim)
    with open(flash_path, "rb") as f:
        flash = f.read()
    return code, out.decode(errors="replace"), frames(log_path), flash, summary(log_path)


def full_runs(checks, scratch, program=programs.Native()):
    image_path = os.path.join(scratch, "big.bin")
    make_image(image_path, 300000)
    with open(image_path, "rb") as f:
        image = f.read()
    wrapped_path = os.path.join(scratch, "big-wrapped.bin")
    make_image(wrapped_path, 140000, wrapped=True, seed=5)

    cases = [
        ("no password", [], [image_path, "-eth"], image, 2048),
        ("password, method 3", ["--password", PASSWORD, "--method", "3"],
         [image_path, "-eth", "-w" + PASSWORD], image, 2048),
        ("password, method 2, wrapped file, 512-byte blocks",
         ["--password", "pw", "--method", "2", "--block-size", "512"],
         [wrapped_path, "-eth", "-wpw"], None, 512),
    ]
    for index, (name, sim_options, args, expected_flash, block) in enumerate(cases):
        print("case: full run, " + name)
        with program.network() as (lab, launch):
            code, out, seen, flash, stats = run(lab, launch, scratch, "full-%d" % index,
                                                sim_options, args)
        lines = out.splitlines()
        checks.expect(code == 0, "%s: exit code %d: %r" % (name, code, lines[-4:]))
        checks.expect(IDENT in lines and program.text("\n" + IDENT + "\n") in out,
                      "%s: identification missing" % name)
        checks.expect(" - Verifying - Ok" in out, "%s: no verify line" % name)
        end = program.text(" - Ok - Verifying - Ok\n\nPress any key to exit program")
        checks.expect(out.endswith(end), "%s: end of output %r" % (name, out[-120:]))
        checks.expect(seen and seen[-1][0] == "reboot", "%s: no reboot at the end" % name)
        commands = [c for c, _ in seen]
        for needed in ("nandindex", "erase", "subpage", "write", "flush", "verify", "reboot"):
            checks.expect(needed in commands, "%s: no %s command" % (name, needed))
        writes = [frame for c, frame in seen if c == "write"]
        lengths = [int.from_bytes(f[5:7], "big") for f in writes]
        checks.expect(writes and max(lengths) == block, "%s: largest write %s, expected %d"
                      % (name, max(lengths) if lengths else None, block))
        checks.expect(stats.get("hostFaults") == 0, "%s: host faults %r" % (name, stats))
        if expected_flash is not None:
            checks.expect(flash == expected_flash, "%s: flash differs from the image" % name)
        else:
            checks.expect(stats.get("bytesWritten") == 140000, "%s: %r bytes written"
                          % (name, stats.get("bytesWritten")))


def broken_runs(checks, scratch, program=programs.Native()):
    image_path = os.path.join(scratch, "mid.bin")
    make_image(image_path, 150000, seed=3)
    cases = [
        ("connection dropped during a write", ["--fault", "write:20:drop"],
         "Failed to write data to Flash", "\nPrograming Error\n"),
        ("silent during a write", ["--fault", "write:20:silence"],
         "Failed to write data to Flash", "\nPrograming Error\n"),
        ("connection dropped at the NAND index erase", ["--fault", "nandindex:1:drop"],
         "Failed to erase NAND flash index", "\nPrograming Error\n"),
        ("connection dropped at the flush", ["--fault", "flush:1:drop"], None,
         " - Flushing error\n"),
    ]
    for index, (name, sim_options, status, console) in enumerate(cases):
        print("case: " + name)
        with program.network() as (lab, launch):
            code, out, _, _, _ = run(lab, launch, scratch, "broken-%d" % index, sim_options,
                                     [image_path, "-eth"])
        lines = out.splitlines()
        checks.expect(code == 1, "%s: exit code %d" % (name, code))
        checks.expect(program.text(console) in out,
                      "%s: no %r in the output %r" % (name, console, out[-300:]))
        if status is not None:
            checks.expect(status in lines, "%s: no line %r in %r" % (name, status, lines[-5:]))


def main():
    netns.skip_unless_possible()
    if not os.path.exists(MKIMAGE):
        print("skipped: scripts/mkimage is missing")
        sys.exit(netns.SKIP)
    checks = netns.Checks()
    with tempfile.TemporaryDirectory(prefix="pendrel-eth-") as scratch:
        full_runs(checks, scratch)
        broken_runs(checks, scratch)
    checks.finish()


if __name__ == "__main__":
    main()
