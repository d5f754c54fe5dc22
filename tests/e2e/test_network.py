"""End-to-end: networks that drop in the middle of the downloads. The install
server stops listening for a while, or its worker dies mid-transfer: the
installer says so, tries again from the byte where it stopped and completes
in the same run; a server that stays away ends on the error page, in words,
whose Try again completes the installation once the server is back."""
import re
import signal
import socket
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402
from test_installation import NORMAL_XP, InstallationRun  # noqa: E402

PROGRESS = re.compile(r" ?\d{1,3}% done - \d+\.\d of \d+\.\d MB - about \d+ (min|s) left")
WAITING = re.compile(r" ?\d{1,3}% done - connection lost, trying again in \d+ s")


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class DroppingNetwork(InstallationRun):
    """The set-up program paced at 1.5 MB/s, so that its download lasts."""
    TIMEOUT = 300

    def start_downloading(self):
        proc = self.paced_xp_run(1500000)
        self.accept_license()
        self.partial = self.wait_partial(4000000)
        return proc

    def ranged_starts(self):
        return [int(r["range"][6:].split("-")[0]) for r in self.server.requests()
                if r["path"] == "/install/setupm.exe" and r["range"]]

    def test_server_away_for_ten_seconds_and_the_run_completes(self):
        proc = self.start_downloading()
        # The progress in words, the time left once the rate is known.
        shown = h.wait_for(lambda: (lambda t: t if PROGRESS.fullmatch(t) else None)(h.progress_text(self.driver)),
                           timeout=20)
        self.assertTrue(shown, h.progress_text(self.driver))
        self.driver.screenshot(h.screenshots_dir() / "network-1-progress.png")

        self.server.control("fault=refuse=10")
        waiting = h.wait_for(lambda: (lambda t: t if WAITING.fullmatch(t) else None)(h.progress_text(self.driver)),
                             timeout=30)
        self.assertTrue(waiting, h.progress_text(self.driver))
        self.driver.screenshot(h.screenshots_dir() / "network-2-reconnecting.png")
        # Once the server is back and bytes flow, the progress in words again.
        again = h.wait_for(lambda: (lambda t: t if PROGRESS.fullmatch(t) else None)(h.progress_text(self.driver)),
                           timeout=60)
        self.assertTrue(again, h.progress_text(self.driver))
        self.wait_page("complete", 180)
        self.assertEqual((h.components_dir() / "setupm.exe").read_bytes(), self.partial.read_bytes())
        self.finish(proc)
        self.assert_main_app_started()
        # No error report; each new try a run-log line; the transfer taken up
        # where it stopped, not from the start.
        self.assertEqual(NORMAL_XP, self.server.event_names())
        retries = [value for name, value in h.run_log() if name == "Retry"]
        self.assertTrue(retries and all(v.startswith("setupm.exe") for v in retries), retries)
        self.assertEqual(NORMAL_XP, h.log_events(h.run_log()))
        starts = self.ranged_starts()
        self.assertGreater(len(starts), 1, starts)
        self.assertGreater(starts[-1], 4000000, starts)

    def test_server_gone_ends_on_the_error_page_whose_try_again_completes(self):
        proc = self.start_downloading()
        # Away for longer than every wait together (2 + 4 + 8 + 16 + 30 s).
        away = time.time()
        self.server.control("fault=refuse=85")
        self.wait_page("error", 120)
        self.assertGreater(time.time() - away, 55)
        self.assertEqual(5, len([v for name, v in h.run_log() if name == "Retry"]))
        # The report, in the run log: the logger is as gone as the server.
        self.assertEqual("networkThreadControl,NetworkError", h.log_events(h.run_log())[-1])
        text = self.driver.control(h.ID_ERROR_TEXT)
        self.assertTrue(text["visible"])
        self.assertTrue(text["text"].startswith("The installer could not reach the download server."), text)
        retry = self.driver.control(h.ID_RETRY)
        self.assertTrue(retry["visible"] and retry["enabled"], retry)
        self.assertEqual("Learn how to fix this problem", self.driver.control(h.ID_LINK)["text"])
        self.assertEqual(h.ID_RETRY, h.focused(self.driver))
        self.driver.screenshot(h.screenshots_dir() / "network-3-error-try-again.png")
        kept = self.partial.stat().st_size

        self.assertTrue(h.wait_for(lambda: listening(self.server.port), timeout=60), "the server did not return")
        # Try again is the page's main button: Enter presses it.
        h.press_key(self.driver, "enter")
        self.wait_page("complete", 180)
        self.assertEqual((h.components_dir() / "setupm.exe").read_bytes(), self.partial.read_bytes())
        self.finish(proc)
        self.assert_main_app_started()
        events = self.server.event_names()
        # The download stage entered again: its component report follows.
        self.assertEqual(["generaluserclickedretry", "generalsetupm.exe", "generalbootstrapcomplete"], events[-3:])
        # Every byte downloaded before the failure was kept.
        self.assertGreaterEqual(min(s for s in self.ranged_starts() if s), kept)


class WorkerKilled(InstallationRun):
    """nginx as production runs it, a master and its workers, each answer
    paced at 2 MB/s: the worker sending the set-up program is killed."""
    TIMEOUT = 180

    def make_server(self):
        return h.NginxWithWorkers(h.components_dir(), self.work, rate="2m")

    def test_worker_killed_mid_transfer_and_the_run_completes(self):
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        proc = self.start()
        self.accept_license()
        partial = self.wait_partial(4000000)
        workers = self.server.workers()
        self.assertTrue(workers)
        for pid in workers:
            h.os.kill(pid, signal.SIGKILL)
        self.wait_page("complete", 120)
        self.assertEqual((h.components_dir() / "setupm.exe").read_bytes(), partial.read_bytes())
        self.finish(proc)
        self.assert_main_app_started()
        self.assertEqual(NORMAL_XP, self.server.event_names())
        self.assertTrue([v for name, v in h.run_log() if name == "Retry"])
        self.assertNotEqual(set(workers), set(self.server.workers()))


if __name__ == "__main__":
    unittest.main(verbosity=2)
