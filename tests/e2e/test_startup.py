"""Start-up of the real installer under Wine against the local endpoint
server: fresh start with its run log and saved record, the single instance,
the agent string per Windows version, -error, -staging, an unwritable log.

    ZEMBRIO_BUILD_DIR=build /usr/bin/python3 tests/e2e/test_startup.py   (after . tools/wine-env build)
"""
import os
import re
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402

FOLDER_NAMES = ["Common Files", "Windows System", "Desktop", "Program Files", "Start Menu", "Startup",
                "Windows", "Application Data"]
AGENT = "Zembrio Installer v.1.8.204 3/1/07"


class StartupTest(h.InstallerScenario):
    TIMEOUT = 240

    def tearDown(self):
        # Closed, not killed: what a run saves at its exit is part of it.
        for p in self.procs:
            if p.poll() is None:
                h.close_installer(p, timeout=15)

    def start(self, *args, server=None):
        """Starts the installer and waits until start-up has reported."""
        server = server or self.server
        starts = lambda: server.event_names().count("generalbootstrapstart")
        before = starts()
        p = self.launch(*args)
        self.assertTrue(h.wait_for(lambda: starts() > before, timeout=30), "no start report")
        return p

    def test_fresh_start_logs_its_facts_and_saves_the_start_group(self):
        p = self.start()
        self.assertIsNone(p.poll(), "the window should stay open")
        self.assertEqual(0, h.close_installer(p))

        # Closed on the license page: the close box's cancel report.
        events = self.server.events()
        self.assertEqual(["generalbootstrapstart", "generaluserclickedcancel"], [e["event"] for e in events])
        user_id = events[0]["userUID"]
        self.assertRegex(user_id, r"^\d{11,13}$")
        self.assertAlmostEqual(time.time(), int(user_id[:10]), delta=120)
        self.assertEqual("zembrioinstaller", events[0]["source"])

        state = h.reg_query(h.STATE_KEY)
        temp_path = state["TempPath"]
        self.assertTrue(temp_path.endswith("\\Temp\\Zembrio"), temp_path)
        self.assertEqual({"Version": "2.0.320.0", "SystemType": 0, "UIFlag": 0, "UserId": user_id, "Completed": 0,
                          "NumItems": 0, "TempPath": temp_path},
                         {k: state.get(k) for k in ("Version", "SystemType", "UIFlag", "UserId", "Completed",
                                                    "NumItems", "TempPath")})
        self.assertEqual(h.working_folder(), h.unix_path(temp_path))

        log = h.run_log()
        names = [n for n, _ in log]
        # The start's report, then the close box's.
        self.assertEqual(["Time", "Temp Folder", "This EXE Path", "shfolder.dll", *FOLDER_NAMES, "UserId", "Event",
                          "Event"], names)
        values = dict(log)
        self.assertTrue(values["Time"])
        self.assertEqual(temp_path, values["Temp Folder"])
        self.assertEqual(h.installer_exe().resolve(), h.unix_path(values["This EXE Path"]).resolve())
        self.assertEqual(temp_path + "\\shfolder.dll", values["shfolder.dll"])
        self.assertTrue((h.working_folder() / "shfolder.dll").exists())
        for name in FOLDER_NAMES:
            self.assertRegex(values[name], r"^[A-Za-z]:\\", name)
        self.assertEqual("C:\\windows\\system32", values["Windows System"].replace("C:\\Windows", "C:\\windows"))
        self.assertEqual(user_id, values["UserId"])
        self.assertEqual(["general,bootstrapstart", "general,userclickedcancel"], [v for n, v in log if n == "Event"])
        self.assertEqual([e["event"] for e in events], h.log_events(log))

        # A second fresh start (the license was never accepted) keeps the
        # first run's lines and appends its own.
        p = self.start()
        h.close_installer(p)
        second = h.run_log()
        self.assertEqual(log, second[:len(log)])
        self.assertEqual(["Time", "Temp Folder"], [n for n, _ in second[len(log):len(log) + 2]])

    def test_second_instance_ends_at_once_silently_and_leaves_the_record(self):
        first = self.start()
        # Values the first run is responsible for; the second must not touch them.
        h.reg_set(h.STATE_KEY, "UninstallExecutable", r"C:\Program Files\Zembrio\ZembrioInstaller.exe")
        h.reg_set(h.STATE_KEY, "NumItems", 1)
        h.reg_set(h.STATE_KEY, "ItemURL0", "http://127.0.0.1/install/setup.exe")
        before = h.reg_query(h.STATE_KEY)
        log_before = h.run_log()

        started = time.time()
        second = h.start_installer()
        self.assertEqual(0, second.wait(timeout=20))
        self.assertLess(time.time() - started, 15)
        # A report goes out before its sender goes on: any of the second's
        # would be in the logger's file by the time it has ended.
        self.assertEqual(["generalbootstrapstart"], self.server.event_names())
        self.assertEqual(before, h.reg_query(h.STATE_KEY))
        self.assertEqual(log_before, h.run_log())
        self.assertIsNone(first.poll(), "the first instance must keep running")
        h.close_installer(first)

    def test_agent_string_names_the_windows_version(self):
        cases = {
            "winxp": r"5\.1\.2600 \(Service Pack \d\)",
            "vista": r"6\.0\.\d+ \((Service Pack \d)?\)",
            # Windows 9x: only the low 16 bits of the build number.
            "win98": r"4\.10\.(\d{1,5}) \(.*\)",
        }
        for version, pattern in cases.items():
            with self.subTest(version=version):
                h.set_windows_version(version)
                h.reg_delete(h.STATE_KEY)
                before = len(self.server.events())
                p = self.start()
                event = self.server.events()[before]
                m = re.fullmatch(re.escape(AGENT + ", Windows ") + pattern, event["agent"])
                self.assertTrue(m, event["agent"])
                if version == "win98":
                    self.assertLess(int(m.group(1)), 65536)
                h.close_installer(p)

    def test_error_switch_reports_start_then_the_simulated_error(self):
        p = self.start("-ERROR")
        events = h.wait_for(lambda: len(self.server.events()) >= 2 and self.server.events(), timeout=15)
        self.assertEqual(["generalbootstrapstart", "simulatedshowerrordialogfortesting"],
                         [e["event"] for e in events])
        self.assertIsNone(p.poll(), "the error page stays open")
        log = h.run_log()
        self.assertEqual([("Event", "general,bootstrapstart"), ("Error", "simulated,showerrordialogfortesting")],
                         log[-2:])
        self.assertEqual([e["event"] for e in events], h.log_events(log))
        h.close_installer(p)

    def test_staging_switch_reports_to_the_staging_logger(self):
        staging_dir = h.scratch_dir("staging-server")
        with h.EndpointServer(h.components_dir(), staging_dir, port=h.PORT + 1) as staging:
            p = self.start("-staging", server=staging)
            self.assertEqual(["generalbootstrapstart"], staging.event_names())
            h.close_installer(p)
        self.assertEqual([], self.server.requests())

        # With nobody on the staging port the reports are lost, never sent
        # to the production logger, and start-up still completes.
        h.reg_delete(h.STATE_KEY)
        p = h.start_installer("-staging")
        self.procs.append(p)
        self.assertTrue(h.wait_for(lambda: ("Event", "general,bootstrapstart") in h.run_log(), timeout=30))
        self.assertIsNone(p.poll())
        h.close_installer(p)
        self.assertEqual([], self.server.requests())

    def test_without_wininet_the_network_steps_fail_named(self):
        # A system without WinINet (Wine told to refuse it; a missing
        # version.dll cannot be had so, as Wine's own user32 needs it): no
        # crash; start-up goes on, the probe finds no network and says so on
        # the error page, and nothing reaches the server.
        refused = {"WINEDLLOVERRIDES": os.environ.get("WINEDLLOVERRIDES", "") + ";wininet=d"}
        p = h.start_installer(env=refused)
        self.procs.append(p)
        driver = h.Driver()
        self.assertTrue(driver.wait_window(30), "the installer's window did not appear")
        self.assertTrue(h.wait_for(lambda: "This EXE Path" in dict(h.run_log()), timeout=30), "no run log")
        self.assertTrue(h.wait_for(lambda: driver.click(h.ID_CHECKBOX), timeout=30))
        self.assertTrue(driver.click(h.ID_NEXT))
        self.assertTrue(h.wait_for(lambda: ("Error", "network,nonetworkavailable") in h.run_log(), timeout=60),
                        h.run_log())
        self.assertIsNone(p.poll(), "the error page should stay open")
        self.assertEqual([], self.server.requests())

    def test_unwritable_run_log_leaves_everything_else_working(self):
        folder = h.working_folder()
        folder.mkdir(parents=True, exist_ok=True)
        log = folder / "log.txt"
        log.write_bytes(b"Time=earlier\r\n")
        if subprocess.run(["chattr", "+i", str(log)], capture_output=True).returncode != 0:
            self.skipTest("chattr +i not available here")
        try:
            p = self.start()
            h.close_installer(p)
            self.assertEqual(b"Time=earlier\r\n", log.read_bytes())
            self.assertEqual(["generalbootstrapstart", "generaluserclickedcancel"], self.server.event_names())
            self.assertTrue((folder / "shfolder.dll").exists())
            self.assertEqual("2.0.320.0", h.reg_query(h.STATE_KEY)["Version"])
        finally:
            subprocess.run(["chattr", "-i", str(log)], capture_output=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
