"""The figures of tools/bench in one table: the shipped stub's bytes by
section; start to visible window against a bare window program; link use
and wire overhead of whole fresh Windows XP installations of the real
installer through the endpoint server paced per connection; the bytes a
resumed installation costs beyond what was missing after an interruption
at half.

Run through tools/bench, which builds and prepares Wine (ZEMBRIO_BUILD_DIR,
WINEPREFIX, WINE and DISPLAY come from there).

Definitions (all from the endpoint server's request log, so exact):
  link use       bytes of the downloaded files / (time from the start of the
                 first component request to the end of the last x paced rate)
  wire overhead  body bytes the server sent for component requests / bytes of
                 the downloaded files (unread bodies of the length requests
                 included)
  idle           the longest time between the end of one component request
                 and the start of the next
  resume waste   body bytes the resumed run made the server send beyond the
                 bytes that were missing when it started
  first push     body bytes the server sends for a plain request to a client
                 that closes the moment the headers are in (a reference
                 client of this script): what no client can avoid, so the
                 floor of the resume waste is the resumed run's plain
                 requests times it
  drained        plain requests whose body the client's platform read on at
                 close beyond the first push (Wine's WinINet reads an unread
                 body at close for as long as bytes keep arriving)
"""
import argparse
import datetime
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

import pefile

SOURCE = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(SOURCE / "tests" / "e2e"))
sys.path.insert(0, str(SOURCE / "tools"))
import harness as h  # noqa: E402
from wire import INSTALL_PREFIX  # noqa: E402

MiB = 1024 * 1024
DOWNLOADED = ("installhelper.exe", "dotnetfx.exe", "setupm.exe")   # a fresh XP lacks .NET 2.0
GOALS = {"link": 0.98, "overhead": 1.02, "ratio": 1.3, "waste": 64 * 1024}


# ---- stub ----------------------------------------------------------------------

def stub_sections(exe):
    pe = pefile.PE(str(exe), fast_load=True)
    return exe.stat().st_size, [(s.Name.rstrip(b"\0").decode(), s.SizeOfRawData) for s in pe.sections]


# ---- start to visible window -----------------------------------------------------

