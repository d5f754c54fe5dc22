#!/usr/bin/env python3
"""Measures what a visitor notices of the stub itself: the size of the
shipped 32-bit installer (and what it is made of) and the time from starting
the installer to its window being on screen. Rerunnable.

    . tools/wine-env build && tools/measure_stub.py [--runs 5]; wine_env_stop

Needs build-release/ (tools/configure release) and the test build in build/
(the start-up time is taken with the x86_64 build under Wine, against the
local endpoint server, on a fresh start).
"""
import argparse
import statistics
import sys
import time
from pathlib import Path

import pefile

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
import harness  # noqa: E402


def size_report(exe):
    pe = pefile.PE(str(exe), fast_load=True)
    total = exe.stat().st_size
    sections = {s.Name.rstrip(b"\0").decode(): s.SizeOfRawData for s in pe.sections}
    print(f"shipped installer: {exe} {total} bytes")
    for name, size in sections.items():
        print(f"  {name:8} {size:8} bytes")
    return total


def startup_times(runs):
    times = []
    work = harness.scratch_dir("measure-stub")
    driver = harness.Driver()
    with harness.EndpointServer(harness.components_dir(), work):
        for _ in range(runs):
            harness.reset_machine()
            harness.set_windows_version("winxp")
            started = time.monotonic()
            proc = harness.start_installer()
            shown = driver.wait_window(30)
            elapsed = time.monotonic() - started
            harness.kill_installer()
            proc.wait(timeout=30)
            if shown:
                times.append(elapsed)
    harness.reset_machine()
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    size_report(SOURCE / "build-release" / "ZembrioInstaller.exe")
    times = startup_times(args.runs)
    if times:
        print(f"start to window (fresh start, winxp, {len(times)} runs): median {statistics.median(times):.2f} s, "
              f"min {min(times):.2f} s, max {max(times):.2f} s (includes the driver's polling, 0.1 s)")
    else:
        print("the window never appeared")


if __name__ == "__main__":
    main()
