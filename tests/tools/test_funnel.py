#!/usr/bin/env python3
"""Tests of tools/funnel on a generated log whose counts are known: both log
formats (the endpoint server's decoded values, nginx's encoded ones), three
files out of order, one compressed, malformed lines, a visitor seen on two
days, and names that must not reach the page as markup; the same logs read
into a store over several runs (growing, renamed, compressed, read again);
memory on a larger generated log."""

import csv
import gzip
import importlib.machinery
import importlib.util
import json
import os
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import tracemalloc
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
FUNNEL = os.path.join(TOOLS, "funnel")
PYTHON = "/usr/bin/python3"  # Debian's, with matplotlib
XP = "Zembrio Installer v.1.8.204 3/1/07, Windows 5.1.2600 (Service Pack 3)"
XP_NEW = "Zembrio Installer v.1.9.0 6/1/07, Windows 5.1.2600 (Service Pack 3)"
WIN7 = "Zembrio Installer v.1.8.204 3/1/07, Windows 6.1.7601 (Service Pack 1)"
WIN7_NEW = "Zembrio Installer v.1.9.0 6/1/07, Windows 6.1.7601 (Service Pack 1)"
WIN98SE = "Zembrio Installer v.1.8.204 3/1/07, Windows 4.10.2222 ( A )"
VISTA = "Zembrio Installer v.1.8.204 3/1/07, Windows 6.0.6002 (Service Pack 2)"

