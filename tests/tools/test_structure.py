"""The folders' arrows: each product folder includes only the folders below
it, and none reaches up into the application (app/ headers, GetInstallerApp,
the application's MainFrame()). A new upward include or call fails here, and
so does a file that no longer needs its place on the list of those still
waiting to be handed what they use."""
import os
import re
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get("ZEMBRIO_SOURCE_DIR", Path(__file__).resolve().parents[2]))

# What each folder may include besides itself; app/ may include anything.
BELOW = {
    "framework": set(),
    "report": {"framework"},
    "identity": {"framework"},
    "ui": {"framework"},
    "download": {"framework", "report"},
    "system": {"framework", "report"},
    "install": {"framework", "report", "download", "system"},
}

# Still reaching up, each until it is handed what it uses.
WAITING = set()

INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/[^"]+"', re.M)
REACH_UP = re.compile(r'#\s*include\s+"app/|\bGetInstallerApp\s*\(|\bMainFrame\s*\(\)')


def sources(folder):
    return sorted(p for p in (SOURCE / folder).iterdir() if p.suffix in (".cpp", ".h", ".c"))


# A room's tests build without the application: none includes an app/ header
# but the resource numbers, and tests/CMakeLists.txt links them so.
TEST_REACH_UP = re.compile(r'#\s*include\s+"(?:support/AppFixture\.h|app/(?!Resource\.h")[^"]+)"|\bGetInstallerApp\s*\(')
ROOM_ONLY = re.compile(r"set\(ROOM_ONLY_AREAS ([a-z ]+)\)")


def room_test_faults(tests=SOURCE / "tests"):
    found = []
    linked = set(ROOM_ONLY.search((tests / "CMakeLists.txt").read_text()).group(1).split())
    for folder in sorted(set(BELOW) - linked):
        found.append(f"tests/{folder}/ is linked with the application: add it to ROOM_ONLY_AREAS")
    for folder in sorted(BELOW):
        for path in sources(tests.relative_to(SOURCE) / folder):
            if TEST_REACH_UP.search(path.read_text(errors="replace")):
                found.append(f"tests/{folder}/{path.name} reaches up into the application: test the room as it is handed what it uses")
    return found


def faults(below=BELOW, waiting=WAITING):
    found = []
    reaching = set()
    for folder, allowed in below.items():
        for path in sources(folder):
            name = f"{folder}/{path.name}"
            text = path.read_text(errors="replace")
            if REACH_UP.search(text):
                reaching.add(name)
            for target in INCLUDE.findall(text):
                if target not in allowed | {folder} and not (target == "app" and name in waiting):
                    found.append(f"{name} includes {target}/, which is not below {folder}/")
    for name in sorted(reaching - waiting):
        found.append(f"{name} reaches up into the application: hand it what it uses instead")
    for name in sorted(waiting - reaching):
        found.append(f"{name} no longer reaches up: take it off the waiting list")
    return found


class Structure(unittest.TestCase):
    def test_every_arrow_points_down(self):
        self.assertEqual([], faults())

    def test_the_rooms_tests_build_without_the_application(self):
        self.assertEqual([], room_test_faults())
        self.assertTrue(TEST_REACH_UP.search('#include "support/AppFixture.h"'))
        self.assertTrue(TEST_REACH_UP.search('#include "app/Rooms.h"'))
        self.assertFalse(TEST_REACH_UP.search('#include "app/Resource.h"'))

    def test_the_check_sees_an_upward_include_and_call(self):
        # The check itself, on the tree as it is: a folder told it may
        # include less, or a list that forgets a file, fails.
        narrower = dict(BELOW, install={"framework"})
        self.assertTrue(any("install/InstallTasks.cpp includes download/" in f for f in faults(narrower)))
        self.assertTrue(any("system/SystemType.h no longer reaches up" in f
                            for f in faults(waiting=WAITING | {"system/SystemType.h"})))
        self.assertTrue(REACH_UP.search("    CInstallerApp* app = GetInstallerApp();"))
        self.assertTrue(REACH_UP.search('#include "app/MainFrame.h"'))
        self.assertTrue(REACH_UP.search("    MainFrame()->ReportError(1, \"x\");"))
        self.assertFalse(REACH_UP.search("    CMainFrame::CMainFrame() = default;"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
