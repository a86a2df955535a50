"""pendrel-station against several talo-sim units at once: every unit's
flash, pendrel's own failure text, the JSON lines and the log against their
schema, exit codes, hung and crashed children, bad input.

StationScenarios run with pendrel-station.exe under Wine too
(test_wine_station.py), on COM ports mapped to the simulators."""
import hashlib
import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import programs  # noqa: E402
import stationlib  # noqa: E402
from pendrel_run import PENDREL, PROMPT, run_pendrel  # noqa: E402
from simlib import Sim  # noqa: E402
from stationlib import (Rack, children_of, json_lines, make_image, read, run_station,  # noqa: E402
                        running, wait_until)

FAULT = "write:3:nak"


def pendrel_failure_text(image, port):
    """What pendrel alone prints after the identification when it fails: its lines
    without the banner, the identification, the progress line and the prompt."""
    rc, out, _ = run_pendrel([image, "-p" + port], timeout=60)
    text = out.decode().replace(PROMPT.decode(), "")
    lines = [line for line in text.split("\n")[5:]
             if line and not line.startswith("Programming application data: ")]
    return rc, ": ".join(lines)


class StationScenarios:
    """Runs the station of self.runner's system; the class names its bad input."""
    runner = programs.Native()

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def station(self, args, timeout=180, env=None):
        return run_station(args, timeout=timeout, env=env)

    def rack(self, n, **options):
        return Rack(self.dir, n, **options)

    def test_four_units_together_plain_lines_and_log(self):
        image = make_image(self.dir, "TXC7390", 100000)
        log = os.path.join(self.dir, "units.jsonl")
        with open(log, "w") as f:  # the log is appended to, never rewritten
            f.write('{"earlier": "record"}\n')
        with self.rack(4) as rack:
            rc, out, err = self.station(["program", image, *rack.ports, "--log", log])
            flashes = [rack.flash(i) for i in range(4)]
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(err, "")
        for i, flash in enumerate(flashes):
            self.assertEqual(flash, read(image), "unit %d" % i)
        for port in rack.ports:
            mine = [line[len(port) + 2:] for line in out.splitlines() if line.startswith(port + ": ")]
            self.assertEqual(mine[0], "start")
            self.assertEqual(mine[1], "Talo Simulated Controller V1.00")
            self.assertRegex(mine[-1], r"^ok, 97kB in \d+\.\d s \(\d+\.\d kB/s\)$")
            self.assertRegex(out, re.escape(port) + r" +ok +\d+\.\d +97  Talo Simulated Controller")
        self.assertTrue(out.endswith(self.runner.text("4 units: 4 ok, 0 failed\n")), out)
        with open(log) as f:
            lines = f.read().splitlines()
        self.assertEqual(lines[0], '{"earlier": "record"}')
        records = json_lines("\n".join(lines[1:]), "log")
        self.assertEqual(sorted(r["port"] for r in records), sorted(rack.ports))
        digest = hashlib.sha256(read(image)).hexdigest()
        for r in records:
            self.assertEqual((r["result"], r["exit_code"], r["sha256"]), ("ok", 0, digest))
            self.assertEqual((r["bytes"], r["link"], r["pendrel_version"]),
                             (100000, "serial", stationlib.PENDREL_VERSION))

    def test_four_units_one_faulty_json_and_log(self):
        image = make_image(self.dir, "TXC7390", 50000)
        log = os.path.join(self.dir, "units.jsonl")
        with self.rack(4, faults={3: "write:4:nak"}) as rack:
            rc, out, err = self.station(["program", image, *rack.ports, "--json", "--log", log])
            flashes = [rack.flash(i) for i in range(4)]
        self.assertEqual(rc, 1, out + err)
        events = json_lines(out, "event")
        ends = {e["port"]: e for e in events if e["event"] == "end"}
        self.assertEqual(set(ends), set(rack.ports))
        for i, port in enumerate(rack.ports[:3]):
            self.assertEqual((ends[port]["result"], ends[port]["exit_code"]), ("ok", 0), ends[port])
            self.assertEqual(ends[port]["identification"], "Talo Simulated Controller V1.00")
            self.assertEqual(flashes[i], read(image), port)
        faulty = ends[rack.ports[3]]
        self.assertEqual((faulty["result"], faulty["exit_code"], faulty["failure"]),
                         ("failed", 1, "Programing Error: Failed to write data to Flash"))
        # Cut short: the last progress figure, whole kB.
        self.assertEqual(faulty["bytes"] % 1024, 0)
        self.assertLess(faulty["bytes"], 50000)
        self.assertEqual(events[-1]["event"], "summary")
        self.assertIn("4 units: 3 ok, 1 failed", err)
        with open(log) as f:
            records = json_lines(f.read(), "log")
        self.assertEqual(sorted(r["port"] for r in records), sorted(rack.ports))
        self.assertEqual({r["sha256"] for r in records}, {hashlib.sha256(read(image)).hexdigest()})

    def test_bad_input_exits_2_with_one_line(self):
        for args, words in self.bad_input_cases():
            with self.subTest(args=args):
                rc, out, err = self.station(args, timeout=30)
                self.assertEqual(rc, 2)
                if args:
                    self.assertEqual(out, "")
                    self.assertEqual(len(err.splitlines()), 1, err)
                    self.assertTrue(err.startswith("pendrel-station: "), err)
                self.assertIn(words, out + err)


