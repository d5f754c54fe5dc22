"""End-to-end: whole installations with the real installer under Wine, the
local endpoint server and the stand-in components, driven through the
window: license, downloads, the install helper and its markers, completion,
Finish with the start of the main application and the clean-up; then the
interrupted and failing runs. Only what takes a whole installation to show
is here: the faults one step meets on its own are the unit tests' (the
install server's in tests/download, the helper's markers in tests/install)."""
import importlib.machinery
import importlib.util
import shutil
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402
from harness import ID_CHECKBOX, ID_FINISH, ID_NEXT, ID_CANCEL  # noqa: E402
from test_window import table  # noqa: E402

ON, OFF, HIDDEN = (True, True), (True, False), (False, True)

# The pages by the controls each one shows.
PAGES = {
    "license": {"license": ON, "agree": ON},
    "downloading": {"license": (False, False), "progresstext": ON, "hide": ON, "goodies": ON},
    "notice": {"next": ON, "finish": (False, False), "progress": HIDDEN, "cancel": ON},
    "installing": {"finish": OFF, "cancel": OFF, "close": OFF, "progress": ON, "progresstext": HIDDEN},
    # The help link is hidden there; on Vista the notice page also disabled it.
    "complete": {"finish": ON, "cancel": ON, "progress": HIDDEN, "hide": (False, True)},
    "error": {"help": ON, "finish": ON, "cancel": OFF},
}

NORMAL_XP = ["generalbootstrapstart", "generalsetupm.exe", "generalbootstrapcomplete"]
NORMAL_XP_DOTNET = ["generalbootstrapstart", "generaldotnetfxexe", "generalsetupm.exe", "generalbootstrapcomplete"]


class InstallationRun(h.InstallerScenario):
    """Set-up, clean-up and aids of a whole installation, without the runs."""
    def start(self, exe=None, **env):
        p = self.launch(exe=exe, env=env or None)
        self.assertTrue(self.driver.wait_window(30), "the installer's window did not appear")
        return p

    def page(self):
        try:
            controls = table(self.driver.controls())
        except h.DriverError:
            return None
        for name, expected in PAGES.items():
            if all(controls.get(k) == v for k, v in expected.items()):
                return name
        return "other"

    def wait_page(self, name, timeout=60):
        seen = h.wait_for(lambda: self.page() == name, timeout=timeout)
        if not seen:
            try:
                controls = table(self.driver.controls())
            except h.DriverError:
                controls = None
            self.fail(f"page {name} not reached; at {self.page()} {controls}; events {self.server.event_names()}")

    def shot(self, name):
        if self.screenshots:
            self.driver.screenshot(h.screenshots_dir() / f"install-{name}.png")

    screenshots = False

    def accept_license(self):
        self.wait_page("license", 30)
        self.shot("1-license")
        self.assertTrue(self.driver.click(ID_CHECKBOX))
        self.shot("2-license-accepted")
        self.assertTrue(self.driver.click(ID_NEXT))

    def paced_xp_run(self, rate):
        """XP with .NET present, the set-up program served at rate bytes/s
        so that its download lasts; returns the process once started."""
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        self.server.control(f"fault=slow={rate}@setupm.exe")
        return self.start()

    def wait_partial(self, at_least, timeout=60):
        """Waits until the set-up program's partial file has passed a size."""
        partial = h.working_folder() / "setupm.exe"
        self.assertTrue(h.wait_for(lambda: partial.exists() and partial.stat().st_size > at_least,
                                   timeout=timeout), "the download did not get under way")
        return partial

    def finish(self, proc):
        self.assertTrue(self.driver.click(ID_FINISH, post=True))
        self.assertEqual(0, proc.wait(timeout=60))

    def assert_cleaned_up(self):
        """What the "/quiet" copy leaves: the run logs and itself (the clean-up
        keeps every file whose path contains "log.txt", the helper's log too)."""
        kept = {"log.txt", "installhelperlog.txt", h.EXE_NAME}
        left = h.wait_for(lambda: {p.name for p in h.working_folder().iterdir()} == kept, timeout=40)
        self.assertTrue(left, sorted(p.name for p in h.working_folder().iterdir()))
        self.assertTrue(h.wait_for(lambda: not h.unix_path(h.INSTALLED_COPY).exists(), timeout=20))
        self.assertEqual([], h.resume_links())
        self.assertIsNone(h.reg_query(h.UNINSTALL_KEY))

    def assert_main_app_started(self):
        ran = h.main_app_folder() / "ran.txt"
        self.assertTrue(h.wait_for(ran.exists, timeout=20), "the main application was not started")
        self.assertEqual(1, len(ran.read_text().splitlines()))

    def full_run(self, events, dotnet_page=False, exe=None, **env):
        proc = self.start(exe, ZEMBRIO_DOTNET_SECONDS="3" if dotnet_page else "0", **env)
        self.accept_license()
        self.wait_page("downloading", 30)
        self.shot("3-downloading")
        self.wait_page("installing", 120)
        self.shot("4-installing-dotnet" if dotnet_page else "4-installing")
        if dotnet_page:
            # The .NET update ends and the helper moves on to the set-up; the
            # page turns to the completing one at the installer's next look
            # at the markers (a picture, not a check).
            self.assertTrue(h.wait_for(h.mscorlib_path().exists, timeout=60))
            h.wait_for((h.working_folder() / "setupinstallstart").exists, timeout=10)
            if self.page() == "installing":
                self.shot("5-installing-completing")
        self.wait_page("complete", 120)
        self.shot("6-complete")
        self.finish(proc)
        self.assert_main_app_started()
        self.assertEqual(events, self.server.event_names())
        return proc


