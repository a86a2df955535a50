"""One pendrel-station run over every link: the five emulated USB controllers
of umockdev_station_tests and three Ethernet controllers at their own
addresses, all programmed at once inside a private network (never the
machine's own), each flash compared.

    every_link.py UMOCKDEV_STATION_TESTS

umockdev_station_tests runs in the network's programmer namespace and checks
the station's events and records; this script makes the network, runs the
Ethernet controllers and compares their flashes with the image afterwards."""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
import netns  # noqa: E402
from stationlib import make_image, read  # noqa: E402

MODEL = "TXC7390"  # the model of the emulated USB controllers


def main(tests):
    netns.skip_unless_possible()
    with tempfile.TemporaryDirectory() as directory, netns.Lab(controllers=3) as lab:
        image = make_image(directory, MODEL, 40000)
        flashes = [os.path.join(directory, "flash%d.bin" % i) for i in range(3)]
        sims = [lab.start_sim(i, ["--model", MODEL, "--flash-out", flashes[i], "--exit-after-reboot"])
                for i in range(3)]
        units = " ".join("eth:" + netns.Lab.address(i) for i in range(3))
        env = dict(os.environ, STATION_ETH_UNITS=units, STATION_IMAGE=image)
        run = subprocess.run(["ip", "netns", "exec", lab.host, tests,
                              "--gtest_filter=StationEmulation.UsbAndEthernetAtOnce"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             env=env, timeout=400)
        output = run.stdout.decode(errors="replace")
        print(output)
        for sim in sims:
            lab.stop_sim(sim)
        wrong = [i for i in range(3) if not os.path.exists(flashes[i]) or read(flashes[i]) != read(image)]
        for i in wrong:
            print("FAILED: the flash of eth:%s is not the image" % netns.Lab.address(i))
    # A filter that selected nothing, or a skip, also ends with exit code 0.
    ran = "[  PASSED  ] 1 test." in output and "[  SKIPPED ]" not in output
    return 0 if run.returncode == 0 and ran and not wrong else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
