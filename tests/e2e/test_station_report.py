"""pendrel-station report: made-up logs of both record versions that pin
every figure (boards and retries, torn lines, --since/--until), a flagged
port and its rendered page, unreadable input, and the log of a real station
run with one faulty unit. The JSON is checked against its schema."""
import datetime
import json
import math
import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import reportlib  # noqa: E402
import stationlib  # noqa: E402
from reportlib import SHA_A, SHA_B, T0, record, write_log  # noqa: E402
from stationlib import Rack, make_image, run_station  # noqa: E402

REPORT_SCHEMA = os.path.join(stationlib.SOURCE, "dist", "pendrel-station-report.schema.json")
FAULT_TEXT = "Programing Error: Failed to write data to Flash"


def at(minutes, seconds=0):
    return T0 + datetime.timedelta(minutes=minutes, seconds=seconds)


def fisher_tail(k, n, big_k, big_n):
    """P(X >= k), X hypergeometric: n drawn from big_n of which big_k failed, in exact integers."""
    total = math.comb(big_n, n)
    return sum(math.comb(big_k, i) * math.comb(big_n - big_k, n - i)
               for i in range(k, min(n, big_k) + 1)) / total


class StationReport(unittest.TestCase):
    def setUp(self):
        stationlib.require_station()
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        with open(REPORT_SCHEMA) as f:
            schema = json.load(f)
        import jsonschema
        jsonschema.Draft7Validator.check_schema(schema)
        self.validate = jsonschema.Draft7Validator(schema).validate

    def tearDown(self):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.dir, name)

    def report_json(self, *args, rc=None):
        code, out, err = run_station(["report", *args, "--json"], timeout=60)
        self.assertEqual(err, "")
        if rc is not None:
            self.assertEqual(code, rc, out)
        self.assertEqual(len(out.splitlines()), 1)
        report = json.loads(out)
        self.validate(report)
        return report

    def two_versions(self):
        """A version-1 log with a torn record that the next run's record
        follows on the same line, and a version-2 log of USB boards (one
        tried twice, one whose failed first attempt is written after its
        retry, one flashed with a second image) that ends in a torn line."""
        old = [record(at(0), 40, version=1, usb_serial="FTA1"),
               record(at(1), 2, version=1, usb_serial="FTA1", ok=False,
                      failure="No or invalid response from Talo device"),
               record(at(2), 30, port="usb", version=1)]
        with open(self.path("old.jsonl"), "w") as f:
            f.write(json.dumps(old[0]) + "\n" + json.dumps(old[1]) + "\n")
            f.write(json.dumps(old[1])[:80] + json.dumps(old[2]) + "\n")
        lost = "USB connection lost"
        new = [record(at(60), 5, port="usb:serial=C1", usb_serial="C1", usb_location="1-1.2", ok=False, failure=lost),
               record(at(62), 20, port="usb:serial=C1", usb_serial="C1", usb_location="1-1.3"),
               record(at(63), 22, port="usb:1-1.3", usb_serial="C2", usb_location="1-1.3"),
               record(at(70), 24, port="usb:1-1.2", usb_serial="C3", usb_location="1-1.2"),
               record(at(50), 3, port="usb:1-1.3", usb_serial="C3", usb_location="1-1.3", ok=False, failure=lost),
               record(at(80), 50, port="usb:1-1.3", usb_serial="C2", usb_location="1-1.3", sha256=SHA_B,
                      image="boot.ovx")]
        write_log(self.path("new.jsonl"), new, torn=True)
        return [self.path("old.jsonl"), self.path("new.jsonl")]

    def figures(self, f):
        keys = ("units", "passed", "failed", "boards", "first_pass", "retries", "median_seconds", "slowest_seconds")
        return tuple(f[k] for k in keys)

    def test_two_record_versions_and_torn_lines_pin_every_figure(self):
        logs = self.two_versions()
        r = self.report_json(*logs, rc=1)
        self.assertEqual([(i["records"], i["torn_lines"], i["outside"]) for i in r["inputs"]], [(3, 1, 0), (6, 1, 0)])
        # Boards: the adapter's serial number never names a board; C1 fails on
        # 1-1.2 and passes on 1-1.3; C3's first attempt (on 1-1.3) is the failed
        # one, though written after its retry; C2 with another image is another board.
        self.assertEqual(self.figures(r["line"]), (9, 6, 3, 7, 4, 2, 27.0, 50.0))
        self.assertEqual(r["line"]["first_pass_yield"], 0.5714)
        ports = {p["port"]: p for p in r["ports"]}
        self.assertEqual(list(ports), ["/dev/ttyUSB0", "usb", "usb:1-1.2", "usb:1-1.3"])
        self.assertEqual(self.figures(ports["/dev/ttyUSB0"]), (2, 1, 1, 2, 1, 0, 40.0, 40.0))
        self.assertEqual(self.figures(ports["usb"]), (1, 1, 0, 1, 1, 0, 30.0, 30.0))
        self.assertEqual(self.figures(ports["usb:1-1.2"]), (2, 1, 1, 1, 0, 1, 24.0, 24.0))
        self.assertEqual(self.figures(ports["usb:1-1.3"]), (4, 3, 1, 3, 2, 1, 22.0, 50.0))
        self.assertEqual([p["link"] for p in r["ports"]], ["serial", "usb", "usb", "usb"])
        self.assertEqual([(i["image"], i["sha256"], i["units"], i["boards"], i["first_pass"]) for i in r["images"]],
                         [("app.ovx", SHA_A, 8, 6, 3), ("boot.ovx", SHA_B, 1, 1, 1)])
        self.assertEqual([(f["failure"], f["count"], f["share"], f["cumulative"], f["ports"]) for f in r["failures"]],
                         [("USB connection lost", 2, 0.6667, 0.6667,
                           [{"port": "usb:1-1.2", "count": 1}, {"port": "usb:1-1.3", "count": 1}]),
                          ("No or invalid response from Talo device", 1, 0.3333, 1.0,
                           [{"port": "/dev/ttyUSB0", "count": 1}])])
        self.assertEqual(r["hours"], [{"hour": "2026-12-09T06:00:00Z", "passed": 2, "failed": 2},
                                      {"hour": "2026-12-09T07:00:00Z", "passed": 4, "failed": 1}])
        # Running in minutes 0-2, 50, 60, 62, 63, 70 and 80: the pause after
        # minute 2 is a break, the others (under 10 minutes) count: 34 minutes.
        self.assertEqual((r["line"]["active_hours"], r["line"]["units_per_hour"]), (0.567, 15.9))
        self.assertEqual((r["first"], r["last"]), ("2026-12-09T06:00:00Z", "2026-12-09T07:20:50Z"))
        self.assertEqual([(s["seconds"], s["port"], s["board"], os.path.basename(s["file"]), s["line"])
                          for s in r["slowest"][:2]],
                         [(50.0, "usb:1-1.3", "C2", "new.jsonl", 6), (40.0, "/dev/ttyUSB0", None, "old.jsonl", 1)])
        self.assertEqual(r["verdict"], "below_goal")
        rc, out, err = run_station(["report", *logs], timeout=60)
        self.assertEqual((rc, err), (1, ""))
        self.assertIn("2 logs, 9 units, 2026-12-09 06:00 to 2026-12-09 07:20 UTC (2 torn lines skipped)", out)
        self.assertIn("First-pass yield 57.1% is below the goal of 95%; too few units per port to compare them.", out)
        self.assertRegex(out, r"\nline +9 +6 +3 +57\.1% +2 +27\.0 +50\.0 +15\.9 +7\n")
        # Units are taken by the time they ended, from --since up to --until.
        r = self.report_json(*logs, "--since", "2026-12-09T07:00", "--until=2026-12-09 07:15:00Z", rc=1)
        self.assertEqual([(i["records"], i["outside"]) for i in r["inputs"]], [(0, 3), (4, 2)])
        self.assertEqual(self.figures(r["line"]), (4, 3, 1, 3, 2, 1, 22.0, 24.0))
        self.assertEqual((r["since"], r["until"]), ("2026-12-09T07:00:00Z", "2026-12-09T07:15:00Z"))

    def flagged_day(self):
        """Four ports with 100 units (2 failed on the first), /dev/ttyUSB4 with 7
        of 40 failed, and /dev/ttyUSB5 worse still but with 5 units only."""
        records = []
        plan = {"/dev/ttyUSB0": (100, 2), "/dev/ttyUSB1": (100, 0), "/dev/ttyUSB2": (100, 0),
                "/dev/ttyUSB3": (100, 0), "/dev/ttyUSB4": (40, 7), "/dev/ttyUSB5": (5, 2)}
        for port, (units, failed) in plan.items():
            for i in range(units):
                records.append(record(at(i), 30 + i % 7, port=port, ok=i >= failed))
        write_log(self.path("flagged.jsonl"), records)
        return self.path("flagged.jsonl")

    def test_a_port_failing_more_than_the_rest_is_flagged_and_shown(self):
        log = self.flagged_day()
        html = self.path("day.html")
        rc, out, err = run_station(["report", log, "--html", html], timeout=60)
        self.assertEqual((rc, err), (1, ""))
        p = fisher_tail(7, 40, 11, 445)
        self.assertIn("LOOK AT PORT /dev/ttyUSB4: 7 of 40 failed, the rest of the line 4 of 405 (p = %.2g)\n" % p, out)
        self.assertRegex(out, r"\n/dev/ttyUSB4 +FLAGGED +40 +33 +7 ")
        r = self.report_json(log, rc=1)
        ports = {q["port"]: q for q in r["ports"]}
        self.assertEqual([q["port"] for q in r["ports"] if q["flagged"]], ["/dev/ttyUSB4"])
        self.assertAlmostEqual(ports["/dev/ttyUSB4"]["p_value"] / p, 1, places=6)
        self.assertAlmostEqual(ports["/dev/ttyUSB0"]["p_value"] / fisher_tail(2, 100, 11, 445), 1, places=6)
        self.assertEqual((ports["/dev/ttyUSB5"]["tested"], ports["/dev/ttyUSB5"]["p_value"]), (False, None))
        self.assertEqual((r["flag_rule"]["ports_tested"], r["flag_rule"]["threshold"]), (5, 0.002))
        self.assertEqual(r["verdict"], "look_at_port")

        with open(html) as f:
            page = f.read()
        for outside in ("<script", "http:", "https:", "src=", "url(", "@import", "<link"):
            self.assertNotIn(outside, page.lower())
        self.assertEqual(page.count('class="row flag"'), 1)
        self.assertIn("<b>Look at port /dev/ttyUSB4</b>", page)
        png = reportlib.render(html, self.path("day.png"))
        if png is None:
            self.skipTest("chromium is not installed: the page was not rendered")
        width, height, pixel = reportlib.read_png(png)
        self.assertEqual((width, height), (1200, 1500))
        # What a person sees first: the red banner at the top, the page's background below the end.
        r_, g_, b_ = pixel(200, 110)
        self.assertTrue(r_ > 160 and g_ < 80 and b_ < 80, (r_, g_, b_))
        self.assertEqual(pixel(5, height - 5), (0xEE, 0xF0, 0xF3))

    def test_unreadable_input_is_refused_with_its_file_and_line(self):
        good = json.dumps(record(at(0), 30))
        cases = [
            ("bad.jsonl", good + "\n{\"time\": \n" + good + "\n", [], "bad.jsonl:2: not JSON"),
            ("noresult.jsonl", json.dumps({k: v for k, v in record(at(0), 30).items() if k != "result"}) + "\n",
             [], "noresult.jsonl:1: \"result\" is missing"),
            ("v3.jsonl", good + "\n" + good.replace('"version": 2', '"version": 3') + "\n", [],
             "v3.jsonl:2: record version 3 is newer than this pendrel-station reads"),
            ("event.jsonl", '{"event": "start", "time": "2026-12-09T06:00:00.000Z", "port": "COM3"}\n', [],
             "event.jsonl:1: a --json event, not a --log record"),
            ("missing.jsonl", None, [], "cannot read the log "),
            ("ok.jsonl", good + "\n", ["--jobs", "2"], "'--jobs' is not an option of report"),
            ("ok.jsonl", good + "\n", ["--since", "yesterday"], "--since needs a UTC time"),
            ("ok.jsonl", good + "\n", ["--since", "2026-12-10", "--until", "2026-12-09"],
             "--since must come before --until"),
        ]
        for name, text, extra, words in cases:
            with self.subTest(name=name, extra=extra):
                if text is not None:
                    with open(self.path(name), "w") as f:
                        f.write(text)
                rc, out, err = run_station(["report", self.path(name), *extra], timeout=60)
                self.assertEqual((rc, out), (2, ""))
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertTrue(err.startswith("pendrel-station: "), err)
                self.assertIn(words, err)
        rc, out, err = run_station(["report", "--json"], timeout=60)
        self.assertEqual((rc, err), (2, "pendrel-station: no log named (pendrel-station report LOG...)\n"))

    def test_the_log_of_a_real_run_with_one_faulty_unit(self):
        image = make_image(self.dir, "TXC7390", 40000)
        log = self.path("units.jsonl")
        with Rack(self.dir, 4, faults={2: "write:4:nak"}) as rack:
            rc, out, err = run_station(["program", image, *rack.ports, "--log", log])
        self.assertEqual(rc, 1, out + err)
        with open(log) as f:
            records = [json.loads(line) for line in f]
        seconds = sorted(x["seconds"] for x in records if x["result"] == "ok")
        r = self.report_json(log, rc=1)
        self.assertEqual(self.figures(r["line"]), (4, 3, 1, 4, 3, 0, seconds[1], seconds[2]))
        self.assertEqual(r["line"]["first_pass_yield"], 0.75)
        self.assertEqual([p["port"] for p in r["ports"]], sorted(rack.ports))
        for p in r["ports"]:
            self.assertEqual((p["units"], p["failed"]), (1, 1 if p["port"] == rack.ports[2] else 0), p["port"])
        self.assertEqual(r["failures"], [{"failure": FAULT_TEXT, "count": 1, "share": 1.0, "cumulative": 1.0,
                                          "ports": [{"port": rack.ports[2], "count": 1}]}])
        self.assertEqual([(i["image"], i["units"]) for i in r["images"]], [(image, 4)])
        self.assertEqual((r["verdict"], r["flag_rule"]["ports_tested"]), ("below_goal", 0))
        rc, out, err = run_station(["report", log], timeout=60)
        self.assertEqual((rc, err), (1, ""))
        self.assertRegex(out, r"\n +1 +100\.0% +100\.0% +" + re.escape(FAULT_TEXT + "  " + rack.ports[2]) + " 1\n")


if __name__ == "__main__":
    unittest.main()
