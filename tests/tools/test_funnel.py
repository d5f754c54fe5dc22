#!/usr/bin/env python3
"""Tests of tools/funnel on a generated log whose counts are known: both log
formats (the endpoint server's decoded values, nginx's encoded ones), three
files out of order, one compressed, malformed lines, a visitor seen on two
days, and names that must not reach the page as markup."""

import csv
import gzip
import json
import os
import random
import re
import subprocess
import tempfile
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
FUNNEL = os.path.join(HERE, "..", "..", "tools", "funnel")
PYTHON = "/usr/bin/python3"  # Debian's, with matplotlib
XP = "Zembrio Installer v.1.8.204 3/1/07, Windows 5.1.2600 (Service Pack 3)"
WIN7 = "Zembrio Installer v.1.8.204 3/1/07, Windows 6.1.7601 (Service Pack 1)"
WIN98SE = "Zembrio Installer v.1.8.204 3/1/07, Windows 4.10.2222 ( A )"
VISTA = "Zembrio Installer v.1.8.204 3/1/07, Windows 6.0.6002 (Service Pack 2)"

# (file, time, event value as the installer means it, user, agent)
EVENTS = [
    ("a", "2026-03-01T10:00:00.000+00:00", "generalbootstrapstart", "u1", XP),
    ("a", "2026-03-01T10:01:00.000+00:00", "generalsetupm.exe", "u1", XP),
    ("b", "2026-03-01T10:20:00+00:00", "generalbootstrapcomplete", "u1", XP),
    # u2 fails on day 1, comes back and completes on day 2: one visitor of day 1.
    ("a", "2026-03-01T11:00:00.000+00:00", "generalbootstrapstart", "u2", WIN7),
    ("a", "2026-03-01T11:01:00.000+00:00", "generaldotnetfxexe", "u2", WIN7),
    ("c", "2026-03-01T11:05:00+00:00", "networkThreadControl,NetworkError", "u2", WIN7),
    ("b", "2026-03-02T09:00:00+00:00", "generalbootstrapstart", "u2", WIN7),
    ("b", "2026-03-02T09:01:00+00:00", "generalsetupm.exe", "u2", WIN7),
    ("a", "2026-03-02T09:30:00.000+00:00", "generalbootstrapcomplete", "u2", WIN7),
    ("a", "2026-03-01T12:00:00.000+00:00", "generalbootstrapstart", "u3", XP),
    ("c", "2026-03-01T12:00:30+00:00", "general<b>x</b>", "u3", XP),
    ("a", "2026-03-01T12:01:00.000+00:00", "generaluserclickedcancel", "u3", XP),
    # Half past midnight in UTC+1 is still day 1 in UTC.
    ("c", "2026-03-02T00:30:00+01:00", "generalbootstrapstart", "u8", XP),
    ("a", "2026-03-02T10:00:00.000+00:00", "generalbootstrapstart", "u4", WIN98SE),
    ("b", "2026-03-02T10:02:00+00:00", "diskspace150", "u4", WIN98SE),
    ("b", "2026-03-02T11:00:00+00:00", "generalbootstrapstart", "u5", XP),
    ("b", "2026-03-02T11:01:00+00:00", "generalsetupm.exe", "u5", XP),
    ("c", "2026-03-02T11:40:00+00:00", "generalbootstrapcomplete", "u5", XP),
    ("c", "2026-03-02T12:00:00+00:00", "generalbootstrapstart", "u6", VISTA),
    ("c", "2026-03-02T12:01:00+00:00", "generalsetupm.exe", "u6", VISTA),
    ("b", "2026-03-02T12:09:00+00:00", "networkThreadControl,BadChecksum", "u6", VISTA),
    ("a", "2026-03-02T13:00:00.000+00:00", "generalbootstrapcomplete", "u7", XP),
    ("a", "2026-03-02T14:00:00.000+00:00", "fileiocantcreatetempfolder", "", XP),
]
SKIPPED = [
    ("b", "2026-03-02T15:00:00+00:00", "deploycheck", "", "deploy-check", "deploycheck"),
    ("a", "2026-03-02T15:00:00.000+00:00", "<script>alert(1)</script>", "u9", XP, "zembrioinstaller"),
]
MALFORMED = {"a": [b"not json at all", b'{"event": "generalbootstrapstart", "userUID": "x", "time": "yesterday",'
                   b' "source": "zembrioinstaller"}', b"[1, 2]"],
             "b": [b'{"time":"2026-03-02T10:00:00+00:00","event":"","raw":"userUID=u1"}',
                   b'{"time":"2026-03-02T10:00:00+00:00","event":"generalbootstrapst']}


def escape(text):
    # As the installer escapes values (its reserved characters include ",").
    return urllib.parse.quote(text, safe="'()*-._")


