"""The installer's window as a user meets it: the controls of each stage as
the window driver reads them, the buttons pressed through it, the end of the
Windows session, and a screenshot of every page reached."""
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402
from harness import (ID_CANCEL, ID_CHECKBOX, ID_FINISH, ID_HIDE, ID_LINK, ID_GOODIES_LINK,  # noqa: E402
                     ID_NEXT)

NAMES = {32771: "hide", 32781: "finish", 32772: "cancel", 32773: "minimize", 32774: "close",
         32775: "progress", 32778: "progresstext", 32782: "license", 32783: "agree", 32784: "help",
         32785: "goodies", 32786: "errortext", 32787: "retry"}


def name_of(control):
    if control["id"] == ID_NEXT:
        # Next and Continue share the command; Continue is the wide one.
        width = control["rect"][2] - control["rect"][0]
        return "continue" if width == 195 else "next"
    return NAMES.get(control["id"], str(control["id"]))


def table(controls):
    """{name: (visible, enabled)} of every control."""
    return {name_of(c): (c["visible"], c["enabled"]) for c in controls}


ON, OFF, HIDDEN = (True, True), (True, False), (False, True)
HIDDEN_OFF = (False, False)

LICENSE_PAGE = {"hide": HIDDEN, "finish": HIDDEN, "next": OFF, "continue": HIDDEN_OFF, "cancel": ON,
                "minimize": ON, "close": ON, "progress": HIDDEN, "progresstext": HIDDEN, "license": ON,
                "agree": ON, "help": HIDDEN, "goodies": HIDDEN, "errortext": HIDDEN, "retry": HIDDEN}