def timed_start(exe, env=None):
    """Seconds from launching exe to the driver seeing its window visible.
    The driver waits (polling every 5 ms) before the launch and stamps the
    moment itself, so its own start costs nothing."""
    out_path = h.BUILD / "e2e" / "bench-driver.out"
    out_path.parent.mkdir(parents=True, exist_ok=True)
    with open(out_path, "w+b") as out:
        driver = subprocess.Popen([h.WINE, str(h.DRIVER_EXE), "wait-window", "30", "5"], env=h.wine_env(),
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
        if not h.wait_for(lambda: b'"waiting"' in out_path.read_bytes(), timeout=30, interval=0.01):
            driver.kill()
            raise RuntimeError("the driver did not start")
        launched = time.time()
        proc = h.start_installer(exe=exe, env=env)
        driver.wait(timeout=60)
    records = [json.loads(l) for l in out_path.read_text(errors="replace").splitlines() if l.startswith("{")]
    found = next((r for r in records if r.get("found")), None)
    return proc, (found["time"] - launched if found else None)


# Before each timed start: the registry tools just run and the process just
# killed keep Wine's server busy for a moment, which would fall on one of
# the two programs only.
SETTLE = 0.5


def start_times(runs, log):
    """Medians and spreads of the installer's fresh start and the bare window
    program's, interleaved so that the machine's load meets both alike."""
    bare_exe = h.support_program("bare_window")
    installer, bare = [], []
    work = h.scratch_dir("bench-start")
    with h.EndpointServer(h.components_dir(), work):
        for run in range(runs):
            h.reset_machine()
            h.set_windows_version("winxp")
            time.sleep(SETTLE)
            proc, seconds = timed_start(None)
            h.kill_installer()
            proc.wait(timeout=30)
            time.sleep(SETTLE)
            proc2, seconds2 = timed_start(bare_exe)
            os.kill(proc2.pid, signal.SIGKILL)   # the loader's process is the program's
            proc2.wait(timeout=30)
            if seconds is None or seconds2 is None or seconds <= 0 or seconds2 <= 0:
                raise RuntimeError(f"start run {run}: no window ({seconds}, {seconds2})")
            installer.append(seconds)
            bare.append(seconds2)
            log(f"start {run + 1}/{runs}: installer {seconds * 1000:.0f} ms, bare window {seconds2 * 1000:.0f} ms")
    h.reset_machine()
    return installer, bare


# ---- installations -------------------------------------------------------------------

def stamp(record):
    if record.get("start") is not None:
        return record["start"]
    return datetime.datetime.fromisoformat(record["time"]).timestamp()


def component_requests(server, since=0.0):
    names = {INSTALL_PREFIX + n for n in DOWNLOADED}
    return sorted((r for r in server.requests() if r["path"] in names and stamp(r) >= since), key=stamp)


def download_figures(records, rate):
    files = sum((h.components_dir() / r["path"].rsplit("/", 1)[1]).stat().st_size
                for r in {r["path"]: r for r in records}.values())
    start = stamp(records[0])
    end = max(stamp(r) + r["seconds"] for r in records)
    gaps = [(stamp(b) - (stamp(a) + a["seconds"]), f"{a['path'].rsplit('/', 1)[1]} {a['range'] or 'plain'}")
            for a, b in zip(records, records[1:])]
    worst = max(gaps + [(0.0, "")])
    sent = sum(r["sent"] for r in records)
    plain = [r["sent"] for r in records if not r["range"]]
    return {"link": files / ((end - start) * rate), "overhead": sent / files, "idle": worst[0],
            "idle_after": worst[1], "idle_total": sum(max(0.0, g) for g, _ in gaps),
            "requests": len(records), "plain": len(plain), "plain_max": max(plain + [0]), "plain_sent": plain}


def first_push(server, name=DOWNLOADED[-1]):
    """Body bytes the server sends for a plain GET to a client that closes as
    soon as it has the headers."""
    since = time.time()
    with socket.create_connection(("127.0.0.1", server.port), timeout=10) as conn:
        conn.sendall(f"GET {INSTALL_PREFIX}{name} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n".encode())
        head = b""
        while b"\r\n\r\n" not in head:
            data = conn.recv(4096)
            if not data:
                break
            head += data
    h.wait_for(lambda: component_requests(server, since), timeout=10, interval=0.05)
    records = component_requests(server, since)
    if not records:
        raise RuntimeError("the reference request was not logged")
    return records[0]["sent"]


def visible(driver, ident):
    try:
        return any(c["id"] == ident and c["visible"] and c["enabled"] for c in driver.controls())
    except h.DriverError:
        return False


def local_bytes():
    folder = h.working_folder()
    return sum((folder / n).stat().st_size for n in DOWNLOADED if (folder / n).exists())


def fresh_machine():
    h.reset_machine()
    h.reg_delete(h.PRODUCT_KEY)
    h.remove_links()
    h.set_windows_version("winxp")
    h.plant_dotnet(False)


def clean_machine():
    h.kill_installer()
    h.kill_outside_programs()
    h.plant_dotnet(False)
    h.reset_machine()
    h.reg_delete(h.PRODUCT_KEY)
    h.remove_links()


ENV = {"ZEMBRIO_DOTNET_SECONDS": "0"}


def start_and_accept(driver, exe=None, license=True):
    proc = h.start_installer(exe=exe, env=ENV)
    if not driver.wait_window(30):
        raise RuntimeError("no window")
    if license:
        if not h.wait_for(lambda: visible(driver, h.ID_CHECKBOX), timeout=30, interval=0.05):
            raise RuntimeError("no license page")
        if not (driver.click(h.ID_CHECKBOX) and driver.click(h.ID_NEXT)):
            raise RuntimeError("the license could not be accepted")
    return proc


def finish(driver, proc):
    if not h.wait_for(lambda: visible(driver, h.ID_FINISH), timeout=180, interval=0.3):
        raise RuntimeError("the installation did not complete")
    driver.click(h.ID_FINISH, post=True)
    proc.wait(timeout=60)


def installation(rate, run):
    """One whole fresh installation; its download figures."""
    fresh_machine()
    driver = h.Driver()
    with h.EndpointServer(h.components_dir(), h.scratch_dir(f"bench-install-{run}"), rate=rate,
                          per_connection=True) as server:
        try:
            finish(driver, start_and_accept(driver))
            records = component_requests(server)
            push = first_push(server)
        finally:
            clean_machine()
    for name in DOWNLOADED:
        if not any(r["path"].endswith("/" + name) and r["range"] for r in records):
            raise RuntimeError(f"{name} was not downloaded")
    figures = download_figures(records, rate)
    figures["drained"] = sum(1 for sent in figures["plain_sent"] if sent > push)
    figures["push"] = push
    return figures


def resume_at_half(rate):
    """A fresh installation killed once half of its download bytes are on
    disk, then resumed as a Resume shortcut resumes it; the resumed run's
    bytes beyond what was missing."""
    fresh_machine()
    total = sum((h.components_dir() / n).stat().st_size for n in DOWNLOADED)
    driver = h.Driver()
    with h.EndpointServer(h.components_dir(), h.scratch_dir("bench-resume"), rate=rate,
                          per_connection=True) as server:
        try:
            proc = start_and_accept(driver)
            if not h.wait_for(lambda: local_bytes() >= total // 2, timeout=120, interval=0.01):
                raise RuntimeError("the downloads did not reach half")
            h.kill_installer()
            proc.wait(timeout=30)
            links = h.resume_links()   # the Start menu's is there first
            if not links:
                raise RuntimeError("no Resume shortcut after the interruption")
            target = h.unix_path(h.lnk_info(links[0])["Local path"])
            time.sleep(0.5)   # the server notices the cut connection
            restarted = time.time()
            missing = total - local_bytes()
            finish(driver, start_and_accept(driver, exe=target, license=False))
            records = component_requests(server, since=restarted)
            push = first_push(server)
        finally:
            clean_machine()
    plain = sum(1 for r in records if not r["range"])
    return sum(r["sent"] for r in records) - missing, missing, plain * push, plain


# ---- the table ---------------------------------------------------------------------------

def spread(values, fmt):
    return f"{fmt(min(values))} to {fmt(max(values))}"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=5, help="whole installations (default 5)")
    ap.add_argument("--starts", type=int, default=7, help="timed starts of each program (default 7)")
    ap.add_argument("--rate", type=float, default=16, help="pace per connection, MiB/s (default 16)")
    ap.add_argument("--quiet", action="store_true", help="only the table")
    ap.add_argument("--start-only", action="store_true", help="only the stub's size and the start-up figures")
    args = ap.parse_args()
    log = (lambda *a: None) if args.quiet else (lambda text: print(text, file=sys.stderr, flush=True))
    rate = int(args.rate * MiB)
    release = SOURCE / "build-release" / h.EXE_NAME
    total, sections = stub_sections(release)

    installer, bare = start_times(args.starts, log)
    if args.start_only:
        args.runs = 0
    runs = []
    for run in range(args.runs):
        runs.append(installation(rate, run))
        f = runs[-1]
        log(f"installation {run + 1}/{args.runs}: link use {f['link']:.3f}, wire overhead {f['overhead']:.4f}, "
            f"idle {f['idle_total'] * 1000:.0f} ms in all, longest {f['idle'] * 1000:.1f} ms (after "
            f"{f['idle_after']}), {f['requests']} requests, "
            f"largest plain request body {f['plain_max']} bytes, {f['drained']} drained at close "
            f"(first push {f['push']} bytes)")
    if not args.start_only:
        waste, missing, floor, plain = resume_at_half(rate)
        log(f"resume: {missing} bytes missing, {waste} bytes beyond them, {plain} plain requests, floor {floor}")

    arch = "i686 under 32-bit Wine" if (h.BUILD / "wine-arch").read_text().strip() == "win32" else \
        "x86_64 under 64-bit Wine (not the shipped i686 build)"
    rows = [("architecture measured", arch, f"{h.BUILD.name}/", "")]
    rows += [("stub bytes, release build (total)", f"{total}", "", "")]
    rows += [(f"  section {name}", f"{size}", "", "") for name, size in sections]
    ms = lambda s: f"{s * 1000:.0f} ms"
    ratio = statistics.median(installer) / statistics.median(bare)
    rows += [
        (f"start to window, installer (median of {len(installer)})", ms(statistics.median(installer)),
         spread(installer, ms), ""),
        (f"start to window, bare window (median of {len(bare)})", ms(statistics.median(bare)), spread(bare, ms), ""),
        ("start ratio (median / median)", f"{ratio:.2f}", "", mark(ratio <= GOALS["ratio"], "<= 1.3")),
    ]
    if args.start_only:
        return print_table(rows)
    link = [r["link"] for r in runs]
    over = [r["overhead"] for r in runs]
    idle = [r["idle"] for r in runs]
    f3, f4 = (lambda v: f"{v:.3f}"), (lambda v: f"{v:.4f}")
    rows += [
        (f"link use, worst of {len(runs)} at {args.rate:g} MiB/s", f3(min(link)),
         f"median {f3(statistics.median(link))}, {spread(link, f3)}", mark(min(link) >= GOALS["link"], ">= 0.98")),
        (f"wire overhead, worst of {len(runs)}", f4(max(over)),
         f"median {f4(statistics.median(over))}, {spread(over, f4)}",
         mark(max(over) <= GOALS["overhead"], "<= 1.02")),
        ("longest idle between requests, worst", ms(max(idle)), f"median {ms(statistics.median(idle))}", ""),
        ("plain requests drained at close", f"{sum(r['drained'] for r in runs)} of {sum(r['plain'] for r in runs)}",
         "read on by the platform past the first push", ""),
        ("resume waste after an interruption at half", f"{waste} bytes", f"of {missing} missing",
         mark(waste <= GOALS["waste"], "<= 65536")),
        ("  its floor: plain requests x first push", f"{floor} bytes", f"{plain} x {floor // max(plain, 1)}",
         "the waste is at it" if waste <= floor else f"the waste is {waste - floor} above it"),
    ]
    return print_table(rows)


def print_table(rows):
    widths = [max(len(r[i]) for r in rows + [HEADER]) for i in range(4)]
    for row in [HEADER, tuple("-" * w for w in widths)] + rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    return 0


HEADER = ("figure", "value", "spread", "goal")


def mark(ok, goal):
    return f"{goal} {'met' if ok else 'NOT MET'}"


if __name__ == "__main__":
    sys.exit(main())
