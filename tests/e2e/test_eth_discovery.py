"""Discovery outcomes over a private network: `pendrel FILE -eth` against
zero, one and two `talo-sim ethernet` controllers. discover() takes the
program to run (test_wine_eth.py runs some cases with pendrel.exe)."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import programs  # noqa: E402
from pendrel_run import PROMPT  # noqa: E402

NONE_FOUND = "Found no Talo devices over Ethernet"
TWO_FOUND = "Found more than one device, please disconnect the others"
IN_USE = "Device is already connected with another application or PC."
IDENT = "Talo Simulated Controller V1.00"
# A file that does not exist: a run that got past the open, the handshake
# and the identification stops here.
NO_FILE = "Failed to open Flash data file"

# (name, options of each controller, line that ends the run)
CASES = [
    ("no controller", [], NONE_FOUND),
    ("controller that does not reply", [["--reply", "none"]], NONE_FOUND),
    ("one free, long reply", [[]], NO_FILE),
    ("one free, short reply", [["--reply", "short"]], NO_FILE),
    ("short reply ignores the in-use word", [["--reply", "short", "--in-use", "1"]], NO_FILE),
    ("one in use", [["--in-use", "1"]], IN_USE),
    ("in-use word in its last byte", [["--in-use", "16777216"]], IN_USE),
    ("two free", [[], []], TWO_FOUND),
    ("two, one in use", [[], ["--in-use", "7"]], TWO_FOUND),
    ("two, one silent", [["--reply", "none"], []], NO_FILE),
    ("one answering twice", [["--answer-twice"]], TWO_FOUND),
    ("garbage alone", [["--garbage-datagram", "--reply", "none"]], NONE_FOUND),
    ("garbage, then the reply", [["--garbage-datagram"]], NO_FILE),
    # Over 256 bytes is a failed receive: the collection ends before the
    # reply that follows it.
    ("oversize datagram, then the reply", [["--oversize-datagram"]], NONE_FOUND),
    ("connection on the reply's port", [["--tcp-port", "40123"]], NO_FILE),
]


def lines_of(out):
    return out.decode(errors="replace").splitlines()


def discover(checks, program=programs.Native()):
    for name, controllers, expected in CASES:
        print("case: " + name)
        with program.network(controllers=max(1, len(controllers))) as (lab, launch):
            for index, options in enumerate(controllers):
                lab.start_sim(index, ["--bind", lab.address(index)] + options)
            code, out, _ = launch(["missing-image.bin", "-eth"], timeout=60)
            lines = lines_of(out)
            checks.expect(code == 1, "%s: exit code %d, expected 1" % (name, code))
            checks.expect(expected in lines, "%s: no line %r in %r" % (name, expected, lines))
            if expected == NO_FILE:
                checks.expect(IDENT in lines, "%s: identification missing" % name)
            else:
                # The run stops at the open: nothing after the status but the prompt.
                checks.expect(lines[-3:] == [expected, "", "Press any key to exit program"]
                              and IDENT not in lines,
                              "%s: unexpected output %r" % (name, lines))
                end = program.text(b"\n" + expected.encode() + b"\n" + PROMPT)
                checks.expect(out.endswith(end), "%s: end of output %r" % (name, out[-120:]))


def main():
    netns.skip_unless_possible()
    checks = netns.Checks()
    discover(checks)
    checks.finish()


if __name__ == "__main__":
    main()