class WindowTest(harness.InstallerScenario):
    TIMEOUT = 180

    def setUp(self):
        super().setUp()
        self.shots = harness.screenshots_dir()

    def start(self, *args, env=None):
        p = self.launch(*args, env=env)
        self.assertTrue(self.driver.wait_window(30), "the installer's window did not appear")
        return p

    def wait_stage(self, expected, timeout=20):
        """Polls the driver until the controls show the expected table."""
        seen = harness.wait_for(lambda: (lambda t: t if all(t.get(k) == v for k, v in expected.items())
                                         else None)(table(self.driver.controls())), timeout=timeout)
        if not seen:
            self.assertEqual(expected, {k: v for k, v in table(self.driver.controls()).items() if k in expected})
        return seen

    def wait_event(self, name, timeout=20):
        return harness.wait_for(lambda: name in self.server.event_names(), timeout=timeout)

    def test_license_page_box_and_cancel(self):
        p = self.start()
        controls = self.driver.controls()
        self.assertEqual(LICENSE_PAGE, table(controls))
        self.assertEqual(0, self.driver.control(ID_CHECKBOX, controls)["check"])
        self.assertTrue(self.driver.control(32782, controls)["text"].startswith("Zembrio End-User License"))
        self.assertEqual("Zembrio Installer", self.driver.caption()["caption"])
        self.driver.screenshot(self.shots / "stage0-license.png")
        # Next cannot be pressed before the box is ticked.
        self.assertFalse(self.driver.click(ID_NEXT))

        self.assertTrue(self.driver.click(ID_CHECKBOX))
        self.assertEqual(dict(LICENSE_PAGE, next=ON), table(self.driver.controls()))
        self.driver.screenshot(self.shots / "stage1-license-accepted.png")

        self.assertTrue(self.driver.click(ID_CHECKBOX))
        self.assertEqual(LICENSE_PAGE, table(self.driver.controls()))
        self.assertTrue(self.driver.click(ID_CHECKBOX))

        self.assertTrue(self.driver.click(ID_CANCEL, post=True))
        self.assertEqual(0, p.wait(timeout=30))
        self.assertIn("generaluserclickedcancel", self.server.event_names())
        state = harness.reg_query(harness.STATE_KEY)
        self.assertEqual(1, state.get("UIFlag"))
        self.assertEqual(str(harness.working_folder()).lower(),
                         str(harness.unix_path(state.get("TempPath", ""))).lower())

        # Resumed while the main application runs: the page that asks to
        # close it, not the downloads and not the license.
        standin = harness.start_main_app_standin(self.work, 60)
        self.procs.append(standin)
        self.assertTrue(harness.wait_for(
            lambda: any(name == "zembriomain.exe" for _, name in harness.product_processes()), timeout=20))
        p = self.start()
        self.wait_stage({"continue": ON, "license": HIDDEN_OFF, "agree": HIDDEN_OFF, "next": HIDDEN_OFF,
                         "progress": HIDDEN})
        self.assertTrue(harness.wait_for(lambda: self.server.event_names().count("generalbootstrapstart") == 2))
        self.assertEqual(["generalbootstrapstart", "generaluserclickedcancel", "generalbootstrapstart"],
                         self.server.event_names())
        self.assertTrue(self.driver.click(ID_CANCEL, post=True))
        self.assertEqual(0, p.wait(timeout=30))

    def test_error_page(self):
        p = self.start("-error")
        expected = {"license": HIDDEN_OFF, "agree": HIDDEN_OFF, "next": HIDDEN_OFF, "hide": HIDDEN,
                    "finish": ON, "cancel": OFF, "close": ON, "help": ON, "goodies": HIDDEN,
                    "progress": HIDDEN, "progresstext": HIDDEN, "errortext": ON, "retry": HIDDEN_OFF}
        self.wait_stage(expected)
        # The link reads as words; the page says what went wrong: a forced
        # test error has nothing to try again.
        self.assertEqual("Learn how to fix this problem", self.driver.control(ID_LINK)["text"])
        self.assertTrue(self.driver.control(32786)["text"].startswith("The installation stopped unexpectedly."))
        self.driver.screenshot(self.shots / "stage5-error.png")
        # The page does not wait for the report.
        self.assertTrue(self.wait_event("simulatedshowerrordialogfortesting"))
        # Finish is the way out of the error page.
        self.assertTrue(self.driver.click(ID_FINISH, post=True))
        self.assertEqual(0, p.wait(timeout=30))

    def test_main_app_running_then_downloads(self):
        standin = harness.start_main_app_standin(self.work, 60)
        self.procs.append(standin)
        self.assertTrue(harness.wait_for(
            lambda: any(name == "zembriomain.exe" for _, name in harness.product_processes()), timeout=20))
        p = self.start()
        self.assertTrue(self.driver.click(ID_CHECKBOX))
        self.assertTrue(self.driver.click(ID_NEXT))
        close_app = {"license": HIDDEN_OFF, "agree": HIDDEN_OFF, "next": HIDDEN_OFF, "continue": ON,
                     "hide": HIDDEN, "finish": (False, False), "goodies": HIDDEN, "cancel": ON}
        self.wait_stage(close_app)
        self.driver.screenshot(self.shots / "stage6-close-main-app.png")
        # Continue while the application still runs: the same page again.
        for _ in range(2):
            self.assertTrue(self.driver.click(ID_NEXT))
            self.wait_stage(close_app)

        harness.kill_outside_programs()
        standin.wait(timeout=30)
        # The server stops sending in the middle of the set-up program.
        self.server.control("fault=stall=3000000@setup.exe&fault=stall=3000000@setupm.exe")
        self.assertTrue(self.driver.click(ID_NEXT))
        downloading = {"license": HIDDEN_OFF, "agree": HIDDEN_OFF, "next": HIDDEN_OFF, "continue": HIDDEN,
                       "hide": ON, "finish": OFF, "cancel": ON, "goodies": ON, "progress": ON,
                       "progresstext": ON}
        self.wait_stage(downloading, timeout=60)
        self.assertEqual("Zembrio Free Goodies", self.driver.control(ID_GOODIES_LINK)["text"])
        self.driver.screenshot(self.shots / "stage2-downloading.png")

        # Hide minimizes; restoring brings the title back.
        self.assertTrue(self.driver.click(ID_HIDE))
        self.assertTrue(harness.wait_for(lambda: self.driver.caption()["minimized"], timeout=10))
        restored = self.driver.restore()
        self.assertFalse(restored["minimized"])
        self.assertEqual("Zembrio Installer", self.driver.caption()["caption"])

        # The end of the Windows session ends the installer, and soon, though
        # the download waits on a silent server; the record is saved.
        setups = [harness.working_folder() / name for name in ("setup.exe", "setupm.exe")]
        self.assertTrue(harness.wait_for(
            lambda: any(f.exists() and f.stat().st_size > 2900000 for f in setups), timeout=60))
        started = time.time()
        self.assertEqual(1, self.driver.message("WM_QUERYENDSESSION", 0, 0))
        self.assertEqual(0, p.wait(timeout=30))
        self.assertLess(time.time() - started, 5)
        self.assertTrue(self.wait_event("generalwindowsexiting"))
        state = harness.reg_query(harness.STATE_KEY)
        urls = [state.get(f"ItemURL{i}", "") for i in range(state.get("NumItems", 0))]
        self.assertTrue(any(u.endswith(("/setup.exe", "/setupm.exe")) for u in urls), state)

    def test_installing_caption_while_minimized(self):
        # The install helper starts its first task and then stalls: stage 3
        # lasts until the window is closed. Windows XP: no notice page first.
        harness.set_windows_version("winxp")
        p = self.start(env={"ZEMBRIO_HELPER_MODE": "stall", "ZEMBRIO_HELPER_STALL_SECONDS": "120"})
        self.assertTrue(self.driver.click(ID_CHECKBOX))
        self.assertTrue(self.driver.click(ID_NEXT))
        installing = {"finish": OFF, "cancel": OFF, "close": OFF, "progress": ON, "progresstext": HIDDEN,
                      "next": HIDDEN_OFF}
        self.wait_stage(installing, timeout=120)
        self.driver.screenshot(self.shots / "stage3-installing.png")
        self.driver.minimize()
        self.assertTrue(harness.wait_for(
            lambda: self.driver.caption()["caption"] == "Installing... - Zembrio Installer", timeout=5))
        self.driver.restore()
        self.assertEqual("Zembrio Installer", self.driver.caption()["caption"])
        # Alt+F4 and the system menu's Close are the disabled close box here:
        # the installation is not left half done.
        self.driver.message("WM_CLOSE")
        self.driver.message("WM_SYSCOMMAND", 0xF060)  # SC_CLOSE
        self.wait_stage(installing, timeout=2)
        self.assertIsNone(p.poll())
        self.assertEqual(1, self.driver.message("WM_QUERYENDSESSION", 0, 0))
        self.assertEqual(0, p.wait(timeout=30))

if __name__ == "__main__":
    unittest.main(verbosity=2)
