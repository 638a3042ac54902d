#!/usr/bin/env python3
"""bench/report.py on figures made up for the purpose: medians and spreads,
ratios within one run, and targets met or missed at their edges."""
import json
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import report  # noqa: E402

META = {
    "runs": "3",
    "upload.mib": "100",
    "reply.mib": "45",
    "release.link": "static-pie",
    "program.gateway": "gateway, release build (static-pie)",
    "engine.conversations": "1000",
    "engine.cpu_seconds": "0.02",
}


def write_run(directory, rows, meta=META):
    """rows: (scenario, program, case, metric, [values by run])."""
    with open(directory / "raw.tsv", "w") as f:
        f.write("scenario\tprogram\tcase\tmetric\trun\tvalue\n")
        for scenario, program, case, metric, values in rows:
            for run, value in enumerate(values, 1):
                f.write(f"{scenario}\t{program}\t{case}\t{metric}\t{run}\t{value}\n")
    with open(directory / "meta.tsv", "w") as f:
        for name, value in meta.items():
            f.write(f"{name}\t{value}\n")


def build(rows):
    with tempfile.TemporaryDirectory() as d:
        write_run(Path(d), rows)
        figures, meta = report.load(Path(d))
    r = report.Report(figures, meta)
    text = r.build()
    return r, text, {t: (measured, met) for t, measured, met, _ in r.targets}


# A GET run: hello 400 req/s, the bridge 200.
GET = [
    ("get", "hello", "-", "rps", [390, 400, 420]),
    ("get", "cgi-fcgi", "-", "rps", [200, 190, 210]),
    ("get", "relay", "-", "rps", [360, 350, 370]),
]


class FigureTest(unittest.TestCase):
    def test_median_and_spread(self):
        for values, median, low, high in (
            ([3, 1, 2], 2, 1, 3),
            ([4, 1, 3, 2], 2.5, 1, 4),  # an even count: the middle two's mean
            ([7], 7, 7, 7),
        ):
            f = report.Figure(values)
            self.assertEqual((f.median, f.low, f.high), (median, low, high), values)
        self.assertEqual(report.Figure([1000, 1500, 2000]).text(), "1,500 [1,000–2,000]")
        self.assertEqual(report.Figure([12.5]).text(1), "12.5")

    def test_ratio_of_medians(self):
        a, b = report.Figure([10, 30, 20]), report.Figure([5, 50, 10])
        self.assertEqual(report.ratio(a, b), 2.0)
        self.assertIsNone(report.ratio(a, None))
        self.assertIsNone(report.ratio(a, report.Figure([0])))


