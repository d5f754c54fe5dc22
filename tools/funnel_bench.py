#!/usr/bin/python3
"""tools/funnel on a generated busy period whose counts are known: time,
peak memory, and every figure checked.

    tools/funnel_bench.py --visitors 200000 --days 7     # one million lines
    tools/funnel_bench.py --visitors 2000000 --days 1    # ten million lines

Visitors follow four histories in turn (4, 6, 3 and 7 lines: five lines a
visitor on average), started evenly over the days; their lines are split
between two machines' logs, one in nginx's format and one in the endpoint
server's, each visitor's lines written together and so not in time order
(one history completes on the next day). Peak memory is the funnel
process's maximum resident set. Run it niced on a shared machine.
"""

import argparse
import collections
import csv
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from wire import INSTALLER_AGENT, SOURCE  # noqa: E402

START = 1772323200  # 2026-03-01 00:00 UTC
AGENT = INSTALLER_AGENT + " v.%s, Windows %s"
VERSIONS = ("1.8.204 3/1/07", "1.9.0 6/1/07")
WINDOWS = (("5.1.2600 (Service Pack 3)", "Windows XP"), ("6.1.7601 (Service Pack 1)", "Windows 7"),
           ("6.0.6002 (Service Pack 2)", "Windows Vista"), ("4.10.2222 ( A )", "Windows 98 SE"),
           ("5.0.2195 (Service Pack 4)", "Windows 2000"))
# (seconds after the first start, event value, source); a completion after
# the first start is at the last offset with "complete".
HISTORIES = (
    [(0, "generalbootstrapstart"), (60, "generaldotnetfxexe"), (61, "generalsetup.exe"),
     (1500, "generalbootstrapcomplete")],
    # Fails, and completes on its return a day later.
    [(0, "generalbootstrapstart"), (60, "generalsetupm.exe"), (600, "networkThreadControl,NetworkError"),
     (86400, "generalbootstrapstart"), (86460, "generalsetupm.exe"), (87000, "generalbootstrapcomplete")],
    [(0, "generalbootstrapstart"), (5, "diskspace150"), (30, "generaluserclickedcancel")],
    # A reboot in the middle; one line is not the installer's.
    [(0, "generalbootstrapstart"), (60, "generalsetupm.exe"), (900, "generalwindowsexiting"),
     (1200, "generalbootstrapstart"), (1260, "generalsetupm.exe"), (2400, "generalbootstrapcomplete"),
     (2401, "deploycheck")],
)


def escape(text):
    # As the installer escapes values: "," is among its reserved characters.
    return text.replace(",", "%2C")


def nginx_line(moment, event, user, agent):
    source = "deploy-check" if event == "deploycheck" else SOURCE
    raw = "event=%s&userUID=%s&source=%s" % (escape(event), user, source)
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(moment))
    return json.dumps({"time": stamp, "event": escape(event), "userUID": user, "source": source,
                       "agent": agent, "client": "192.0.2.7", "raw": raw}, separators=(",", ":")) + "\n"


def endpoint_line(moment, event, user, agent):
    source = "deploy-check" if event == "deploycheck" else SOURCE
    raw = "event=%s&userUID=%s&source=%s" % (escape(event), user, source)
    stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(moment)) + ".%03d+00:00" % (moment % 1 * 1000)
    return json.dumps({"event": event, "userUID": user, "source": source, "agent": agent, "time": stamp,
                       "raw": raw}) + "\n"


