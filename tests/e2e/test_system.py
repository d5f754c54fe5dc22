"""End-to-end: the real installer under Wine's per-program Windows version,
through the prerequisite checks, the self-installation and its removal."""
import time
import unittest

import harness as h

NDP = r"HKLM\Software\Microsoft\NET Framework Setup\NDP\v2.0.50727"
DATAACCESS = r"HKLM\Software\Microsoft\DataAccess"
INSTALLED = r"C:\Program Files\Zembrio\ZembrioInstaller\ZembrioInstaller.exe"
LINK = "Resume Zembrio Installation.lnk"


plant_dotnet = h.plant_dotnet


def log_value(log, name):
    return next((v for n, v in log if n == name), None)


remove_links = h.remove_links


class SystemE2E(h.InstallerScenario):
    TIMEOUT = 240

    def stage2_and_close(self, version, kill=False):
        """A fresh start under a Windows version, into stage 2 (the checks and
        the self-installation), then closed so the state is saved; or, with
        kill, ended abruptly once the downloads have failed, so that only what
        stage 2 saved itself is in the record."""
        h.set_windows_version(version)
        proc = h.start_installer()
        self.assertTrue(h.post_command(32780), "no installer window")
        if kill:
            failed = lambda: any(n == "Error" and "ThreadControl" in v for n, v in h.run_log())
            self.assertTrue(h.wait_for(failed, timeout=60), h.run_log())
            h.kill_installer()
        else:
            # The probe runs beside the window: the checks and the
            # self-installation follow its answer, and the download list
            # (which reports the set-up program) follows them.
            listed = lambda: {"generalsetup.exe", "generalsetupm.exe"} & set(self.server.event_names())
            self.assertTrue(h.wait_for(listed, timeout=60), self.server.event_names())
            self.assertTrue(h.post_command(32774))
        proc.wait(timeout=60)
        return h.run_log()

    def test_windows95_and_nt4_are_refused(self):
        for version in ("win95", "nt40"):
            h.reset_machine()
            h.set_windows_version(version)
            proc = h.start_installer()
            self.assertTrue(h.post_command(32780))
            log = h.wait_for(lambda: ("Error", "unsupportedos,nt4orw95") in h.run_log() and h.run_log(), timeout=30)
            self.assertTrue(log, version)
            # Refused means refused: no copy, no shortcuts, no downloads, and
            # a record from which the next start begins afresh.
            refused = ["generalbootstrapstart", "unsupportedosnt4orw95"]
            h.wait_for(lambda: self.server.event_names()[-2:] == refused, timeout=10)
            self.assertEqual(refused, self.server.event_names()[-2:])
            self.assertEqual([], [r["path"] for r in self.server.requests() if "/install/" in r["path"]])
            self.assertFalse(h.unix_path(INSTALLED).exists())
            self.assertEqual([], h.resume_links())
            self.assertTrue(h.post_command(32774))
            proc.wait(timeout=30)
            self.assertEqual(0, (h.reg_query(h.STATE_KEY) or {}).get("UIFlag", 0), version)

    def test_families_and_self_installation(self):
        # The downloads fail at once and the run is killed: what is checked
        # below is what stage 2 itself saved, the worker never got to it.
        self.server.control("fault=no-length@installhelper.exe")
        # name: Windows version, .NET planted, expected OS/.NET bits, start-up shortcut made
        cases = [("winxp", True, 0x000, True), ("win98", True, 0x040, False), ("win2k", True, 0x080, False),
                 ("winxp", False, 0x002, False), ("vista", False, 0x100, False)]
        for version, dotnet, bits, startup in cases:
            with self.subTest(version=version, dotnet=dotnet):
                h.reset_machine()
                remove_links()
                plant_dotnet(dotnet)
                installed = h.unix_path(INSTALLED)
                if version == "winxp" and dotnet:
                    installed.parent.mkdir(parents=True, exist_ok=True)
                    installed.write_bytes(b"left by an earlier run")
                log = self.stage2_and_close(version, kill=True)
                state = h.reg_query(h.STATE_KEY) or {}
                self.assertEqual(bits, state.get("SystemType", -1) & 0x1C2)
                entry = h.reg_query(h.UNINSTALL_KEY)
                if version == "vista":
                    self.assertIsNone(entry)
                    self.assertFalse(installed.exists())
                    self.assertEqual("", state.get("UninstallExecutable", ""))
                    continue
                self.assertEqual({"DisplayName": "Zembrio Installer",
                                  "UninstallString": f'"{INSTALLED}" /uninstall'}, entry)
                self.assertEqual(h.installer_exe().read_bytes(), installed.read_bytes())
                startup_link = log_value(log, "Startup") + "\\" + LINK
                self.assertEqual(startup_link, state["UninstallStartupIcon"])
                self.assertEqual(startup, h.unix_path(startup_link).exists())
                for name in ("UninstallDesktopIcon", "UninstallStartMenuIcon"):
                    info = h.lnk_info(h.unix_path(state[name]))
                    self.assertEqual("Resume Zembrio Installation", info.get("Description"), (state[name], log))
                    self.assertEqual(INSTALLED, info.get("Local path"), info)

    def test_uninstall_with_locked_copy_then_quiet(self):
        plant_dotnet(True)
        self.stage2_and_close("winxp")
        state = h.reg_query(h.STATE_KEY)
        installed = h.unix_path(INSTALLED)
        names = ("UninstallDesktopIcon", "UninstallStartMenuIcon", "UninstallStartupIcon")
        self.assertTrue(all(state.get(n) for n in names), state)
        links = [h.unix_path(state[n]) for n in names]
        self.assertTrue(all(p.exists() for p in links))
        # The installed copy, running, holds its file.
        holder = h.start_installer(exe=installed)
        self.assertTrue(h.post_command(0), "the installed copy did not start")
        started = time.time()
        self.assertEqual(0, h.run_installer("/uninstall", exe=installed, timeout=30))
        texts = h.answer_message_box(wait=40)
        took = time.time() - started
        self.assertIsNotNone(texts, "no message box")
        self.assertIn("The Zembrio Installer was successfully uninstalled.", texts)
        self.assertGreater(took, 4.5)
        self.assertTrue(installed.exists())
        self.assertFalse(any(p.exists() for p in links))
        self.assertIsNone(h.reg_query(h.UNINSTALL_KEY))
        self.assertEqual(1, h.reg_query(h.STATE_KEY)["Completed"])
        self.assertEqual({"log.txt", "ZembrioInstaller.exe"}, {p.name for p in h.working_folder().iterdir()})
        holder.kill()
        h.kill_installer()
        # Let go of once its process has gone.
        self.assertTrue(h.wait_for(lambda: h.Driver().open_for_writing(INSTALLED) == 0, timeout=10))

        # Unlocked now: the silent mode removes it and shows nothing.
        copy = h.working_folder() / h.EXE_NAME
        self.assertEqual(0, h.run_installer("/quiet", exe=copy, timeout=30))
        self.assertFalse(installed.exists())
        self.assertFalse(installed.parent.exists())
        self.assertIsNone(h.answer_message_box(wait=1))

    def test_finish_and_uninstall_with_nothing_recorded(self):
        # On Vista nothing is removed, yet the message is shown.
        for version, completed in (("vista", 0), ("winxp", 1)):
            h.set_windows_version(version)
            h.reg_set(h.STATE_KEY, "Completed", 0)
            proc = h.start_installer("/FINISH")
            texts = h.answer_message_box(wait=30)
            self.assertIn("The Zembrio Installer was successfully uninstalled.", texts or "")
            self.assertEqual(0, proc.wait(timeout=30))
            self.assertEqual(completed, h.reg_query(h.STATE_KEY)["Completed"], version)

        # The uninstall entry is machine-wide, the record per user: another
        # user finds none. Then a record whose working folder cannot be made.
        # Either way "/uninstall" says why nothing happens.
        h.reg_set(h.UNINSTALL_KEY, "DisplayName", "Zembrio Installer")
        for temp_path, message in ((None, "set up by another user"),
                                   (r"C:\no such folder\Zembrio", "could not be uninstalled")):
            h.reg_delete(h.STATE_KEY)
            if temp_path:
                h.reg_set(h.STATE_KEY, "TempPath", temp_path)
            proc = h.start_installer("/uninstall")
            self.assertIn(message, h.answer_message_box(wait=30) or "")
            self.assertEqual(0, proc.wait(timeout=30))
            self.assertIsNotNone(h.reg_query(h.UNINSTALL_KEY))
            # It writes no record: the other user gets none, the record stays
            # as it was (the "/finish" copy alone writes it).
            self.assertEqual({"TempPath": temp_path} if temp_path else None, h.reg_query(h.STATE_KEY))


if __name__ == "__main__":
    unittest.main()
