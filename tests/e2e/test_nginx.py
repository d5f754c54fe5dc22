"""End-to-end: one whole fresh installation by the real installer from nginx
running the production snippet (deploy/nginx/zembrio.conf) inside Debian's
nginx.conf on the compiled-in port, then the download log and the funnel
report of what its logger wrote."""
import csv
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402
from test_installation import NORMAL_XP, InstallationRun  # noqa: E402


class NginxInstallation(InstallationRun):
    def make_server(self):
        return h.NginxServer(h.components_dir(), self.work)

    def test_fresh_xp_installation_and_its_funnel(self):
        h.set_windows_version("winxp")
        h.plant_dotnet(True)
        self.full_run(NORMAL_XP)
        self.assert_cleaned_up()
        users = {e["userUID"] for e in self.server.events()}
        self.assertEqual(1, len(users))
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