class InstallationE2E(InstallationRun):
    """Whole installations, each path to its end."""
    TIMEOUT = 300

    def test_fresh_xp_without_dotnet_in_a_temp_folder_with_a_comma(self):
        # As a user named "Smith, John" has it; the helper stand-in refuses
        # a task line that a comma splits into more than six fields.
        # Started from a downloads folder where someone left a version.dll
        # and a wininet.dll: the whole run, downloads included, must take the
        # system's libraries and never load those.
        h.set_temp_folder("Smith, John")
        self.assertIn(",", str(h.working_folder()))
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        downloads = self.work / "Downloads"
        self.full_run(NORMAL_XP, exe=h.installer_beside_planted_libraries(downloads), **h.PREFER_PLANTED)
        # Wine's own user32 imports version.dll (Windows' does not, and Wine
        # 8 keeps no KnownDLLs), so under Wine the planted one is mapped
        # before any program's first line: what is the installer's doing is
        # that it never calls it, and never loads the planted wininet.dll.
        self.assertEqual(["version.dll.loaded"], sorted(p.name for p in downloads.glob("*.loaded")))
        self.assertEqual([], sorted(p.name for p in downloads.glob("*.used")))
        self.assert_cleaned_up()
        self.assertEqual(1, h.reg_query(h.STATE_KEY)["Completed"])
        self.assertEqual(NORMAL_XP, h.log_events(h.run_log()))

    def test_fresh_xp_with_dotnet_every_page(self):
        self.screenshots = True
        h.set_windows_version("winxp")
        h.plant_dotnet(False)
        self.full_run(NORMAL_XP_DOTNET, dotnet_page=True)
        self.assert_cleaned_up()
        names = [n for n, _ in h.run_log()]
        self.assertLess(names.index("Dotnetfx.exe Download"), names.index("Installer Download"))

    def vista_run(self, version):
        """Windows Vista to 11: the window runs with the visitor's rights and
        only the installation step is elevated ("runas", which Wine runs as
        the same user: every step but the prompt). The helper runs from a new
        folder under the Windows folder's Temp, never from the working folder,
        where another program of the visitor has planted a library by now."""
        h.set_windows_version(version)
        h.plant_dotnet(True)
        record = self.work / "helper-record.txt"
        proc = self.start(ZEMBRIO_HELPER_RECORD=h.windows_path(record), **h.PREFER_PLANTED)
        self.accept_license()
        self.wait_page("notice", 120)
        self.driver.screenshot(h.screenshots_dir() / f"install-{version}-notice.png")
        self.assertIsNone(h.reg_query(h.UNINSTALL_KEY))
        self.assertFalse(h.unix_path(h.INSTALLED_COPY).exists())
        shutil.copy2(h.BUILD / "tests" / "planted" / "version.dll", h.working_folder() / "version.dll")
        self.assertTrue(self.driver.click(ID_NEXT))
        self.wait_page("complete", 120)
        self.assertEqual([], [p.name for p in h.working_folder().glob("*.loaded")])
        [line] = record.read_text().splitlines()
        ran_from, current = line.split("|")
        temp = h.prefix() / "drive_c/windows/Temp"
        self.assertRegex(ran_from, r"(?i)^C:\\windows\\Temp\\Zembrio-[0-9a-f]{16}\\installhelper\.exe$")
        self.assertEqual(ran_from.rsplit("\\", 1)[0].lower(), current.lower())
        # Removed once the helper had ended, and nothing else left there.
        self.assertTrue(h.wait_for(lambda: not list(temp.glob("Zembrio-*")), timeout=20), list(temp.glob("*")))
        self.finish(proc)
        self.assert_main_app_started()
        self.assertEqual(NORMAL_XP, self.server.event_names())
        # No temp copy: the folder is purged at once, the run log stays (the
        # helper's log went with the step's folder).
        self.assertEqual({"log.txt"}, {p.name for p in h.working_folder().iterdir()})
        self.assertEqual([], h.resume_links())

    def test_vista_notice_and_the_elevated_step(self):
        self.vista_run("vista")

    def test_windows_10_takes_the_same_path(self):
        # Windows 8 to 11 answer 6.2 to a program whose manifest names no
        # later system (the unit tests of the checks and of the release
        # build's manifest hold both halves of that).
        self.vista_run("win10")

    def test_silent_logger_never_holds_the_window_or_the_installation(self):
        """The logger takes every report and never answers: the whole
        installation completes, the window answers every message within
        0.5 s from its first page to Finish, and the run log names each
        report that never got an answer."""
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        self.server.control("fault=logger-silent")
        proc = self.start()
        watch = self.driver.watch()
        self.addCleanup(watch.stop)
        self.accept_license()
        self.wait_page("complete", 120)
        finish_pressed = time.time()
        self.finish(proc)
        timing = watch.result()
        self.assertTrue(timing.get("gone"), timing)
        # Sampled throughout: ten a second over an installation of a few
        # seconds at the least.
        self.assertGreater(timing["samples"], 20, timing)
        # From Finish on the window is going: the exit gives queued reports
        # up to 2 s, and a managed Wine window waits for the window manager.
        self.assertEqual([], [s for s in timing["slow"] if s[0] < finish_pressed], timing)
        self.assert_main_app_started()
        log = h.run_log()
        self.assertEqual(NORMAL_XP, h.log_events(log))
        # In the order made: what the logger took, the last of it maybe
        # still unanswered at the exit, then what never went out.
        received = self.server.event_names()
        named = lambda line: [v.replace(",", "", 1) for n, v in log if n == line]
        self.assertEqual(NORMAL_XP[:len(received)], received)
        self.assertIn(named("Report unanswered"), ([], received[-1:]))
        self.assertEqual(NORMAL_XP[len(received):], named("Report dropped"))


