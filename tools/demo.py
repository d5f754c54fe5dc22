"""Runs the installer once against the local endpoint server, the way a
visitor would: reads the license page, ticks the box, presses Next, watches
the download page, and leaves with Cancel. A screenshot of each page goes to
build/screenshots/."""
import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402
from harness import ID_CANCEL, ID_CHECKBOX, ID_NEXT  # noqa: E402


def visible_controls(driver):
    return ", ".join(f"{c['id']}{'' if c['enabled'] else '(off)'}" for c in driver.controls() if c["visible"])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fresh", action="store_true", help="forget earlier runs first")
    parser.add_argument("--seconds", type=float, default=2, help="how long to stay on each page")
    parser.add_argument("--download-seconds", type=float, default=20,
                        help="how long to follow the download page before leaving")
    args = parser.parse_args()

    shots = harness.screenshots_dir()
    work = harness.scratch_dir("demo")
    if args.fresh:
        harness.reset_machine()
    driver = harness.Driver()
    taken = []

    def shot(name):
        taken.append(driver.screenshot(shots / f"demo-{name}.png"))
        print(f"  page {name}: caption {driver.caption()['caption']!r}; controls shown: {visible_controls(driver)}")

    with harness.EndpointServer(harness.components_dir(), work) as server:
        proc = harness.start_installer()
        try:
            if not driver.wait_window(30):
                print("the installer showed no window")
                return 1
            time.sleep(args.seconds)
            ids = {c["id"] for c in driver.controls() if c["visible"]}
            if ID_CHECKBOX in ids:
                shot("1-license")
                driver.click(ID_CHECKBOX)
                time.sleep(args.seconds)
                shot("2-license-accepted")
                driver.click(ID_NEXT)
            else:
                print("  (a resumed installation: the license page is skipped)")
            time.sleep(args.seconds)
            shot("3-after-next")
            # Follow the download page (and whatever follows) for a while.
            deadline = time.time() + args.download_seconds
            last = None
            n = 4
            while time.time() < deadline and proc.poll() is None:
                now = [(c["id"], c["visible"], c["enabled"], c["text"][:40]) for c in driver.controls()]
                if now != last and last is not None:
                    shot(f"{n}-page")
                    n += 1
                last = now
                time.sleep(1)
            if proc.poll() is None:
                shot(f"{n}-before-cancel")
                # The Cancel button; where a page has it off, the command itself.
                if not driver.click(ID_CANCEL, post=True):
                    driver.command(ID_CANCEL, post=True)
            proc.wait(timeout=30)
        finally:
            if proc.poll() is None:
                harness.kill_installer()
                proc.wait(timeout=30)
        print("events seen by the logger:", ", ".join(server.event_names()) or "none")
    print("run log:")
    for name, value in harness.run_log():
        print(f"  {name}={value}")
    print("screenshots:")
    for path in taken:
        print(f"  {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
