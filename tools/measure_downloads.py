#!/usr/bin/env python3
"""Measures the download path against the local endpoint server, paced like
a fast link. Rerunnable; needs the test build (build/tests/download_measure.exe).

    tools/measure_downloads.py [--size MiB] [--rate MiB/s] [--build build]

Figures:
  link use       achieved rate of a fresh download (size query included) / paced rate
  wire overhead  body bytes the server sent for the whole download / file size
                 (the plain requests' unread bodies count: what the server pushed
                 before the client closed them)
  resume waste   after a download interrupted at about half, body bytes the second
                 run made the server send beyond the missing tail
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
MiB = 1024 * 1024


def z_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Server:
    def __init__(self, work, root, rate):
        self.requests = work / "requests.jsonl"
        port_file = work / "port"
        self.proc = subprocess.Popen(
            [sys.executable, str(SOURCE / "tools" / "endpoint_server.py"), "--port", "0", "--port-file",
             str(port_file), "--root", str(root), "--requests", str(self.requests), "--events",
             str(work / "events.jsonl"), "--rate", str(rate), "--max-seconds", "600"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(work / "server.log", "wb"))
        deadline = time.time() + 15
        while not port_file.exists():
            if self.proc.poll() is not None or time.time() > deadline:
                raise SystemExit("endpoint server did not start")
            time.sleep(0.05)
        self.port = int(port_file.read_text())

    def records(self, name):
        if not self.requests.exists():
            return []
        out = []
        for line in self.requests.read_text().splitlines():
            r = json.loads(line)
            if r["path"] == "/install/" + name:
                out.append(r)
        return out

    def settle(self, name, count):
        """Waits until `count` requests of the file are logged (a cut request is
        logged once the server notices the client left)."""
        deadline = time.time() + 30
        while len(self.records(name)) < count and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(0.5)
        return self.records(name)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def run_measure(build, url, local, stop_at=0):
    exe = build / "tests" / "download_measure.exe"
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", str(build / "wineprefix"))
    r = subprocess.run([str(SOURCE / "tools" / "wine-run"), str(exe), url, local, str(stop_at)], env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    line = r.stdout.decode(errors="replace").strip().splitlines()
    m = re.search(r"result=(\w+) seconds=([\d.]+) local=(\d+) server=(\d+)", line[-1] if line else "")
    if not m:
        raise SystemExit("download_measure failed: %r %r" % (r.stdout, r.stderr))
    return {"result": m.group(1), "seconds": float(m.group(2)), "local": int(m.group(3)), "server": int(m.group(4))}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--size", type=int, default=64, help="component size in MiB")
    ap.add_argument("--rate", type=float, default=16, help="paced rate in MiB/s")
    ap.add_argument("--build", default=str(SOURCE / "build"))
    args = ap.parse_args()
    build = Path(args.build).resolve()
    size = args.size * MiB
    rate = int(args.rate * MiB)
    name = "component.bin"

    with tempfile.TemporaryDirectory(prefix="zembrio-measure-") as work:
        work = Path(work)
        root = work / "root"
        root.mkdir()
        data = os.urandom(size)
        (root / name).write_bytes(data)
        server = Server(work, root, rate)
        try:
            url = "http://127.0.0.1:%d/install/%s" % (server.port, name)
            local = work / "local.bin"

            # Fresh download: size query (1 request), plain + ranged request.
            fresh = run_measure(build, url, z_path(local))
            assert fresh["result"] == "NoError", fresh
            assert local.read_bytes() == data, "downloaded file differs"
            recs = server.settle(name, 3)
            sent_fresh = sum(r["sent"] for r in recs)
            link_use = (size / fresh["seconds"]) / rate

            # Interrupted at about half, then resumed.
            local.unlink()
            mark = len(recs)
            cut = run_measure(build, url, z_path(local), stop_at=size // 2)
            assert cut["result"] == "DownloadCancelled", cut
            partial = local.stat().st_size
            recs = server.settle(name, mark + 3)
            mark = len(recs)
            resumed = run_measure(build, url, z_path(local))
            assert resumed["result"] == "NoError", resumed
            assert local.read_bytes() == data, "resumed file differs"
            recs = server.settle(name, mark + 3)[mark:]
            sent_resume = sum(r["sent"] for r in recs)
            tail = size - partial
            waste = sent_resume - tail
            if os.environ.get("MEASURE_DEBUG"):
                for r in server.records(name):
                    print(r["conn"], r["range"], r["status"], r["sent"], r["seconds"], r["aborted"], r["error"])
        finally:
            server.stop()

    result = {
        "size_bytes": size,
        "paced_rate_bytes_per_s": rate,
        "fresh_seconds": fresh["seconds"],
        "achieved_bytes_per_s": round(size / fresh["seconds"]),
        "link_use": round(link_use, 3),
        "wire_bytes_fresh": sent_fresh,
        "wire_overhead": round(sent_fresh / size, 4),
        "resume_partial_bytes": partial,
        "resume_missing_tail": tail,
        "resume_wire_bytes": sent_resume,
        "resume_waste_bytes": waste,
        "resume_waste_of_tail": round(waste / tail, 4),
    }
    print(json.dumps(result, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