class InterruptionE2E(InstallationRun):
    """Runs cut short by a kill or a cancel, and what the next run makes of them."""
    TIMEOUT = 240

    def test_killed_during_downloads_resumes_from_the_installed_copy(self):
        proc = self.paced_xp_run(2000000)
        self.accept_license()
        self.wait_partial(3000000)
        h.kill_installer()
        proc.wait(timeout=30)
        sizes = {p.name: p.stat().st_size for p in h.working_folder().iterdir() if p.suffix == ".exe"}
        full = {p.name: p.stat().st_size for p in h.components_dir().iterdir()}
        self.assertLess(sizes["setupm.exe"], full["setupm.exe"])
        self.assertEqual(full["installhelper.exe"], sizes["installhelper.exe"])
        # The server logs the cut request once it notices the client has gone.
        cut = lambda: any(r["range"] and r["path"].endswith("/setupm.exe") for r in self.server.requests())
        self.assertTrue(h.wait_for(cut, timeout=30))
        before = len(self.server.requests())
        first_user = self.server.events()[0]["userUID"]
        self.server.control("reset=1")

        # As the Startup shortcut starts it.
        proc = self.start(exe=h.unix_path(h.INSTALLED_COPY))
        self.assertNotEqual("license", self.page())
        self.wait_page("complete", 120)
        ranged = [r for r in self.server.requests()[before:] if r["range"]]
        self.assertEqual([f"bytes={sizes['setupm.exe']}-{full['setupm.exe'] - 1}"], [r["range"] for r in ranged])
        self.assertEqual(full["setupm.exe"] - sizes["setupm.exe"], ranged[0]["sent"])
        self.assertEqual({first_user}, {e["userUID"] for e in self.server.events()})
        self.finish(proc)
        self.assert_main_app_started()
        self.assert_cleaned_up()
        self.assertEqual(["generalbootstrapstart", "generalsetupm.exe"] + NORMAL_XP, self.server.event_names())

    def test_cancel_on_license_then_restart_resumes_at_downloads(self):
        h.set_windows_version("winxp")
        h.plant_dotnet(False)
        proc = self.start()
        self.wait_page("license", 30)
        self.assertTrue(self.driver.click(ID_CHECKBOX))
        self.assertTrue(self.driver.click(ID_CANCEL, post=True))
        self.assertEqual(0, proc.wait(timeout=30))
        proc = self.start()
        self.wait_page("downloading", 30)
        # The checks never ran before the cancel: the resumed run makes them
        # and the self-installation, so the missing .NET is fetched. The page
        # shows before the probe has answered: the reports come later.
        self.assertTrue(h.wait_for_event(self.server, "generalsetupm.exe"))
        self.assertEqual(["generalbootstrapstart", "generaluserclickedcancel", "generalbootstrapstart",
                          "generaldotnetfxexe", "generalsetupm.exe"], self.server.event_names()[:5])
        self.assertTrue(h.wait_for(lambda: h.reg_query(h.STATE_KEY).get("NumItems"), timeout=30))
        state = h.reg_query(h.STATE_KEY)
        self.assertEqual(0x002, state["SystemType"] & 0x1C2)
        self.assertTrue(h.unix_path(state["UninstallExecutable"]).exists())
        self.assertTrue(any("dotnetfx.exe" in state[f"ItemURL{i}"] for i in range(state["NumItems"])))
        h.close_installer(proc)

    def test_kill_soak_short(self):
        """tools/kill-soak with two kills: killed twice during the downloads,
        resumed by the Resume shortcut, completed with identical files."""
        loader = importlib.machinery.SourceFileLoader("kill_soak", str(h.SOURCE / "tools" / "kill-soak"))
        soak = importlib.util.module_from_spec(importlib.util.spec_from_loader("kill_soak", loader))
        loader.exec_module(soak)
        self.server.stop()  # the soak runs its own, paced
        # Paced at 4 MiB/s the downloads take about 5 s: room for two kills
        # at random moments, with no wait beyond it.
        figures = soak.soak(kills=2, seed=7, rate=4 << 20, log=lambda line: print(line, file=sys.stderr))
        self.assertEqual(2, figures["kills"])
        self.assertEqual(3, figures["starts"])