def write_logs(folder, visitors, days=1):
    """Two logs of `visitors` generated visitors, and the figures the funnel
    must report for them."""
    expected = collections.Counter()
    windows = collections.defaultdict(lambda: [0, 0])
    versions = collections.defaultdict(lambda: [0, 0])
    paths = [os.path.join(folder, "machine-a.log"), os.path.join(folder, "machine-b.log")]
    spacing = days * 86400.0 / visitors
    with open(paths[0], "w") as first, open(paths[1], "w") as second:
        for number in range(visitors):
            history = HISTORIES[number % len(HISTORIES)]
            system, windows_name = WINDOWS[number % len(WINDOWS)]
            version = VERSIONS[number // len(HISTORIES) % len(VERSIONS)]
            agent = AGENT % (version, system)
            user = "%013d" % (1170000000000 + 7 * number)
            began = START + number * spacing
            for index, (offset, event) in enumerate(history):
                if index % 2:
                    second.write(endpoint_line(began + offset, event, user, agent))
                else:
                    first.write(nginx_line(int(began + offset), event, user, agent))
            completed = any(event.endswith("complete") for _, event in history)
            expected["lines"] += len(history)
            expected["completed"] += completed
            windows[windows_name][0] += 1
            windows[windows_name][1] += completed
            versions[version][0] += 1
            versions[version][1] += completed
    quarter = visitors // 4
    expected.update({"started": visitors, "downloads": 3 * quarter, "cancelled": quarter,
                     "errors": 2 * quarter, "failed": 2 * quarter, "other": quarter,
                     "events": expected["lines"] - quarter})
    return paths, expected, windows, versions


def read_tables(folder):
    tables = {}
    for name in ("summary", "windows", "versions"):
        with open(os.path.join(folder, name + ".csv"), newline="", encoding="utf-8") as rows:
            tables[name] = list(csv.reader(rows))[1:]
    return tables


def check(tables, expected, windows, versions):
    """The figures of the funnel's tables ({name: rows}) that differ from the
    known ones."""
    summary = {name: str(value) for name, value in tables["summary"]}
    wanted = {"lines read": expected["lines"], "installer events": expected["events"],
              "lines from other sources (skipped)": expected["other"], "malformed lines (skipped)": 0,
              "visitors who started": expected["started"], "visitors who began downloads": expected["downloads"],
              "visitors who completed": expected["completed"], "visitors who cancelled": expected["cancelled"],
              "error events": expected["errors"], "visitors with an error": expected["failed"],
              "median minutes from start to completion": "40.0"}
    wrong = ["%s: %s, not %s" % (name, summary.get(name), value) for name, value in wanted.items()
             if summary.get(name) != str(value)]
    for table, counts in (("windows", windows), ("versions", versions)):
        got = {row[0]: [int(row[1]), int(row[2])] for row in tables[table]}
        if got != dict(counts):
            wrong.append("%s: %s, not %s" % (table, got, dict(counts)))
    return wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--visitors", type=int, default=200000, help="a multiple of 4")
    parser.add_argument("--days", type=int, default=7)
    parser.add_argument("--folder", help="where the logs go (and stay); default a temporary folder")
    args = parser.parse_args()
    if args.visitors <= 0 or args.visitors % len(HISTORIES):
        parser.error("--visitors must be a positive multiple of %d" % len(HISTORIES))
    with tempfile.TemporaryDirectory() as tmp:
        folder = args.folder or tmp
        os.makedirs(folder, exist_ok=True)
        paths, expected, windows, versions = write_logs(folder, args.visitors, args.days)
        out = os.path.join(tmp, "report")
        database = os.path.join(tmp, "funnel.db")
        print("%d lines, %d visitors over %d days, %.0f MB of logs"
              % (expected["lines"], args.visitors, args.days, sum(map(os.path.getsize, paths)) / 1e6))
        for run in ("first", "again"):
            began = time.monotonic()
            ran = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "funnel"), *paths, "--out", out,
                                  "--db", database], capture_output=True, text=True)
            seconds = time.monotonic() - began
            peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
            if ran.returncode:
                sys.exit("funnel failed:\n" + ran.stderr)
            wrong = check(read_tables(out), expected, windows, versions)
            print("%-6s %7.1f s  peak %6.1f MB (largest so far)  store %6.1f MB  %s"
                  % (run, seconds, peak, os.path.getsize(database) / 1e6, "; ".join(wrong) or "all figures as known"))
            if wrong:
                return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
