"""End-to-end: one whole fresh installation by the real installer from nginx
running the production configuration (deploy/nginx/nginx.conf) on the
compiled-in port, then the funnel report of what its logger wrote."""
import csv
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness as h  # noqa: E402
from test_installation import NORMAL_XP, InstallationRun  # noqa: E402


class NginxInstallation(InstallationRun):
    TIMEOUT = 120

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
