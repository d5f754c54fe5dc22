#!/usr/bin/env python3
"""Runs the download unit tests (a Windows program, under Wine) with the
local endpoint server beside them.

    run_with_server.py LOGGER_URL COMPONENTS_DIR TEST_EXE [gtest args...]

The server listens on the port of LOGGER_URL when that is a loopback address
(so the error reports of the download thread land in its events log), else
on a free port. The program learns where everything is from:
  ZEMBRIO_TEST_SERVER      http://127.0.0.1:PORT
  ZEMBRIO_TEST_SERVER_ROOT the folder the server hands out under /install/
  ZEMBRIO_TEST_REQUESTS    the server's request log (JSON lines)
  ZEMBRIO_TEST_EVENTS      the server's logger events (JSON lines)
  ZEMBRIO_TEST_COMPONENTS  the stand-in component folders (components/, components-broken/)
(all paths as Windows paths on Wine's Z: drive).
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parents[1]


def z_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def main():
    logger_url, components, exe, *args = sys.argv[1:]
    m = re.match(r"http://127\.0\.0\.1:(\d+)", logger_url)
    port = m.group(1) if m else "0"
    with tempfile.TemporaryDirectory(prefix="zembrio-download-") as work:
        work = Path(work)
        root = work / "root"
        root.mkdir()
        port_file = work / "port"
        server = subprocess.Popen(
            [sys.executable, str(SOURCE / "tools" / "endpoint_server.py"), "--port", port, "--port-file",
             str(port_file), "--root", str(root), "--events", str(work / "events.jsonl"), "--requests",
             str(work / "requests.jsonl"), "--max-seconds", "600",
             # Wine ends a stalled read only when the server gives up: long
             # enough to outlast the exit's 2 s wait for the worker, no more.
             "--stall-seconds", "4"]
            # release.txt for whatever a test serves, signed with the build's
            # test release key, as the installer needs it before any length.
            + (["--release-key", os.environ["ZEMBRIO_TEST_RELEASE_KEY"]]
               if os.environ.get("ZEMBRIO_TEST_RELEASE_KEY") else []),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(work / "server.log", "wb"))
        try:
            deadline = time.time() + 15
            while not port_file.exists():
                if server.poll() is not None or time.time() > deadline:
                    sys.stderr.write("endpoint server did not start:\n" + (work / "server.log").read_text())
                    return 1
                time.sleep(0.05)
            env = dict(os.environ)
            env.update({
                "ZEMBRIO_TEST_SERVER": "http://127.0.0.1:" + port_file.read_text().strip(),
                "ZEMBRIO_TEST_SERVER_ROOT": z_path(root),
                "ZEMBRIO_TEST_REQUESTS": z_path(work / "requests.jsonl"),
                "ZEMBRIO_TEST_EVENTS": z_path(work / "events.jsonl"),
                "ZEMBRIO_TEST_COMPONENTS": z_path(components),
            })
            run = subprocess.Popen([str(SOURCE / "tools" / "wine-run"), exe, *args], env=env,
                                   stdin=subprocess.DEVNULL)
            try:
                return run.wait(timeout=280)
            except subprocess.TimeoutExpired:
                run.kill()
                run.wait()
                sys.stderr.write("download tests timed out\n")
                return 1
        finally:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


if __name__ == "__main__":
    sys.exit(main())