class Station(StationScenarios, unittest.TestCase):
    def setUp(self):
        stationlib.require_station()
        super().setUp()

    def bad_input_cases(self):
        image = make_image(self.dir, "TXC5110", 2000)
        link = os.path.join(self.dir, "alias")
        os.symlink("/dev/null", link)
        return [
            (["program", os.path.join(self.dir, "missing.bin"), "/dev/null"], "image not found"),
            (["program", image, "/dev/ttyS0", "COM1"], "port named twice: /dev/ttyS0"),
            (["program", image, link, "/dev/null"], "port named twice"),
            (["program", image, "/dev/null", "--fast"], "unknown option '--fast'"),
            (["program", image], "no unit named"),
            (["program", image, "usb:1-4", "/dev/null", "usb:1-4"], "controller named twice: usb:1-4"),
            (["program", image, "usb:usb:003:007", "usb:/dev/bus/usb/003/007"], "controller named twice"),
            (["program", image, "eth:192.0.2.1", "eth:192.0.2.1"], "controller named twice: eth:192.0.2.1"),
            (["program", image, "eth:192.0.2.256"], "IPv4 address"),
            (["program", image, "-w" + "x" * 17, "eth:192.0.2.1"], "more than 16 characters"),
            (["program", image, "/dev/null", "--pendrel", os.path.join(self.dir, "none")], "cannot find"),
            ([], "Usage:"),
        ]

    def test_a_faulty_unit_fails_with_pendrels_text_while_the_others_succeed(self):
        # Paced, so that each run lasts long enough for progress events a second apart.
        image = make_image(self.dir, "TXC7390", 40000)
        with Sim("serial", ["--model", "TXC7390", "--quiet", "--exit-after-reboot", "--fault", FAULT]) as alone:
            alone_rc, expected = pendrel_failure_text(image, alone.port)
        self.assertEqual(alone_rc, 1)
        self.assertIn("Failed to write data to Flash", expected)
        with Rack(self.dir, 4, faults={2: FAULT}, extra=["--pace"]) as rack:
            started = time.monotonic()
            rc, out, err = run_station(["program", image, *rack.ports, "--json"])
            wall = time.monotonic() - started
            flashes = [rack.flash(i) for i in range(4)]
        self.assertEqual(rc, 1, out + err)
        events = json_lines(out, "event")
        ends = {e["port"]: e for e in events if e["event"] == "end"}
        self.assertEqual(set(ends), set(rack.ports))
        for i, port in enumerate(rack.ports):
            if i == 2:
                self.assertEqual((ends[port]["result"], ends[port]["exit_code"]), ("failed", 1))
                self.assertEqual(ends[port]["failure"], expected)
                continue
            self.assertEqual(ends[port]["result"], "ok", ends[port])
            self.assertEqual(flashes[i], read(image))
            kinds = [e["event"] for e in events if e.get("port") == port]
            self.assertEqual(kinds[:2], ["start", "identification"])
            self.assertEqual(kinds[-1], "end")
            progress = [e for e in events if e.get("port") == port and e["event"] == "progress"]
            self.assertGreaterEqual(len(progress), 2)
            self.assertLessEqual(len(progress), ends[port]["seconds"] + 1)
            self.assertEqual([p["kb"] for p in progress], sorted(p["kb"] for p in progress))
        # The units ran side by side: together they took about as long as one.
        longest = max(e["seconds"] for e in ends.values())
        self.assertLess(wall, longest * 2, "the units did not run at once")
        self.assertEqual(events[-1], dict(events[-1], event="summary", units=4, ok=3, failed=1,
                                          interrupted=False))
        self.assertIn("4 units: 3 ok, 1 failed", err)

    def test_a_wrapped_image_under_1kb_counts_its_exact_bytes(self):
        # pendrel counts whole kB (0 here); the record counts the image's
        # data, without the wrapper around it. The image's folder is named in
        # Latin-1, not UTF-8: the records stay UTF-8, the byte replaced.
        folder = os.path.join(self.dir, "J\udcfcrgen")  # b"J\xfcrgen" on disk
        os.mkdir(folder)
        image = make_image(folder, "TXC5110", 700, extra=["--wrapped"])
        log = os.path.join(self.dir, "units.jsonl")
        with Rack(self.dir, 1, model="TXC5110") as rack:
            rc, out, err = run_station(["program", image, rack.ports[0], "--json", "--log", log])
            rack.flash(0)
        self.assertEqual(rc, 0, out + err)
        end = [e for e in json_lines(out, "event") if e["event"] == "end"]
        with open(log, encoding="utf-8") as f:
            records = json_lines(f.read(), "log")
        for r in end + records:
            fields = ("bytes", "link", "usb_serial", "usb_location", "pendrel_version")
            self.assertEqual(tuple(r[f] for f in fields), (700, "serial", None, None, stationlib.PENDREL_VERSION))
            self.assertGreater(r["bytes_per_second"], 0)
        self.assertEqual(records[0]["image"], image.replace("\udcfc", "\ufffd"))

    def test_every_unit_flashes_the_bytes_its_record_names(self):
        # The image is rebuilt while the first of two units (--jobs 1) runs:
        # the second must still flash what the records' hash names.
        image = make_image(self.dir, "TXC7390", 20000)
        rebuilt = make_image(self.dir, "TXC7390", 20000, name="rebuilt.bin", extra=["--seed", "7"])
        tmp = os.path.join(self.dir, "tmp")
        os.mkdir(tmp)
        log = os.path.join(self.dir, "units.jsonl")
        out_path = os.path.join(self.dir, "station.out")
        with Rack(self.dir, 2, extra=["--pace"]) as rack, open(out_path, "w") as out:
            station = subprocess.Popen([stationlib.STATION, "program", image, *rack.ports, "--jobs", "1",
                                        "--json", "--log", log], stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.DEVNULL, env=dict(os.environ, TMPDIR=tmp))
            try:
                wait_until(lambda: '"event":"identification"' in read(out_path).decode(), 30,
                           "the first unit under way")
                shutil.copyfile(rebuilt, image)
                self.assertEqual(station.wait(timeout=120), 0, read(out_path))
            finally:
                if station.poll() is None:
                    station.kill()
                    station.wait(timeout=10)
            flashes = [rack.flash(i) for i in range(2)]
        with open(log) as f:
            records = {r["port"]: r for r in json_lines(f.read(), "log")}
        for port, flash in zip(rack.ports, flashes):
            self.assertEqual(hashlib.sha256(flash).hexdigest(), records[port]["sha256"], port)
        self.assertEqual(os.listdir(tmp), [], "the image's copy was left behind")

    def test_a_pendrel_of_another_version_is_refused_before_any_unit(self):
        image = make_image(self.dir, "TXC5110", 2000)
        ran = os.path.join(self.dir, "ran")
        fake = os.path.join(self.dir, "pendrel")
        cases = [("Pendrel V9.99 - Loads raw flash data files into the Talo device",
                  "%s is pendrel 9.99; this station needs pendrel %s" % (fake, stationlib.PENDREL_VERSION)),
                 ("Another program 1.0", "%s printed no pendrel banner" % fake)]
        for banner, words in cases:
            with self.subTest(banner=banner):
                with open(fake, "w") as f:
                    f.write('#!/bin/sh\n[ $# -gt 0 ] && touch "%s"\nprintf "\\n%s\\n"\nexit 1\n'
                            % (ran, banner))
                os.chmod(fake, stat.S_IRWXU)
                rc, out, err = run_station(["program", image, "/x/none", "--pendrel", fake], timeout=60)
                self.assertEqual((rc, out), (2, ""), err)
                self.assertEqual(err.splitlines(), [err.strip()])
                self.assertTrue(err.startswith("pendrel-station: " + words), err)
                self.assertFalse(os.path.exists(ran), "a unit was started")

    def test_a_signal_during_the_checks_still_ends_with_the_summary(self):
        # pendrel answers the version check only after a while; the station is
        # told to stop meanwhile, before any unit could start.
        image = make_image(self.dir, "TXC5110", 2000)
        probing, ran = os.path.join(self.dir, "probing"), os.path.join(self.dir, "ran")
        fake = stationlib.fake_pendrel(os.path.join(self.dir, "pendrel"), 'touch "%s"\nexit 0\n' % ran)
        with open(fake) as f:
            body = f.read().replace("if [ $# -eq 0 ]; then\n", 'if [ $# -eq 0 ]; then\n  touch "%s"; sleep 1\n' % probing)
        with open(fake, "w") as f:
            f.write(body)
        station = subprocess.Popen([stationlib.STATION, "program", image, "/x/none", "--pendrel", fake, "--json"],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            wait_until(lambda: os.path.exists(probing), 30, "the version check")
            station.send_signal(signal.SIGTERM)
            out, err = station.communicate(timeout=30)
        finally:
            if station.poll() is None:
                station.kill()
                station.wait(timeout=10)
        self.assertEqual(station.returncode, 1, err)
        summary = [e for e in json_lines(out.decode(), "event") if e["event"] == "summary"]
        self.assertEqual([(s["units"], s["failed"]) for s in summary], [(1, 1)], out)
        self.assertIn(b"interrupted before it started", err)
        self.assertFalse(os.path.exists(ran), "a unit was started")

    def test_children_end_with_the_station(self):
        # pendrel waits 10 s for a verify answer that never comes; the station
        # goes meanwhile: killed outright, or its terminal hung up.
        image = make_image(self.dir, "TXC7390", 20000)
        for how in (signal.SIGKILL, signal.SIGHUP):
            with self.subTest(signal=how.name):
                log = os.path.join(self.dir, "units-%s.jsonl" % how.name)
                with Sim("serial", ["--model", "TXC7390", "--quiet", "--fault", "verify:1:silence"],
                         log=True) as sim:
                    station = subprocess.Popen([stationlib.STATION, "program", image, sim.port, "--log", log],
                                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
                    try:
                        wait_until(lambda: any(e.get("command") == "verify" for e in sim.events()), 30,
                                   "pendrel waiting for the verify answer")
                        children = children_of(station.pid)
                        self.assertTrue(children)
                        station.send_signal(how)
                        rc = station.wait(timeout=10)
                        wait_until(lambda: not any(running(p) for p in children), 2,
                                   "pendrel %s ended" % children)
                    finally:
                        if station.poll() is None:
                            station.kill()
                            station.wait(timeout=10)
                if how == signal.SIGHUP:
                    self.assertEqual(rc, 1)
                    with open(log) as f:
                        records = json_lines(f.read(), "log")
                    self.assertEqual([(r["port"], r["failure"]) for r in records],
                                     [(sim.port, "interrupted")])

    def test_jobs_bounds_the_units_at_a_time(self):
        image = make_image(self.dir, "TXC7390", 20000)
        with Rack(self.dir, 3) as rack:
            rc, out, err = run_station(["program", image, *rack.ports, "--jobs", "2", "--json"])
            flashes = [rack.flash(i) for i in range(3)]
        self.assertEqual(rc, 0, out + err)
        self.assertEqual(flashes, [read(image)] * 3)
        running = peak = 0
        for e in json_lines(out, "event"):
            running += {"start": 1, "end": -1}.get(e["event"], 0)
            peak = max(peak, running)
        self.assertEqual(peak, 2)

    def test_hung_and_crashed_children_fail_alone(self):
        # A stand-in for pendrel that hangs or crashes on two ports and runs
        # the real program on the others (a port that does not exist, USB).
        fake = os.path.join(self.dir, "pendrel")
        with open(fake, "w") as f:
            f.write('#!/bin/sh\ncase "$2" in\n'
                    '  *hang) echo "stuck"; exec sleep 600 ;;\n'
                    '  *crash) echo "about to fall"; kill -SEGV $$ ;;\n'
                    'esac\nexec "%s" "$@"\n' % os.path.abspath(PENDREL))
        os.chmod(fake, stat.S_IRWXU)
        image = make_image(self.dir, "TXC7390", 20000)
        log = os.path.join(self.dir, "units.jsonl")
        with Rack(self.dir, 1) as rack:
            started = time.monotonic()
            rc, out, err = run_station(["program", image, rack.ports[0], "/x/hang", "/x/crash", "/x/none", "-usb",
                                        "--timeout", "3", "--log", log],
                                       env=dict(os.environ, PENDREL_STATION_PENDREL=fake), timeout=60)
            took = time.monotonic() - started
            flash = rack.flash(0)
        self.assertEqual(rc, 1, out + err)
        self.assertEqual(flash, read(image))
        self.assertGreaterEqual(took, 3)
        self.assertLess(took, 30)
        self.assertIn("/x/hang: FAILED: no result after 3 s, pendrel ended by the station: stuck", out)
        self.assertIn("/x/crash: FAILED: pendrel crashed (signal 11 (Segmentation fault)): about to fall", out)
        self.assertIn(rack.ports[0] + ": ok", out)
        self.assertIn("/x/none: FAILED: Open error: No such file or directory", out)
        # The USB unit: no controller here, and the station says what pendrel says.
        _, alone, _ = run_pendrel([image, "-usb"], timeout=60)
        said = [line for line in alone.decode().replace(PROMPT.decode(), "").split("\n")[5:] if line]
        self.assertIn("usb: FAILED: " + ": ".join(said), out)
        with open(log) as f:
            records = {r["port"]: r for r in json_lines(f.read(), "log")}
        self.assertEqual(records["/x/hang"]["exit_code"], None)
        self.assertEqual((records["/x/none"]["exit_code"], records["/x/none"]["identification"]), (1, None))
        self.assertEqual(records[rack.ports[0]]["result"], "ok")
        # The hung child's process group is gone: no sleep left behind.
        time.sleep(0.2)
        ps = subprocess.run(["ps", "-eo", "args"], stdout=subprocess.PIPE, text=True, check=True)
        self.assertNotIn("sleep 600", ps.stdout)


# Records as the station wrote them before records had a version.
V1_RECORDS = [
    '{"event":"start","time":"2026-12-10T05:16:20.580Z","port":"/dev/ttyUSB0"}',
    '{"event":"progress","time":"2026-12-10T05:16:20.588Z","port":"/dev/ttyUSB0","kb":1,"total_kb":2,'
    '"percent":34}',
    '{"event":"end","time":"2026-12-10T05:16:20.593Z","port":"/x/none","result":"failed","exit_code":1,'
    '"failure":"Open error: No such file or directory","identification":null,"bytes":0,"seconds":0.008,'
    '"kbps":0.0,"image":"img.bin",'
    '"sha256":"962dad8946e9c1c3534a54495c0cceefc37a4c8345d101d96847ade5196d146c"}',
    '{"event":"summary","time":"2026-12-10T05:16:20.614Z","units":2,"ok":1,"failed":1,"interrupted":false}',
    '{"time":"2026-12-10T05:16:20.614Z","started":"2026-12-10T05:16:20.580Z","port":"/dev/ttyUSB0",'
    '"usb_serial":null,"result":"ok","exit_code":0,"failure":null,'
    '"identification":"Talo Simulated Controller V1.00","bytes":2048,"seconds":0.033,"kbps":76.0,'
    '"image":"img.bin","sha256":"962dad8946e9c1c3534a54495c0cceefc37a4c8345d101d96847ade5196d146c"}',
]

V2_LOG = {"version": 2, "time": "2026-12-10T05:16:20.614Z", "started": "2026-12-10T05:16:20.580Z",
          "port": "usb:1-1.4", "link": "usb", "usb_serial": "TALO0042", "usb_location": "1-1.4",
          "result": "ok", "exit_code": 0, "failure": None,
          "identification": "Talo Simulated Controller V1.00",
          "bytes": 3000, "seconds": 0.033, "bytes_per_second": 120000.5, "image": "img.bin",
          "sha256": "962dad8946e9c1c3534a54495c0cceefc37a4c8345d101d96847ade5196d146c",
          "pendrel_version": stationlib.PENDREL_VERSION}


class Schema(unittest.TestCase):
    """The installed schema reads the records of both versions, and tells them apart."""

    def test_version_1_records_still_validate(self):
        check = stationlib.validator("")
        for line in V1_RECORDS:
            check(json.loads(line))

    def test_version_2_records_are_held_to_their_fields(self):
        import jsonschema
        check = stationlib.validator("")
        check(V2_LOG)
        check(dict(V2_LOG, identification=None))  # a controller with an empty identification text
        bad = [dict(V2_LOG, kbps=1.0), dict(V2_LOG, version=3), dict(V2_LOG, link="serial port"),
               {k: v for k, v in V2_LOG.items() if k != "pendrel_version"},
               {k: v for k, v in V2_LOG.items() if k != "version"}, dict(V2_LOG, bytes=3000.5),
               dict(V2_LOG, failure="Verify Error"), dict(V2_LOG, exit_code=1)]
        for record in bad:
            with self.subTest(record=record):
                with self.assertRaises(jsonschema.ValidationError):
                    check(record)


if __name__ == "__main__":
    unittest.main(verbosity=2)