# (file, time, event value as the installer means it, user, agent)
EVENTS = [
    ("a", "2026-03-01T10:00:00.000+00:00", "generalbootstrapstart", "u1", XP),
    ("a", "2026-03-01T10:01:00.000+00:00", "generalsetupm.exe", "u1", XP),
    ("b", "2026-03-01T10:20:00+00:00", "generalbootstrapcomplete", "u1", XP),
    # u2 fails on day 1, comes back with a newer installer and completes on
    # day 2: one visitor of day 1, of the version it started with.
    ("a", "2026-03-01T11:00:00.000+00:00", "generalbootstrapstart", "u2", WIN7),
    ("a", "2026-03-01T11:01:00.000+00:00", "generaldotnetfxexe", "u2", WIN7),
    ("b", "2026-03-01T11:05:00+00:00", "networkThreadControl,NetworkError", "u2", WIN7),
    ("b", "2026-03-02T09:00:00+00:00", "generalbootstrapstart", "u2", WIN7_NEW),
    ("c", "2026-03-02T09:10:00+00:00", "networkThreadControl,NetworkError", "u2", WIN7_NEW),
    ("b", "2026-03-02T09:01:00+00:00", "generalsetupm.exe", "u2", WIN7_NEW),
    ("a", "2026-03-02T09:30:00.000+00:00", "generalbootstrapcomplete", "u2", WIN7_NEW),
    ("a", "2026-03-01T12:00:00.000+00:00", "generalbootstrapstart", "u3", XP_NEW),
    ("c", "2026-03-01T12:00:30+00:00", "general<b>x</b>", "u3", XP_NEW),
    ("a", "2026-03-01T12:01:00.000+00:00", "generaluserclickedcancel", "u3", XP_NEW),
    # Half past midnight in UTC+1 is still day 1 in UTC.
    ("c", "2026-03-02T00:30:00+01:00", "generalbootstrapstart", "u8", XP),
    ("a", "2026-03-02T10:00:00.000+00:00", "generalbootstrapstart", "u4", WIN98SE),
    ("b", "2026-03-02T10:02:00+00:00", "diskspace150", "u4", WIN98SE),
    ("b", "2026-03-02T11:00:00+00:00", "generalbootstrapstart", "u5", XP_NEW),
    ("b", "2026-03-02T11:01:00+00:00", "generalsetupm.exe", "u5", XP_NEW),
    ("c", "2026-03-02T11:40:00+00:00", "generalbootstrapcomplete", "u5", XP_NEW),
    ("c", "2026-03-02T12:00:00+00:00", "generalbootstrapstart", "u6", VISTA),
    ("c", "2026-03-02T12:01:00+00:00", "generalsetupm.exe", "u6", VISTA),
    ("b", "2026-03-02T12:09:00+00:00", "networkThreadControl,BadChecksum", "u6", VISTA),
    ("a", "2026-03-02T13:00:00.000+00:00", "generalbootstrapcomplete", "u7", XP),
    # u10's start is lost: a visitor of day 1, the day of its first event.
    ("b", "2026-03-01T16:00:00+00:00", "generaluserclickedcancel", "u10", XP),
    ("a", "2026-03-02T16:00:00.000+00:00", "generalbootstrapcomplete", "u10", XP),
    ("a", "2026-03-02T14:00:00.000+00:00", "fileiocantcreatetempfolder", "", XP),
]
SKIPPED = [
    ("b", "2026-03-02T15:00:00+00:00", "deploycheck", "", "deploy-check", "deploycheck"),
    ("a", "2026-03-02T15:00:00.000+00:00", "<script>alert(1)</script>", "u9", XP, "zembrioinstaller"),
]
MALFORMED = {"a": [b"not json at all", b'{"event": "generalbootstrapstart", "userUID": "x", "time": "yesterday",'
                   b' "source": "zembrioinstaller"}', b"[1, 2]"],
             "b": [b'{"time":"2026-03-02T10:00:00+00:00","event":"","raw":"userUID=u1"}',
                   b'{"time":["2026-03-02T10:00:00+00:00"],"raw":"event=generalbootstrapstart&userUID=u1"}',
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


def funnel(*args):
    return subprocess.run([PYTHON, FUNNEL, *args], capture_output=True, text=True, timeout=120)


def read_into_store(folder, logs, store):
    """The same logs read into a store as a server's would be over days: a
    log read while it grows, with its last line half written, then whole;
    then all of them again, renamed and compressed by logrotate, dropping
    the first day's visitor rows. The results of the runs."""
    b_log, a_log, c_log = logs
    with open(a_log, "rb") as whole:
        content = whole.read()
    cut = content.index(b"\n", len(content) // 2) + 1
    live = os.path.join(folder, "live.jsonl")
    with open(live, "wb") as growing:
        growing.write(content[:cut + 20])
    runs = [funnel(b_log, live, "--db", store)]
    with open(live, "wb") as growing:
        growing.write(content)
    runs.append(funnel(live, c_log, "--db", store))
    rotated = os.path.join(folder, "b.log.1.gz")
    with open(b_log, "rb") as plain, gzip.open(rotated, "wb") as compressed:
        compressed.write(plain.read())
    renamed = os.path.join(folder, "c.log.2")  # compressed, without the name saying so
    shutil.copy(c_log, renamed)
    runs.append(funnel(live, rotated, renamed, "--db", store, "--keep-days", "1",
                       "--out", os.path.join(folder, "history")))
    runs.append(funnel("--db", store, "--from", "2026-03-02", "--to", "2026-03-02",
                       "--out", os.path.join(folder, "range")))
    return runs


class FunnelReport(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.out = os.path.join(cls.tmp.name, "report")
        logs = write_logs(cls.tmp.name)
        cls.result = funnel(*logs, "--out", cls.out)
        cls.store = os.path.join(cls.tmp.name, "history.db")
        cls.runs = read_into_store(cls.tmp.name, logs, cls.store)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def setUp(self):
        for result in [self.result] + self.runs:
            self.assertEqual(0, result.returncode, result.stderr)

    def test_tables_hold_the_known_counts(self):
        expected = {
            # day, started, downloads, completed, conversion, cancelled, had an error, median minutes,
            # completions that day: u2 counts on day 1, where it first started.
            # The logs begin on day 1 and end on day 2: both days are partial.
            "daily.csv": [["2026-03-01", "4", "2", "2", "50.0", "1", "2", "685.0", "1", "logs begin"],
                          ["2026-03-02", "3", "2", "1", "33.3", "0", "2", "40.0", "4", "logs end"]],
            "errors_by_category.csv": [["diskspace", "1", "16.7", "1"], ["fileio", "1", "16.7", "0"],
                                       ["general", "1", "16.7", "1"], ["network", "3", "50.0", "2"]],
            "errors.csv": [["diskspace", "150", "1", "16.7", "1"], ["fileio", "cantcreatetempfolder", "1", "16.7", "0"],
                           ["general", "<b>x</b>", "1", "16.7", "1"],
                           ["network", "ThreadControl,BadChecksum", "1", "16.7", "1"],
                           ["network", "ThreadControl,NetworkError", "2", "33.3", "1"]],
            "windows.csv": [["Windows 7", "1", "1", "100.0"], ["Windows 98 SE", "1", "0", "0.0"],
                            ["Windows Vista", "1", "0", "0.0"], ["Windows XP", "4", "2", "50.0"]],
            "versions.csv": [["1.8.204 3/1/07", "5", "2", "40.0"], ["1.9.0 6/1/07", "2", "1", "50.0"]],
        }
        for name, rows in expected.items():
            with self.subTest(name):
                actual = read_csv(self.out, name)
                self.assertEqual(rows, actual if name == "daily.csv" else sorted(actual))
        summary = dict(read_csv(self.out, "summary.csv"))
        figures = {"installer events": "26", "malformed lines (skipped)": "6",
                   "lines from other sources (skipped)": "1", "unrecognised events (skipped)": "1",
                   "events without a user id (in the error tables only)": "1",
                   "visitors who started": "7", "visitors who began downloads": "4", "visitors who completed": "3",
                   "median minutes from start to completion": "40.0", "completions without a logged start": "2",
                   "visitors who cancelled": "2", "visitors who cancelled and later completed": "1",
                   "error events": "6", "visitors with an error": "4"}
        self.assertEqual(figures, {k: summary[k] for k in figures})

    def test_malformed_lines_are_named_per_file(self):
        files = {os.path.basename(r[0]): r for r in read_csv(self.out, "files.csv")}
        self.assertEqual({"a.jsonl": "3", "b.log": "3", "c.log.gz": "0"}, {k: v[3] for k, v in files.items()})
        self.assertIn("bad time", files["a.jsonl"][6])

    def test_a_store_counts_each_line_once_and_keeps_days_after_their_visitors(self):
        for name in ("summary.csv", "daily.csv", "errors_by_category.csv", "errors.csv", "windows.csv",
                     "versions.csv"):
            with self.subTest(name):
                self.assertEqual(read_csv(self.out, name), read_csv(os.path.join(self.tmp.name, "history"), name))
        files = {os.path.basename(r[0]): (r[3], r[9]) for r in read_csv(os.path.join(self.tmp.name, "history"),
                                                                         "files.csv")}
        self.assertEqual({"live.jsonl": ("3", "already read"), "b.log.1.gz": ("3", "already read"),
                          "c.log.2": ("0", "already read")}, files)
        # Only the visitors of the last day are kept.
        with sqlite3.connect(self.store) as db:
            self.assertEqual({"u4", "u5", "u6", "u7"}, {user for user, in db.execute("SELECT user FROM visitors")})

    def test_a_range_selects_its_days(self):
        folder = os.path.join(self.tmp.name, "range")
        self.assertEqual([read_csv(self.out, "daily.csv")[1]], read_csv(folder, "daily.csv"))
        summary = dict(read_csv(folder, "summary.csv"))
        # u2's network error of day 2 is its second: no visitor of day 2 has it.
        figures = {"days (UTC)": "2026-03-02 to 2026-03-02", "installer events": "15",
                   "visitors who started": "3", "visitors who completed": "1", "error events": "4",
                   "visitors with an error": "2", "completions without a logged start": "1"}
        self.assertEqual(figures, {k: summary[k] for k in figures})
        self.assertEqual([["diskspace", "150", "1", "25.0", "1"], ["fileio", "cantcreatetempfolder", "1", "25.0", "0"],
                          ["network", "ThreadControl,BadChecksum", "1", "25.0", "1"],
                          ["network", "ThreadControl,NetworkError", "1", "25.0", "0"]],
                         sorted(read_csv(folder, "errors.csv")))

    def test_page_is_self_contained_and_escapes_names(self):
        with open(os.path.join(self.out, "report.html"), encoding="utf-8") as page:
            text = page.read()
        links = re.findall(r"""(?:src|href)\s*=\s*["']?([^"'\s>]*)""", text)
        self.assertEqual(["data:image/png"] * 3, [link[:14] for link in links])
        self.assertNotIn("<b>x", text)
        self.assertIn("&lt;b&gt;x&lt;/b&gt;", text)


class EmptyLog(unittest.TestCase):
    def test_exit_status_says_whether_anything_could_be_read(self):
        cases = [  # (logs: name and content, exit status, read into a store)
            ([("empty.log", b"")], 0, False), ([("empty.log", b"")], 0),
            ([("junk.log", b"not json\n{}\n[1]\n")], 1),
            ([("broken.log.gz", b"\x1f\x8b\x08\x00junk")], 1),
            ([("junk.log", b"not json\n"), ("good.log", log_line(False, *EVENTS[0][1:]) + b"\n")], 0),
        ]
        for logs, status, *store in cases:
            with self.subTest(logs=[name for name, _ in logs], store=store), tempfile.TemporaryDirectory() as tmp:
                paths = []
                for name, content in logs:
                    paths.append(os.path.join(tmp, name))
                    with open(paths[-1], "wb") as log:
                        log.write(content)
                ran = funnel(*paths, "--out", tmp,
                             *(["--db", os.path.join(tmp, "store.db")] if store != [False] else []))
                self.assertEqual(status, ran.returncode, ran.stderr)
                if logs[0][0] == "empty.log":  # an empty log still gives a report
                    self.assertEqual([], read_csv(tmp, "daily.csv"))
                    self.assertTrue(os.path.exists(os.path.join(tmp, "report.html")))


def load_tool(name):
    loader = importlib.machinery.SourceFileLoader(name, os.path.join(TOOLS, name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(name, loader))
    loader.exec_module(module)
    return module


class BusyDay(unittest.TestCase):
    def test_memory_follows_a_batch_of_visitors_not_the_lines(self):
        tool = load_tool("funnel")
        sys.path.insert(0, TOOLS)
        import funnel_bench
        tool.BATCH = 5000  # several merges per log
        with tempfile.TemporaryDirectory() as tmp:
            logs, expected, windows, versions = funnel_bench.write_logs(tmp, 12000)
            db = tool.open_store(os.path.join(tmp, "store.db"), persistent=False)
            tracemalloc.start()
            try:
                run = [tool.ingest(db, path) for path in logs]
                peak = tracemalloc.get_traced_memory()[1]
            finally:
                tracemalloc.stop()
            tables, _ = tool.build_tables(db, run)
            db.close()
        self.assertEqual([], funnel_bench.check({name: rows for name, (_, rows) in tables.items()}, expected,
                                                windows, versions))
        # Holding every event takes about 370 bytes a line, holding every
        # visitor of the log (no merge before its end) about 70.
        self.assertLess(peak / expected["lines"], 50)


if __name__ == "__main__":
    unittest.main(verbosity=2)