class TargetTest(unittest.TestCase):
    def test_get_targets_at_their_edges(self):
        # (gateway's median req/s, ≥ 0.8 × hello met, ≥ 1.5 × cgi-fcgi met)
        for gateway, hello_met, bridge_met in ((320, True, True), (319, False, True), (299, False, False)):
            _, text, targets = build(GET + [("get", "gateway", "-", "rps", [gateway - 5, gateway, gateway + 5])])
            self.assertEqual(targets["GET: gateway ≥ 0.8 × static hello"][1], hello_met, gateway)
            self.assertEqual(targets["GET: gateway ≥ 1.5 × cgi-fcgi"][1], bridge_met, gateway)
            self.assertEqual("**missed**" in text, not (hello_met and bridge_met), gateway)

    def test_upload_targets(self):
        limit_kib = 100 * 1024 + 16 * 1024  # the upload and 16 MiB
        rows = [
            ("upload", "cat", "file-100", "ms", [40, 40, 40]),
            ("upload", "cat", "pipe-100", "ms", [60, 60, 60]),
            ("upload", "gateway", "file-100", "ms", [59, 60, 61]),  # 1.5 × cat: met
            ("upload", "gateway", "pipe-100", "ms", [100, 100, 100]),
            ("upload", "gateway", "file-200", "ms", [130, 130, 130]),  # 2.17 × 100 MiB: linear
            ("upload", "perl", "file-100", "ms", [179, 179, 179]),  # 2.98 × the gateway: missed
            ("upload", "gateway", "file-100", "rss_kib", [limit_kib] * 3),
            ("upload", "gateway", "pipe-100", "rss_kib", [limit_kib + 1] * 3),
        ]
        _, _, targets = build(rows)
        self.assertEqual(targets["Upload 100 MiB: gateway ≤ 1.5 × cat"], ("1.50", True))
        self.assertEqual(targets["Upload 100 MiB: gateway ≥ 3 × faster than CGI.pm"], ("2.98", False))
        self.assertTrue(targets["Upload 100 MiB, file: gateway peak RSS ≤ upload + 16 MiB (116 MiB)"][1])
        self.assertFalse(targets["Upload 100 MiB, pipe: gateway peak RSS ≤ upload + 16 MiB (116 MiB)"][1])
        self.assertEqual(targets["Upload: linear, 200 against 100 ≤ 2.4×"], ("2.17", True))

    def test_reply_and_linearity(self):
        rows = []
        for mode, gateway45, gateway90 in (("raw", 150, 360), ("hex", 151, 361)):
            rows += [
                ("reply", "gateway", f"{mode}-45", "ms", [gateway45]),
                ("reply", "gateway", f"{mode}-90", "ms", [gateway90]),
                ("reply", "relay", f"{mode}-45", "ms", [100]),
                ("reply", "relay", f"{mode}-90", "ms", [200]),
            ]
        _, text, targets = build(rows)
        self.assertTrue(targets["Reply raw 45 MiB: gateway ≤ 1.5 × relay"][1])
        self.assertFalse(targets["Reply hex 45 MiB: gateway ≤ 1.5 × relay"][1])
        self.assertEqual(targets["Reply raw: linear, 90 against 45 ≤ 2.4×"], ("2.40", True))
        self.assertEqual(targets["Reply hex: linear, 90 against 45 ≤ 2.4×"], ("2.39", True))
        self.assertIn("| gateway ÷ relay | 1.50 | 1.80 | 1.51 | 1.80 |", text)

    def test_fields_linearity_per_step(self):
        rows = [
            ("fields", "gateway", "urlencoded-10000", "ms", [3]),
            ("fields", "gateway", "urlencoded-100000", "ms", [30]),
            ("fields", "gateway", "urlencoded-1000000", "ms", [361]),  # 12.03 × : missed
            ("fields", "perl", "urlencoded-10000", "ms", [45]),
        ]
        _, text, targets = build(rows)
        self.assertEqual(targets["Fields, urlencoded: linear, 100000 against 10000 ≤ 12×"], ("10.00", True))
        self.assertEqual(targets["Fields, urlencoded: linear, 1000000 against 100000 ≤ 12×"], ("12.03", False))
        # The columns run in the order of the counts, not of their text.
        self.assertIn("| Program | urlencoded 10,000 | urlencoded 100,000 | urlencoded 1,000,000 |", text)
        self.assertIn("| perl ÷ gateway | 15.00 | – | – |", text)


class OutputTest(unittest.TestCase):
    def test_markdown_and_json(self):
        rows = GET + [("get", "gateway", "-", "rps", [330, 340, 350])]
        r, text, _ = build(rows)
        self.assertIn("| gateway, release build (static-pie) | 340 [330–350] | 0.85 | 1.70 |", text)
        # The engine's CPU per conversation: 0.02 s for 1000.
        self.assertIn("20 µs each", text)
        data = json.loads(json.dumps(r.json()))
        gateway = [f for f in data["figures"] if f["program"] == "gateway"]
        self.assertEqual(gateway, [{"scenario": "get", "program": "gateway", "case": "-", "metric": "rps",
                                    "median": 340.0, "min": 330.0, "max": 350.0, "runs": [330.0, 340.0, 350.0]}])
        self.assertEqual([t["met"] for t in data["targets"]], [True, True])


if __name__ == "__main__":
    unittest.main()
