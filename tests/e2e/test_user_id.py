"""End-to-end: the user id taken from Wine's cookie store and from Firefox and
Netscape cookie files on a fresh start."""
import shutil
import unittest

import harness as h

EXPIRES = "; expires=Thu, 31-Dec-2099 23:59:59 GMT"
GONE = "x; expires=Thu, 01-Jan-1970 00:00:01 GMT"
LINE = "127.0.0.1\tFALSE\t/\tFALSE\t4102444800\tzembrio\tuserId:{}&v:1\n"


class UserIdE2E(h.InstallerScenario):
    TIMEOUT = 120

    def setUp(self):
        super().setUp()
        h.clear_ie_cookies()
        self.appdata = None

    def tearDown(self):
        # Ended before the store is written: a program killed while it reads
        # the store locks its entry for good.
        h.kill_installer()
        for name in ("a", "c"):
            h.set_ie_cookie(name, GONE)
        if self.appdata:
            shutil.rmtree(self.appdata / "Mozilla", ignore_errors=True)
            shutil.rmtree(self.appdata / "Netscape", ignore_errors=True)

    def fresh_start_id(self):
        h.reset_machine()
        proc = h.start_installer()
        log = h.wait_for(lambda: any(n == "UserId" for n, _ in h.run_log()) and h.run_log(), timeout=30)
        # The first report carries the id; it is sent by a thread of its own
        # a moment after the run log has the id: killed before, it is lost.
        uid = dict(log or [])["UserId"] if log else None
        h.wait_for(lambda: uid and any(f"userUID={uid}&" in r["path"] for r in self.server.requests()), timeout=15)
        proc.kill()
        proc.wait(timeout=10)
        h.kill_installer()
        self.assertTrue(log, "no UserId in the run log")
        if self.appdata is None:
            self.appdata = h.unix_path(dict(log)["Application Data"])
        return dict(log)["UserId"]

    def profile(self, root, ini, folder, lines):
        base = self.appdata / root
        (base / "Profiles" / folder).mkdir(parents=True, exist_ok=True)
        (base / "profiles.ini").write_text(ini)
        (base / "Profiles" / folder / "cookies.txt").write_text(lines)

    def test_cookie_sources_in_order(self):
        generated = self.fresh_start_id()
        self.assertRegex(generated, r"^\d{11,13}$")

        self.assertTrue(h.set_ie_cookie("a", "1" + EXPIRES))
        self.assertTrue(h.set_ie_cookie("c", "userId:42&s:7" + EXPIRES))
        self.assertEqual("42", self.fresh_start_id())
        self.assertIn("42", str(self.server.requests()[-1]))

        # Other letter case in the cookie store: the files are read instead.
        self.assertTrue(h.set_ie_cookie("c", "userid:42&s:7" + EXPIRES))
        self.profile("Mozilla/Firefox", "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\n"
                     "IsRelative=1\nPath=Profiles/abc.default\n", "abc.default",
                     "# cookies\n" + LINE.format(99).replace("127.0.0.1", ".127.0.0.1", 1))
        self.assertEqual("99", self.fresh_start_id())

        # More than the 1,024-byte buffer holds counts as no cookie.
        self.assertTrue(h.set_ie_cookie("c", "userId:5&" + "x" * 1100 + EXPIRES))
        self.assertEqual("99", self.fresh_start_id())

        # Without Firefox cookie files, Netscape's selected profile is read.
        shutil.rmtree(self.appdata / "Mozilla")
        self.profile("Netscape/NSB", "[General]\nSelectedProfile=Work\n\n[Profile0]\nName=work\nIsRelative=1\n"
                     "Path=nsprofile\n", "nsprofile", LINE.format(77))
        self.assertEqual("77", self.fresh_start_id())


if __name__ == "__main__":
    unittest.main()
