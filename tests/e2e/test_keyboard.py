"""End-to-end: the whole installation by keys alone, posted to whatever
control the installer has focused, as a visitor without a mouse gives them:
Tab through the license page, Space on the box and on a button, Enter for
each page's main button, Esc for Cancel."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402
from harness import ID_CANCEL, ID_CHECKBOX, ID_FINISH, ID_GOODIES_LINK, ID_HIDE, ID_LICENSE, ID_NEXT  # noqa: E402
from test_installation import NORMAL_XP, InstallationRun  # noqa: E402


class KeyboardInstallation(InstallationRun):
    TIMEOUT = 240

    def wait_focus(self, ident, timeout=10):
        if not h.wait_for(lambda: h.focused(self.driver) == ident, timeout=timeout):
            self.assertEqual(ident, h.focused(self.driver))

    def test_whole_installation_by_keys_on_windows_7(self):
        # Windows 7 shows the notice page before the installation step: its
        # Next, like Finish, is pressed with Enter.
        h.set_windows_version("win7")
        h.plant_dotnet(True)
        proc = self.start()
        self.wait_page("license", 30)
        # The page's first control has the focus; Tab leaves the license
        # text for the box, Space ticks it, Enter is Next.
        self.wait_focus(ID_LICENSE)
        self.assertEqual(ID_LICENSE, h.press_key(self.driver, "tab"))
        self.wait_focus(ID_CHECKBOX)
        self.driver.screenshot(h.screenshots_dir() / "keyboard-1-box-focused.png")
        h.press_key(self.driver, "space")
        self.assertTrue(h.wait_for(lambda: self.driver.control(ID_CHECKBOX)["check"] == 1, timeout=10))
        self.assertTrue(h.wait_for(lambda: self.driver.control(ID_NEXT)["enabled"], timeout=10))
        # Tab goes on to Next and Cancel, then round to the license text.
        for ident in (ID_NEXT, ID_CANCEL, ID_LICENSE, ID_CHECKBOX):
            h.press_key(self.driver, "tab")
            self.wait_focus(ident)
        self.driver.screenshot(h.screenshots_dir() / "keyboard-2-box-ticked.png")
        h.press_key(self.driver, "enter")
        self.wait_page("downloading", 30)
        # The download page's first control: Hide (Finish is off).
        self.wait_focus(ID_HIDE)
        h.press_key(self.driver, "tab")
        self.wait_focus(ID_CANCEL)
        h.press_key(self.driver, "tab")
        self.wait_focus(ID_GOODIES_LINK)
        self.wait_page("notice", 120)
        self.wait_focus(ID_NEXT)
        h.press_key(self.driver, "enter")
        self.wait_page("complete", 120)
        self.wait_focus(ID_FINISH)
        self.driver.screenshot(h.screenshots_dir() / "keyboard-3-complete.png")
        h.press_key(self.driver, "enter")
        self.assertEqual(0, proc.wait(timeout=60))
        self.assert_main_app_started()
        self.assertEqual(NORMAL_XP, self.server.event_names())

    def test_escape_on_the_download_page_cancels(self):
        proc = self.paced_xp_run(1000000)
        self.wait_page("license", 30)
        self.wait_focus(ID_LICENSE)
        # Esc on the license page is Cancel there too; here only Enter with
        # the box unticked is tried: Next is off, nothing happens.
        h.press_key(self.driver, "enter")
        h.press_key(self.driver, "tab")
        self.wait_focus(ID_CHECKBOX)
        self.assertEqual("license", self.page())
        h.press_key(self.driver, "space")
        self.assertTrue(h.wait_for(lambda: self.driver.control(ID_NEXT)["enabled"], timeout=10))
        h.press_key(self.driver, "enter")
        self.wait_page("downloading", 30)
        self.wait_partial(1000000)
        self.wait_focus(ID_HIDE)
        self.driver.screenshot(h.screenshots_dir() / "keyboard-4-hide-focused.png")
        # Space presses the focused button: Hide puts the window away.
        h.press_key(self.driver, "space")
        self.assertTrue(h.wait_for(lambda: self.driver.caption()["minimized"], timeout=10))
        self.assertFalse(self.driver.restore()["minimized"])
        h.press_key(self.driver, "esc")
        self.assertEqual(0, proc.wait(timeout=30))
        self.assertTrue(h.wait_for(lambda: "generaluserclickedcancel" in self.server.event_names(), timeout=10))
        self.assertEqual(["generalbootstrapstart", "generalsetupm.exe", "generaluserclickedcancel"],
                         self.server.event_names())


if __name__ == "__main__":
    unittest.main(verbosity=2)