class FaultE2E(InstallationRun):
    """What a failing server and a refused program look like to a visitor,
    and the run that completes the installation afterwards. The faults one
    by one, each through the download worker and the next run, are the
    download unit tests'; a site that never answers the probe stops stage 2
    before anything is installed (the report unit tests)."""
    TIMEOUT = 240

    def test_server_fault_ends_on_the_error_page_and_the_installed_copy_completes(self):
        """The install server cuts the set-up program short during a fresh
        installation: the error page with the named error, never the
        installation stage, only the file's own bytes kept; then, the fault
        gone, the installed copy resumes and completes with files identical
        to the server's."""
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        full = {p.name: p.read_bytes() for p in h.components_dir().iterdir()}
        self.server.control("fault=short-body@setupm.exe")
        proc = self.start()
        self.accept_license()
        self.wait_page("error", 90)
        events = h.log_events(h.run_log())
        self.assertEqual("networkThreadControl,NetworkError", events[-1])
        self.assertEqual("networkThreadControl,NetworkError", self.server.event_names()[-1])
        self.assertNotIn("generalbootstrapcomplete", events)
        self.assertFalse((h.working_folder() / "installhelperlog.txt").exists(), "the helper ran")
        data = (h.working_folder() / "setupm.exe").read_bytes()
        self.assertTrue(0 < len(data) < len(full["setupm.exe"]))
        self.assertTrue(full["setupm.exe"][:len(data)] == data, "bytes that are not the file's")
        self.assertEqual(0, h.close_installer(proc))

        self.server.control("reset=1")
        proc = self.start(exe=h.unix_path(h.INSTALLED_COPY))
        self.wait_page("complete", 120)
        for name in ("installhelper.exe", "setupm.exe"):
            self.assertTrue((h.working_folder() / name).read_bytes() == full[name], name)
        self.finish(proc)
        self.assert_cleaned_up()

    def test_refused_program_never_runs_and_the_next_run_fetches_it_afresh(self):
        """The install helper served with one byte other than the release
        lists (its header checksum made right again, as an attacker would):
        the error page, the refusal reported, the helper never started, the
        file gone; then the good file is served and the resumed run fetches
        it afresh and completes. (Each kind of refusal, file by file, is the
        download unit tests'.)"""
        served = self.work / "served"
        shutil.copytree(h.components_dir(), served)
        h.alter_program(served / "installhelper.exe")
        self.server.stop()
        self.server = h.EndpointServer(served, self.work)
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        proc = self.start()
        self.accept_license()
        self.wait_page("error", 120)
        self.assertEqual("networkThreadControl,NotAsReleased", h.log_events(h.run_log())[-1])
        self.assertEqual("networkThreadControl,NotAsReleased", self.server.event_names()[-1])
        refused = [v for n, v in h.run_log() if n == "Refused"]
        self.assertEqual(1, len(refused), refused)
        self.assertIn("installhelper.exe: SHA-256 ", refused[0])
        self.assertFalse((h.working_folder() / "installhelper.exe").exists(), "the refused file stayed")
        self.assertFalse((h.working_folder() / "installhelperlog.txt").exists(), "the helper ran")
        self.assertEqual(0, h.close_installer(proc))

        # The good file again: the refused one is fetched afresh, the rest reused.
        shutil.copyfile(h.components_dir() / "installhelper.exe", served / "installhelper.exe")
        before = len(self.server.requests())
        proc = self.start(exe=h.unix_path(h.INSTALLED_COPY))
        self.wait_page("complete", 120)
        fetched = {r["path"].rsplit("/", 1)[-1] for r in self.server.requests()[before:] if r["range"]}
        self.assertEqual({"installhelper.exe"}, fetched)
        self.finish(proc)
        self.assert_main_app_started()

    def test_a_release_that_cannot_be_trusted_runs_nothing_and_keeps_every_byte(self):
        """On Windows 10 as Wine reports it: release.txt with one digit of a
        digest changed, signed by a key the build does not trust, below the
        build's lowest serial... (the build's minimum is 1: a serial the
        user's record has seen above it stands for it), and missing; then a
        component served longer than listed. Each stops on the error page
        with the refusal reported and logged and the helper never started;
        then the good release completes the installation in a next run."""
        served = self.work / "served"
        shutil.copytree(h.components_dir(), served)
        good = (served / "release.txt").read_bytes()
        self.server.stop()
        self.server = h.EndpointServer(served, self.work)
        h.set_windows_version("win10")
        h.plant_dotnet(True)
        digest_at = good.index(b" ", good.index(b"file installhelper.exe ") + 23) + 1
        altered = good[:digest_at] + (b"0" if good[digest_at:digest_at + 1] != b"0" else b"1") + good[digest_at + 1:]
        cases = [
            ("a digest altered", lambda: (served / "release.txt").write_bytes(altered), "BadRelease",
             "signature by no built-in key"),
            ("a foreign key", lambda: h.write_release(served, key="foreign"), "BadRelease",
             "signature by no built-in key"),
            ("older than one seen", lambda: (h.write_release(served, serial=99),
                                             h.set_profile_value("ReleaseSerial", 100)), "BadRelease",
             "serial 99 below 100"),
            ("missing", lambda: (served / "release.txt").unlink(), "BadRelease", "release.txt: HTTP 404"),
            ("served longer", lambda: (shutil.copyfile(h.components_dir() / "release.txt", served / "release.txt"),
                                       (served / "installhelper.exe").write_bytes(
                                           (h.components_dir() / "installhelper.exe").read_bytes() + b"\0" * 8)),
             "NotAsReleased", "served with"),
        ]
        first = True
        for why, make, error, words in cases:
            with self.subTest(why):
                make()
                # Windows 10 makes no installed copy: the same program resumes.
                proc = self.start()
                if first:
                    self.accept_license()
                    first = False
                self.wait_page("error", 120)
                self.assertEqual("networkThreadControl," + error, h.log_events(h.run_log())[-1])
                self.assertEqual("networkThreadControl," + error, self.server.event_names()[-1])
                refused = [v for n, v in h.run_log() if n == "Refused"]
                self.assertIn(words, refused[-1])
                self.assertFalse((h.working_folder() / "installhelperlog.txt").exists(), "the helper ran")
                self.assertEqual(0, h.close_installer(proc))
        shutil.copyfile(h.components_dir() / "installhelper.exe", served / "installhelper.exe")
        proc = self.start()
        self.wait_page("notice", 120)
        self.assertTrue(self.driver.click(ID_NEXT))
        self.wait_page("complete", 120)
        self.finish(proc)
        self.assert_main_app_started()


