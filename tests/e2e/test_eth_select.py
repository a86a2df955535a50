"""One Ethernet controller among three, named by PENDREL_ETH_ADDRESS, in a
private network: discovery asks that address alone, and only its reply
counts; an address where nothing answers, or one that is no IPv4 address,
ends as a discovery that found nothing, and no controller hears a request.
PENDREL_PASSWORD logs in where no -w is given."""
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import netns  # noqa: E402

SOURCE = os.environ.get("PENDREL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
MKIMAGE = os.path.join(SOURCE, "scripts", "mkimage")
NONE_FOUND = "Found no Talo devices over Ethernet"
IDENT = "Talo Simulated Controller V1.00"


def events(log_path, kind):
    with open(log_path) as log:
        return [r for r in map(json.loads, log) if r.get("event") == kind]


def lines_of(out):
    return out.decode(errors="replace").splitlines()


def main():
    netns.skip_unless_possible()
    checks = netns.Checks()
    with tempfile.TemporaryDirectory(prefix="pendrel-eth-select-") as scratch, \
            netns.Lab(controllers=3) as lab:
        image = os.path.join(scratch, "image.bin")
        subprocess.run([sys.executable, MKIMAGE, "-o", image, "--model", "TXC7390", "--size",
                        "150000"], check=True, stdout=subprocess.DEVNULL, timeout=60)
        logs = [os.path.join(scratch, "sim%d.jsonl" % i) for i in range(3)]
        flash = os.path.join(scratch, "sim1.flash")
        sims = [lab.start_sim(i, ["--bind", lab.address(i), "--model", "TXC7390", "--log", logs[i]]
                              + (["--flash-out", flash] if i == 1 else [])
                              + (["--password", "s3cret", "--method", "3"] if i == 2 else []))
                for i in range(3)]

        for name, address in (("no controller there", "192.0.2.50"), ("no address", "192.0.2")):
            print("case: " + name)
            code, out, _ = lab.run_pendrel([image, "-eth"], env={"PENDREL_ETH_ADDRESS": address})
            lines = lines_of(out)
            checks.expect(code == 1, "%s: exit code %d" % (name, code))
            checks.expect(lines[-3:] == [NONE_FOUND, "", "Press any key to exit program"],
                          "%s: ends with %r" % (name, lines[-3:]))

        print("case: the second of three")
        code, out, _ = lab.run_pendrel([image, "-eth"], env={"PENDREL_ETH_ADDRESS": lab.address(1)})
        checks.expect(code == 0, "second: exit code %d: %r" % (code, lines_of(out)[-4:]))

        print("case: the third, with its password from the environment")
        code, out, _ = lab.run_pendrel(["missing.bin", "-eth"], env={
            "PENDREL_ETH_ADDRESS": lab.address(2), "PENDREL_PASSWORD": "s3cret"})
        checks.expect(IDENT in lines_of(out), "third: not logged in: %r" % lines_of(out))

        for sim in sims:
            lab.stop_sim(sim)
        with open(image, "rb") as f, open(flash, "rb") as g:
            checks.expect(f.read() == g.read(), "second: its flash differs from the image")
        # The two failures asked no one; each run that named a controller
        # asked that one alone.
        asked = [len(events(log, "discovery")) for log in logs]
        checks.expect(asked == [0, 1, 1], "discovery requests per controller: %r" % asked)
        checks.expect(not events(logs[0], "frame"), "the first controller got frames")
    checks.finish()


if __name__ == "__main__":
    main()