def log_line(nginx, time, event, user, agent, source="zembrioinstaller"):
    """A line as the endpoint server (values decoded) or nginx (still encoded) logs it."""
    raw = "event=%s&userUID=%s&source=%s" % (escape(event), user, source)
    record = {"time": time, "event": escape(event) if nginx else event, "userUID": user, "source": source,
              "agent": agent, "raw": raw}
    return json.dumps(dict(record, client="127.0.0.1") if nginx else record).encode()


def write_logs(folder):
    lines = {"a": [], "b": [], "c": []}
    for file, *event in EVENTS + SKIPPED:
        lines[file].append(log_line(file != "a", *event))
    for file, bad in MALFORMED.items():
        lines[file] += bad
    paths = []
    for file, name in (("b", "b.log"), ("a", "a.jsonl"), ("c", "c.log.gz")):
        random.Random(file).shuffle(lines[file])
        path = os.path.join(folder, name)
        with (gzip.open if name.endswith(".gz") else open)(path, "wb") as out:
            out.write(b"\n".join(lines[file]) + b"\n")
        paths.append(path)
    return paths


def read_csv(folder, name):
    with open(os.path.join(folder, name), newline="", encoding="utf-8") as rows:
        return list(csv.reader(rows))[1:]


class FunnelReport(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.out = os.path.join(cls.tmp.name, "report")
        logs = write_logs(cls.tmp.name)
        cls.result = subprocess.run([PYTHON, FUNNEL, *logs, "--out", cls.out], capture_output=True, text=True,
                                    timeout=120)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        self.assertEqual(0, self.result.returncode, self.result.stderr)

    def test_tables_hold_the_known_counts(self):
        expected = {
            # day, started, downloads, completed, conversion, cancelled, had an error, median minutes,
            # completions that day: u2 counts on day 1, where it first started.
            "daily.csv": [["2026-03-01", "4", "2", "2", "50.0", "1", "2", "685.0", "1"],
                          ["2026-03-02", "3", "2", "1", "33.3", "0", "2", "40.0", "3"]],
            "errors_by_category.csv": [["diskspace", "1", "20.0", "1"], ["fileio", "1", "20.0", "0"],
                                       ["general", "1", "20.0", "1"], ["network", "2", "40.0", "2"]],
            "errors.csv": [["diskspace", "150", "1", "20.0", "1"], ["fileio", "cantcreatetempfolder", "1", "20.0", "0"],
                           ["general", "<b>x</b>", "1", "20.0", "1"],
                           ["network", "ThreadControl,BadChecksum", "1", "20.0", "1"],
                           ["network", "ThreadControl,NetworkError", "1", "20.0", "1"]],
            "windows.csv": [["Windows 7", "1", "1", "100.0"], ["Windows 98 SE", "1", "0", "0.0"],
                            ["Windows Vista", "1", "0", "0.0"], ["Windows XP", "4", "2", "50.0"]],
        }
        for name, rows in expected.items():
            with self.subTest(name):
                actual = read_csv(self.out, name)
                self.assertEqual(rows, actual if name == "daily.csv" else sorted(actual))
        summary = dict(read_csv(self.out, "summary.csv"))
        figures = {"installer events": "23", "malformed lines (skipped)": "5",
                   "lines from other sources (skipped)": "1", "unrecognised events (skipped)": "1",
                   "events without a user id (in the error tables only)": "1",
                   "visitors who started": "7", "visitors who began downloads": "4", "visitors who completed": "3",
                   "median minutes from start to completion": "40.0", "completions without a logged start": "1",
                   "visitors who cancelled": "1", "error events": "5", "visitors with an error": "4"}
        self.assertEqual(figures, {k: summary[k] for k in figures})

    def test_malformed_lines_are_named_per_file(self):
        files = {os.path.basename(r[0]): r for r in read_csv(self.out, "files.csv")}
        self.assertEqual({"a.jsonl": "3", "b.log": "2", "c.log.gz": "0"}, {k: v[3] for k, v in files.items()})
        self.assertIn("bad time", files["a.jsonl"][6])

    def test_page_is_self_contained_and_escapes_names(self):
        with open(os.path.join(self.out, "report.html"), encoding="utf-8") as page:
            text = page.read()
        links = re.findall(r"""(?:src|href)\s*=\s*["']?([^"'\s>]*)""", text)
        self.assertEqual(["data:image/png"] * 3, [link[:14] for link in links])
        self.assertNotIn("<b>x", text)
        self.assertIn("&lt;b&gt;x&lt;/b&gt;", text)


class EmptyLog(unittest.TestCase):
    def test_empty_log_still_gives_a_report(self):
        with tempfile.TemporaryDirectory() as tmp:
            empty = os.path.join(tmp, "empty.log")
            open(empty, "w").close()
            ran = subprocess.run([PYTHON, FUNNEL, empty, "--out", tmp], capture_output=True, timeout=120)
            self.assertEqual(0, ran.returncode, ran.stderr)
            self.assertEqual([], read_csv(tmp, "daily.csv"))
            self.assertTrue(os.path.exists(os.path.join(tmp, "report.html")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
