"""Connection and login over a private network: each login form, wrong and
missing passwords, and controllers that close or go silent during the login.
logins() takes the program to run (test_wine_eth.py runs them with pendrel.exe)."""
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402
import programs  # noqa: E402

IDENT = "Talo Simulated Controller V1.00"
NO_FILE = "Failed to open Flash data file"  # the run got past the open
WRONG = "Entered wrong password"
MISSING = "No password specified"
CLOSED = "Device is not connected"
TIMEOUT = "Got no repsone from device (Timeout)"

# A password whose MD5/CRC answers are as likely as any to hold 0xAA, and one
# that holds 0xAA itself (method 1 doubles it on the wire).
PASSWORD = "Sesam-0pen"
AA_PASSWORD = b"p\xaaw"

# (name, simulator options, pendrel password option or None, expected line,
#  login step the simulator must log last)
CASES = [
    ("greeting, no password", [], None, NO_FILE, "greeting"),
    ("greeting ignores a given password", [], "-wanything", NO_FILE, "greeting"),
    ("method 1", ["--method", "1", "--password", PASSWORD], "-w" + PASSWORD, NO_FILE, "accepted"),
    ("method 1, 0xAA in the password", ["--method", "1", "--password", AA_PASSWORD],
     b"-w" + AA_PASSWORD, NO_FILE, "accepted"),
    ("method 2", ["--method", "2", "--password", PASSWORD], "-w" + PASSWORD, NO_FILE, "accepted"),
    ("method 3", ["--method", "3", "--password", PASSWORD], "-w" + PASSWORD, NO_FILE, "accepted"),
    ("method 3, 16-character password", ["--method", "3", "--password", "0123456789abcdef"],
     "-w0123456789abcdef", NO_FILE, "accepted"),
    ("method 7: header alone", ["--method", "7", "--password", PASSWORD], "-w" + PASSWORD,
     NO_FILE, "accepted"),
    ("method 1, wrong password", ["--method", "1", "--password", PASSWORD], "-wsesam", WRONG,
     "rejected"),
    ("method 2, wrong password", ["--method", "2", "--password", PASSWORD], "-wsesam", WRONG,
     "rejected"),
    ("method 3, wrong password", ["--method", "3", "--password", PASSWORD], "-wsesam", WRONG,
     "rejected"),
    ("challenge, no password", ["--method", "3", "--password", PASSWORD], None, MISSING,
     "challenge"),
    ("challenge, empty password", ["--method", "1", "--password", PASSWORD], "-w", MISSING,
     "challenge"),
    ("closes during the login", ["--close-during-login"], None, CLOSED, "closed"),
    ("silent during the login", ["--silent-login"], None, TIMEOUT, "silent"),
]


def login_steps(log_path):
    steps = []
    with open(log_path) as log:
        for line in log:
            record = json.loads(line)
            if record.get("event") == "login":
                steps.append(record.get("step"))
    return steps


def logins(checks, program=programs.Native()):
    with tempfile.TemporaryDirectory(prefix="pendrel-eth-") as scratch:
        for index, (name, sim_options, password, expected, step) in enumerate(CASES):
            print("case: " + name)
            log_path = os.path.join(scratch, "sim%d.jsonl" % index)
            with program.network() as (lab, launch):
                sim = lab.start_sim(0, ["--log", log_path] + sim_options)
                args = ["missing-image.bin", "-eth"] + ([password] if password else [])
                code, out, _ = launch(args, timeout=60)
                lab.stop_sim(sim)
            lines = out.decode(errors="replace").splitlines()
            checks.expect(code == 1, "%s: exit code %d" % (name, code))
            checks.expect(expected in lines, "%s: no line %r in %r" % (name, expected, lines))
            checks.expect((IDENT in lines) == (expected == NO_FILE),
                          "%s: identification %s" % (name, "missing" if expected == NO_FILE
                                                     else "printed after a failed login"))
            steps = login_steps(log_path)
            checks.expect(steps and steps[-1] == step, "%s: login steps %r" % (name, steps))


def main():
    netns.skip_unless_possible()
    checks = netns.Checks()
    logins(checks)
    checks.finish()


if __name__ == "__main__":
    main()
