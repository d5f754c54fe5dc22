"""Runs the installer once against the local endpoint server, the way a
visitor would: reads the license page, ticks the box, presses Next, watches
the download page and the installation, and ends with Finish on the
completion page, which starts the main application and clears the installer
away. A screenshot of each page goes to <build>/screenshots/."""
import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402
from harness import ID_CANCEL, ID_CHECKBOX, ID_FINISH, ID_NEXT  # noqa: E402


def visible_controls(driver):
    return ", ".join(f"{c['id']}{'' if c['enabled'] else '(off)'}" for c in driver.controls() if c["visible"])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fresh", action="store_true", help="forget earlier runs first")
    parser.add_argument("--seconds", type=float, default=2, help="how long to stay on each page")
    parser.add_argument("--windows", default="winxp",
                        help="Windows version the installer sees (winxp, vista, win2k, win98...)")
    parser.add_argument("--timeout", type=float, default=300,
                        help="how long to wait for the completion page before leaving with Cancel")
    args = parser.parse_args()

    shots = harness.screenshots_dir()
    work = harness.scratch_dir("demo")
    if args.fresh:
        harness.reset_machine()
    harness.set_windows_version(args.windows)
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
            # Follow the pages (downloads, installation) to the completion
            # page, whose Finish is the one button shown enabled at the end.
            deadline = time.time() + args.timeout
            last = None
            n = 4
            finished = False
            while time.time() < deadline and proc.poll() is None:
                controls = driver.controls()
                now = [(c["id"], c["visible"], c["enabled"], c["text"][:40]) for c in controls]
                if now != last and last is not None:
                    shot(f"{n}-page")
                    n += 1
                last = now
                finish = [c for c in controls if c["id"] == ID_FINISH and c["visible"] and c["enabled"]]
                help_shown = any(c["id"] == 32784 and c["visible"] for c in controls)
                # The Vista notice page: Next goes on to the installation.
                if any(c["id"] == ID_NEXT and c["visible"] and c["enabled"] for c in controls) and not any(
                        c["id"] == ID_CHECKBOX and c["visible"] for c in controls):
                    time.sleep(args.seconds)
                    driver.click(ID_NEXT)
                if finish and not help_shown:
                    time.sleep(args.seconds)
                    shot(f"{n}-complete")
                    driver.click(ID_FINISH, post=True)
                    finished = True
                    break
                if help_shown:
                    print("  the error page is shown; leaving with Finish")
                    driver.click(ID_FINISH, post=True)
                    break
                time.sleep(1)
            if proc.poll() is None and not finished and time.time() >= deadline:
                shot(f"{n}-before-cancel")
                if not driver.click(ID_CANCEL, post=True):
                    driver.command(ID_CANCEL, post=True)
            proc.wait(timeout=30)
        finally:
            if proc.poll() is None:
                harness.kill_installer()
                proc.wait(timeout=30)
        print("events seen by the logger:", ", ".join(server.event_names()) or "none")
    ran = harness.main_app_folder() / "ran.txt"
    if harness.wait_for(ran.exists, timeout=15):
        print("the main application was started:", ran.read_text().strip())
    else:
        print("the main application was not started")
    # The clean-up copy runs on after the window has gone.
    harness.wait_for(lambda: not harness.unix_path(harness.INSTALLED_COPY).exists(), timeout=30)
    print("working folder after the clean-up:",
          ", ".join(sorted(p.name for p in harness.working_folder().glob("*"))) or "empty")
    print("run log:")
    for name, value in harness.run_log():
        print(f"  {name}={value}")
    print("screenshots:")
    for path in taken:
        print(f"  {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
