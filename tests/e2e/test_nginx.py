"""End-to-end: one whole fresh installation by the real installer from nginx
running the production snippet (deploy/nginx/zembrio.conf) inside Debian's
nginx.conf on the compiled-in port, for a visitor who came from the site
with its cookie, then the download log and the funnel report of what its
logger wrote."""
import csv
import re
import subprocess
import sys
import unittest
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402
from test_installation import NORMAL_XP, InstallationRun  # noqa: E402


class NginxInstallation(InstallationRun):
    TIMEOUT = 120

    def make_server(self):
        return h.NginxServer(h.components_dir(), self.work)

    def visit_site(self):
        """The home page in a browser: the site's cookie goes into Wine's
        store as the browser would keep it; returns the id it holds."""
        request = urllib.request.Request("http://127.0.0.1:%d/" % self.server.port,
                                         headers={"User-Agent": "Mozilla/4.0 (compatible; MSIE 6.0)"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            name, _, rest = answer.headers["Set-Cookie"].partition("=")
        self.assertTrue(h.set_ie_cookie(name, rest))
        self.addCleanup(h.set_ie_cookie, name, "x; expires=Thu, 01-Jan-1970 00:00:01 GMT")
        return re.match(r"userId:(\w+)&", rest).group(1)

    def test_fresh_xp_installation_and_its_funnel(self):
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        visitor = self.visit_site()
        self.full_run(NORMAL_XP)
        self.assert_cleaned_up()
        # Every report carries the id the site gave the visitor.
        self.assertEqual({visitor}, {e["userUID"] for e in self.server.events()})
        self.assertTrue(all(e["client"] == "127.0.0.1" and "Windows 5.1" in e["agent"] for e in self.server.events()))
        # Each component fetched whole from byte 0 in one range, each range
        # logged as ended with every byte sent.
        ranged = [d for d in self.server.downloads() if d["range"]]
        self.assertIn("GET /install/installhelper.exe HTTP/1.1", [d["request"] for d in ranged])
        for d in ranged:
            self.assertEqual((206, "OK", "bytes=0-%d" % (int(d["length"]) - 1)),
                             (d["status"], d["completion"], d["range"]), d)
            self.assertEqual(int(d["length"]), d["sent"], d)

        out = self.work / "funnel"
        run = subprocess.run(["/usr/bin/python3", str(h.SOURCE / "tools" / "funnel"), str(self.server.events_file),
                              "--out", str(out)], capture_output=True, text=True, timeout=120)
        self.assertEqual(0, run.returncode, run.stderr)
        with open(out / "daily.csv", newline="") as rows:
            daily = list(csv.DictReader(rows))
        self.assertEqual([("1", "1", "1", "100.0")],
                         [(d["started"], d["began downloads"], d["completed"], d["conversion %"]) for d in daily])
        with open(out / "windows.csv", newline="") as rows:
            self.assertEqual(["Windows XP"], [r["Windows"] for r in csv.DictReader(rows)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
