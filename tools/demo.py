"""Runs the installer once against the local endpoint server, the way a
visitor would, and saves a screenshot of each page it shows."""
import argparse
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))
import harness  # noqa: E402


def screenshot(path):
    """The whole X screen (the installer's window is centred on it)."""
    subprocess.run(["import", "-window", "root", str(path)], check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--fresh", action="store_true", help="forget earlier runs first")
    parser.add_argument("--seconds", type=float, default=4, help="how long to show the first page")
    args = parser.parse_args()

    shots = harness.BUILD / "screenshots"
    shots.mkdir(exist_ok=True)
    work = harness.scratch_dir("demo")
    if args.fresh:
        harness.reset_machine()
    with harness.EndpointServer(harness.components_dir(), work) as server:
        proc = harness.start_installer()
        time.sleep(args.seconds)
        screenshot(shots / "demo-first-page.png")
        harness.kill_installer()
        proc.wait(timeout=30)
        print("events seen by the logger:", ", ".join(server.event_names()) or "none")
    print("run log:")
    for name, value in harness.run_log():
        print(f"  {name}={value}")
    print(f"screenshots in {shots}")


if __name__ == "__main__":
    main()