class HelperMarkersE2E(InstallationRun):
    """The install helper's marker files as the window follows them. How
    long each wait lasts, what a missing marker ends in and that success
    wins over a failure marker are the install unit tests'; a product that
    cannot be started at Finish, the completion unit tests'."""
    TIMEOUT = 180

    def run_to_installing(self, **env):
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        proc = self.start(**env)
        self.accept_license()
        self.wait_page("installing", 120)
        return proc

    def test_setup_failure_marker_then_a_retry_completes(self):
        proc = self.run_to_installing(ZEMBRIO_HELPER_MODE="fail")
        self.wait_page("error", 30)
        self.driver.screenshot(h.screenshots_dir() / "install-error-setupexefailed.png")
        failed = ["generalbootstrapstart", "generalsetupm.exe", "generalsetupexefailed"]
        self.assertEqual(failed, self.server.event_names())
        self.finish(proc)
        self.assertNotIn("generalbootstrapcomplete", self.server.event_names())
        self.assertEqual(0, h.reg_query(h.STATE_KEY).get("Completed", 0))

        # The failed attempt's markers are still there when the user tries
        # again; the helper leaves them alone, so only the installer's own
        # clearing keeps them from failing the retry. The set-up takes a few
        # seconds, as a real one does, in which an old marker would be seen.
        left = {p.name for p in h.working_folder().iterdir()}
        self.assertLessEqual({"setupinstallstart", "setupinstallfailed"}, left)
        proc = self.start(ZEMBRIO_SETUP_SECONDS="3")
        self.wait_page("complete", 120)
        self.finish(proc)
        self.assert_main_app_started()
        self.assertEqual(failed + ["generaluserclickedcancel"] + NORMAL_XP, self.server.event_names())

    def test_cancel_during_the_marker_wait(self):
        proc = self.run_to_installing(ZEMBRIO_HELPER_MODE="stall", ZEMBRIO_HELPER_STALL_SECONDS="60")
        # The set-up's start marker is there; the wait for its result runs.
        self.assertTrue(h.wait_for((h.working_folder() / "setupinstallstart").exists, timeout=30))
        # What was verified cannot be changed while the installation runs.
        for name in ("installhelper.exe", "setupm.exe"):
            path = h.windows_path(h.working_folder() / name)
            before = (h.working_folder() / name).read_bytes()
            for command in (f'echo x>>"{path}"', f'del "{path}"', f'move "{path}" "{path}.old"'):
                h.wine("cmd", "/c", command)
                self.assertEqual(before, (h.working_folder() / name).read_bytes(), command)
            self.assertEqual(32, self.driver.open_for_writing(path), name)   # ERROR_SHARING_VIOLATION
        began = time.time()
        # The end of the Windows session: the wait for the marker ends at once.
        self.assertEqual(1, self.driver.message("WM_QUERYENDSESSION", 0, 0))
        self.assertEqual(0, proc.wait(timeout=30))
        self.assertLess(time.time() - began, 5)
        # The run ends without a failure report.
        self.assertEqual(["generalbootstrapstart", "generalsetupm.exe", "generalwindowsexiting"],
                         h.wait_for_event(self.server, "generalwindowsexiting") and self.server.event_names())
        self.assertEqual(0, h.reg_query(h.STATE_KEY).get("Completed", 0))


if __name__ == "__main__":
    unittest.main(verbosity=2)
