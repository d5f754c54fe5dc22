#!/usr/bin/env python3
"""Tests of pe_pad.py and of the Windows stand-ins.

The checksum tests need only Python (pefile, from Debian's python3-pefile, is
the independent checker). The stand-in tests run the built programs under
Wine; they need:
  ZEMBRIO_BUILD_DIR  the build folder of tests/standins (or a build root that
                     holds tests/standins or standins below it)
  WINEPREFIX         the Wine prefix to install into
  ZEMBRIO_WINE       optional, the Wine loader to use (default: wine)
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
import authenticode  # noqa: E402
import harness  # noqa: E402
import pe_pad  # noqa: E402
import release  # noqa: E402

try:
    import pefile
except ImportError:  # the Wine tests do not need it
    pefile = None

MIN_SETUP_SIZE = 20971520
MIN_HELPER_SIZE = 10240
STEP_TIMEOUT = 60
SIGN = os.path.join(HERE, "..", "..", "tools", "sign")
# WinVerifyTrust's answers.
TRUSTED, NO_SIGNATURE, BAD_DIGEST = 0, 0x800B0100, 0x80096010
NDP_KEY = r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v2.0.50727"


def make_pe(size, plus=False, stored_checksum=0x12345678):
    """A small image with valid DOS, COFF and optional headers and one section."""
    e_lfanew = 0x80
    opt_size = 0xF0 if plus else 0xE0
    data = bytearray(size)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, e_lfanew)
    data[e_lfanew:e_lfanew + 4] = b"PE\0\0"
    machine = 0x8664 if plus else 0x14C
    struct.pack_into("<HHIIIHH", data, e_lfanew + 4, machine, 1, 0, 0, 0, opt_size, 0x0102)
    opt = e_lfanew + 24
    struct.pack_into("<H", data, opt, 0x20B if plus else 0x10B)
    struct.pack_into("<I", data, opt + 16, 0x1000)  # AddressOfEntryPoint
    struct.pack_into("<II", data, opt + 32, 0x1000, 0x200)  # section/file alignment
    struct.pack_into("<I", data, opt + 56, 0x2000)  # SizeOfImage
    struct.pack_into("<I", data, opt + 60, 0x200)  # SizeOfHeaders
    struct.pack_into("<I", data, opt + 64, stored_checksum)
    struct.pack_into("<H", data, opt + 68, 2)  # GUI subsystem
    struct.pack_into("<I", data, opt + (108 if plus else 92), 16)  # NumberOfRvaAndSizes
    sec = opt + opt_size
    struct.pack_into("<8sIIIIIIHHI", data, sec, b".text", 0x1000, 0x1000, 0x200, 0x200,
                     0, 0, 0, 0, 0x60000020)
    for i in range(0x200, size):  # section body and anything after it: varied bytes
        data[i] = (i * 131 + 7) & 0xFF
    return bytes(data)


def pefile_checksums(data):
    pe = pefile.PE(data=data, fast_load=True)
    try:
        return pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    finally:
        pe.close()


class ChecksumTest(unittest.TestCase):
    def setUp(self):
        if pefile is None:
            self.skipTest("python3-pefile is not installed")

    def test_checksum_matches_pefile(self):
        # Odd and even lengths, PE32 and PE32+, a stale value in the field.
        for plus in (False, True):
            for size in (0x400, 0x401, 0x403, 0x1001, 70001):
                with self.subTest(plus=plus, size=size):
                    data = make_pe(size, plus)
                    self.assertEqual(pe_pad.compute_checksum(data), pefile_checksums(data)[1])

    def test_checksum_ignores_the_field_itself(self):
        a = make_pe(0x801, stored_checksum=0)
        b = make_pe(0x801, stored_checksum=0xFFFFFFFF)
        self.assertEqual(pe_pad.compute_checksum(a), pe_pad.compute_checksum(b))

    def test_checksum_of_an_all_ones_body_folds_the_carry(self):
        data = bytearray(make_pe(0x600))
        data[0x200:] = b"\xff" * (len(data) - 0x200)
        self.assertEqual(pe_pad.compute_checksum(bytes(data)), pefile_checksums(bytes(data))[1])

    def test_padded_file_has_exact_size_and_correct_checksum(self):
        src = make_pe(0x1235)
        for size in (0x1235, 0x1236, 20000, 20001):
            with self.subTest(size=size):
                out = pe_pad.pad_bytes(src, size)
                self.assertEqual(len(out), size)
                stored, computed = pefile_checksums(out)
                self.assertEqual(stored, computed)
                self.assertEqual(stored, pe_pad.header_checksum(out))

    def test_padding_keeps_the_original_and_is_deterministic(self):
        src = make_pe(0x1003)
        a = pe_pad.pad_bytes(src, 0x3000)
        b = pe_pad.pad_bytes(src, 0x3000)
        self.assertEqual(a, b)
        field = pe_pad.checksum_offset(src)
        self.assertEqual(a[:field], src[:field])
        self.assertEqual(a[field + 4:len(src)], src[field + 4:])
        overlay = a[len(src):]
        # Position dependent: two 16-byte blocks of the overlay never repeat.
        blocks = {overlay[i:i + 16] for i in range(1, len(overlay) - 16, 16)}
        self.assertEqual(len(blocks), len(range(1, len(overlay) - 16, 16)))
        # A file padded in two steps ends up byte-identical.
        self.assertEqual(pe_pad.pad_bytes(pe_pad.pad_bytes(src, 0x2001), 0x3000)[0x2001:],
                         a[0x2001:])

    def test_broken_variants_are_broken(self):
        src = make_pe(0x1000)
        zero = pe_pad.pad_bytes(src, 0x4001, checksum="zero")
        stored, computed = pefile_checksums(zero)
        self.assertEqual(stored, 0)
        self.assertNotEqual(computed, 0)

        wrong = pe_pad.pad_bytes(src, 0x4001, checksum="wrong")
        stored, computed = pefile_checksums(wrong)
        self.assertNotEqual(stored, computed)
        self.assertEqual(computed, pe_pad.compute_checksum(wrong))
        self.assertFalse(pefile.PE(data=wrong, fast_load=True).verify_checksum())

        small = pe_pad.pad_bytes(src, MIN_HELPER_SIZE - 1)
        self.assertEqual(len(small), MIN_HELPER_SIZE - 1)
        self.assertTrue(pefile.PE(data=small, fast_load=True).verify_checksum())

    def test_refuses_what_it_cannot_pad(self):
        with self.assertRaises(pe_pad.PeError):
            pe_pad.pad_bytes(make_pe(0x800), 0x7FF)
        with self.assertRaises(pe_pad.PeError):
            pe_pad.pad_bytes(b"MZ" + b"\0" * 200, 0x1000)
        with self.assertRaises(pe_pad.PeError):
            pe_pad.pad_bytes(b"\x7fELF" + b"\0" * 200, 0x1000)

    def test_command_line(self):
        with tempfile.TemporaryDirectory() as d:
            src = os.path.join(d, "in.exe")
            with open(src, "wb") as f:
                f.write(make_pe(0x900))
            good, bad, grown = (os.path.join(d, n) for n in ("good.exe", "bad.exe", "grown.exe"))
            run = [sys.executable, os.path.join(HERE, "pe_pad.py")]
            subprocess.run(run + [src, good, "--size", "5001"], check=True, timeout=STEP_TIMEOUT,
                           stdout=subprocess.DEVNULL)
            subprocess.run(run + [src, bad, "--size", "5001", "--checksum", "wrong"], check=True,
                           timeout=STEP_TIMEOUT, stdout=subprocess.DEVNULL)
            subprocess.run(run + [good, grown, "--at-least", "100"], check=True,
                           timeout=STEP_TIMEOUT, stdout=subprocess.DEVNULL)
            self.assertEqual(os.path.getsize(good), 5001)
            self.assertEqual(os.path.getsize(grown), 5001)
            verify = lambda *p: subprocess.run(run + ["--verify", *p], timeout=STEP_TIMEOUT,
                                               stdout=subprocess.DEVNULL).returncode
            self.assertEqual(verify(good, grown), 0)
            self.assertEqual(verify(good, bad), 1)
            self.assertEqual(subprocess.run(run + [good, bad, "--size", "10"], timeout=STEP_TIMEOUT,
                                            stderr=subprocess.DEVNULL).returncode, 2)


# --- the programs under Wine -------------------------------------------------

def find_standin_dir():
    build = os.environ.get("ZEMBRIO_BUILD_DIR")
    if not build:
        return None
    for sub in ("", "tests/standins", "standins"):
        d = os.path.join(build, sub)
        if os.path.isfile(os.path.join(d, "installhelper.exe")):
            return d
    return None


def wine_skip_reason():
    wine = os.environ.get("ZEMBRIO_WINE", "wine")
    if not shutil.which(wine):
        return "Wine (%s) is not on PATH" % wine
    if not os.environ.get("WINEPREFIX"):
        return "WINEPREFIX is not set"
    if not os.environ.get("ZEMBRIO_BUILD_DIR"):
        return "ZEMBRIO_BUILD_DIR (the built stand-ins) is not set"
    if not find_standin_dir():
        return "no installhelper.exe under ZEMBRIO_BUILD_DIR"
    return None


def win_path(path):
    # Wine maps the Unix root as drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineCase(harness.Scenario):
    @classmethod
    def setUpClass(cls):
        reason = wine_skip_reason()
        if reason:
            raise unittest.SkipTest(reason)
        cls.wine = shutil.which(os.environ.get("ZEMBRIO_WINE", "wine"))
        cls.standins = find_standin_dir()
        cls.components = os.path.join(cls.standins, "components")
        cls.prefix = os.environ["WINEPREFIX"]

    def setUp(self):
        super().setUp()
        self.tmp = tempfile.mkdtemp(prefix="standins-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def run_wine(self, exe, args, env=None, timeout=STEP_TIMEOUT):
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("ZEMBRIO_")}
        full_env.setdefault("WINEDEBUG", "-all")
        full_env.update(env or {})
        # Started from another folder: the helper must find its files by itself.
        return subprocess.run([self.wine, exe] + list(args), cwd="/", env=full_env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout).returncode

    def pe_is_32bit(self, path):
        with open(path, "rb") as f:
            data = f.read(4096)
        return struct.unpack_from("<H", data, pe_pad.checksum_offset(data) - 64)[0] == 0x10B

    def program_files(self):
        # A 32-bit program in a 64-bit prefix is shown the (x86) folder.
        x86 = os.path.join(self.prefix, "drive_c", "Program Files (x86)")
        if self.pe_is_32bit(os.path.join(self.standins, "setup_standin.exe")) and os.path.isdir(x86):
            return x86
        return os.path.join(self.prefix, "drive_c", "Program Files")


class InstallHelperTest(WineCase):
    MARKERS = ("dotnetinstallstart", "dotnetinstallsucceeded", "dotnetinstallfailed",
               "setupinstallstart", "setupinstallsucceeded", "setupinstallfailed")

    def setUp(self):
        super().setUp()
        for name in ("installhelper.exe", "setup.exe", "dotnetfx.exe"):
            shutil.copy(os.path.join(self.components, name), self.tmp)
        self.main_app_dir = os.path.join(self.program_files(), "Zembrio")
        self.uninstall()
        self.addCleanup(self.uninstall)

    def uninstall(self):
        shutil.rmtree(self.main_app_dir, ignore_errors=True)
        harness.reg_delete(NDP_KEY)
        harness.reg_delete(r"HKCU\Software\Zembrio", "ZembrioAppPath")
        mscorlib = os.path.join(self.prefix, "drive_c", "windows", "Microsoft.NET", "Framework",
                                "v2.0.50727", "mscorlib.dll")
        if os.path.exists(mscorlib):
            os.remove(mscorlib)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def task_line(self, kind, program=None, arguments=None, limit=None):
        w = lambda n: win_path(self.path(n))
        if kind == "dotnet":
            fields = [program or w("dotnetfx.exe"), '/q:a /c:"install /l /q"', w("dotnetinstallstart"),
                      w("dotnetinstallsucceeded"), w("dotnetinstallfailed"), "900"]
        else:
            fields = [program or w("setup.exe"), '/s /v"/qn"', w("setupinstallstart"),
                      w("setupinstallsucceeded"), w("setupinstallfailed"), "240"]
        if arguments is not None:
            fields[1] = arguments
        if limit is not None:
            fields[5] = str(limit)
        return ",".join(fields)

    def run_helper(self, lines, env=None, timeout=STEP_TIMEOUT):
        with open(self.path("installhelpertasks.txt"), "wb") as f:
            for line in lines:
                f.write(line.encode("ascii") + b"\r\r\n")
        return self.run_wine(self.path("installhelper.exe"),
                             ["-silent", "-inputfile", "installhelpertasks.txt",
                              "-logfile", "installhelperlog.txt"], env, timeout)

    def markers(self):
        return {m for m in self.MARKERS if os.path.exists(self.path(m))}

    def log(self):
        with open(self.path("installhelperlog.txt"), "rb") as f:
            return f.read().decode("latin-1")

    def dotnet_installed(self):
        return "Install" in (harness.reg_query(NDP_KEY) or {})

    def installed_main_app(self):
        return os.path.join(self.main_app_dir, "Zembrio", "ZembrioMain.exe")

    def test_normal_run_installs_both_components_in_order(self):
        rc = self.run_helper([self.task_line("dotnet"), self.task_line("setup")])
        self.assertEqual(rc, 0, self.log())
        self.assertEqual(self.markers(), {"dotnetinstallstart", "dotnetinstallsucceeded",
                                          "setupinstallstart", "setupinstallsucceeded"})
        mtime = lambda n: os.stat(self.path(n)).st_mtime_ns
        self.assertLessEqual(mtime("dotnetinstallstart"), mtime("dotnetinstallsucceeded"))
        self.assertLessEqual(mtime("dotnetinstallsucceeded"), mtime("setupinstallstart"))
        self.assertLessEqual(mtime("setupinstallstart"), mtime("setupinstallsucceeded"))

        main_app = self.installed_main_app()
        with open(main_app, "rb") as a, open(os.path.join(self.standins, "zembriomain_standin.exe"),
                                               "rb") as b:
            self.assertEqual(a.read(), b.read())
        self.assertLessEqual(os.stat(main_app).st_mtime_ns, mtime("setupinstallsucceeded"))
        self.assertTrue(self.dotnet_installed())
        mscorlib = os.path.join(self.prefix, "drive_c", "windows", "Microsoft.NET", "Framework",
                                "v2.0.50727", "mscorlib.dll")
        if pefile is not None:
            fixed = pefile.PE(mscorlib).VS_FIXEDFILEINFO[0]
            self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS),
                             ((2 << 16) | 0, (50727 << 16) | 42))
        self.assertIn("ZembrioAppPath", harness.reg_query(r"HKCU\Software\Zembrio") or {})
        self.assertIn('"%s" /s /v"/qn"' % win_path(self.path("setup.exe")), self.log())

    def test_each_way_a_run_ends(self):
        """What the helper leaves for each ending: its exit code, the markers,
        a log line, and what got installed."""
        dotnet, setup = "dotnet", "setup"
        rows = [
            # what, tasks (kind, program, arguments), environment, exit code, markers, in the log,
            # .NET installed, main application installed
            ("missing program", [(dotnet, win_path(self.path("nothere.exe")), None), (setup, None, None)], {},
             1, {"dotnetinstallfailed"}, None, False, False),
            ("failing .NET update stops the list", [(dotnet, None, None), (setup, None, None)],
             {"ZEMBRIO_DOTNET_MODE": "fail"}, 1, {"dotnetinstallstart", "dotnetinstallfailed"}, "exit code 5",
             False, False),
            ("failing set-up", [(setup, None, None)], {"ZEMBRIO_SETUP_MODE": "fail"},
             1, {"setupinstallstart", "setupinstallfailed"}, None, None, False),
            ("set-up refuses other arguments", [(setup, None, "/s /v/qn")], {},
             1, {"setupinstallstart", "setupinstallfailed"}, "exit code 4", None, False),
            ("fail mode runs nothing", [(dotnet, None, None), (setup, None, None)], {"ZEMBRIO_HELPER_MODE": "fail"},
             1, {"dotnetinstallstart", "dotnetinstallfailed"}, None, False, False),
            ("nostart mode writes nothing", [(setup, None, None)], {"ZEMBRIO_HELPER_MODE": "nostart"},
             0, set(), None, None, False),
            ("both mode writes both results", [(setup, None, None)], {"ZEMBRIO_HELPER_MODE": "both"},
             0, {"setupinstallstart", "setupinstallfailed", "setupinstallsucceeded"}, None, None, True),
            # A comma in the folder name splits a path in two.
            ("malformed task file", [(dotnet, None, None), (setup, r"Z:\tmp\a,b\setup.exe", None)], {},
             2, set(), "malformed", False, False),
        ]
        for what, tasks, env, code, markers, logged, dotnet_after, main_after in rows:
            with self.subTest(what):
                for m in self.markers() | {"installhelperlog.txt"}:
                    if os.path.exists(self.path(m)):
                        os.remove(self.path(m))
                self.uninstall()
                lines = [self.task_line(kind, program=program, arguments=arguments)
                         for kind, program, arguments in tasks]
                self.assertEqual(code, self.run_helper(lines, env=env))
                self.assertEqual(markers, self.markers())
                if logged:
                    self.assertIn(logged, self.log())
                if env.get("ZEMBRIO_HELPER_MODE") == "nostart":
                    self.assertFalse(os.path.exists(self.path("installhelperlog.txt")))
                if dotnet_after is not None:
                    self.assertEqual(dotnet_after, self.dotnet_installed())
                self.assertEqual(main_after, os.path.exists(self.installed_main_app()))

    def test_time_limit_fails_the_task_and_leaves_the_program(self):
        main = self.path("ZembrioMain.exe")
        shutil.copy(os.path.join(self.standins, "zembriomain_standin.exe"), main)
        start = time.monotonic()
        rc = self.run_helper([self.task_line("setup", program=win_path(main), arguments="--stay 10",
                                             limit=1), self.task_line("dotnet")])
        elapsed = time.monotonic() - start
        self.assertEqual(rc, 1)
        self.assertLess(elapsed, 8)
        self.assertEqual(self.markers(), {"setupinstallstart", "setupinstallfailed"})
        with open(self.path("ran.txt"), "rb") as f:
            self.assertIn(b"--stay 10", f.read())

    def test_stall_mode_leaves_only_the_start_marker(self):
        start = time.monotonic()
        rc = self.run_helper([self.task_line("setup")],
                             env={"ZEMBRIO_HELPER_MODE": "stall", "ZEMBRIO_HELPER_STALL_SECONDS": "2"})
        self.assertGreaterEqual(time.monotonic() - start, 2)
        self.assertEqual(rc, 1)
        self.assertEqual(self.markers(), {"setupinstallstart"})

class OtherStandinsTest(WineCase):
    def test_main_app_records_each_run(self):
        main = os.path.join(self.tmp, "ZembrioMain.exe")
        shutil.copy(os.path.join(self.standins, "zembriomain_standin.exe"), main)
        self.assertEqual(self.run_wine(main, []), 0)
        start = time.monotonic()
        self.assertEqual(self.run_wine(main, ["--stay", "2"]), 0)
        self.assertGreaterEqual(time.monotonic() - start, 2)
        with open(os.path.join(self.tmp, "ran.txt"), "rb") as f:
            lines = f.read().split(b"\r\n")
        self.assertEqual(len(lines), 3, lines)  # two lines and the final terminator
        self.assertIn(b"ZembrioMain.exe", lines[0])
        self.assertTrue(lines[1].endswith(b"--stay 2"), lines[1])

    def signing_file(self, name):
        for folder in (os.environ["ZEMBRIO_BUILD_DIR"], self.standins):
            path = os.path.join(folder, "signing", name)
            if os.path.exists(path):
                return path
        self.fail("no signing/%s in the build" % name)

    def pin(self, name):
        with open(self.signing_file(name + ".pin")) as f:
            return f.read().strip()

    def assert_signed(self, path, pin, digests=("sha1", "sha256")):
        """Signed in this form by the key with this pin; both signatures verify."""
        self.assertEqual([(d, pin) for d in digests],
                         [(s.digest, s.pin) for s in authenticode.file_signatures(path)])
        ok, output = authenticode.verify(path, authenticode.load_certificates(self.signing_file("test.crt")) +
                                         authenticode.load_certificates(self.signing_file("foreign.crt")))
        self.assertTrue(ok, output)

    def test_components_pass_the_installers_checks(self):
        minimums = {"installhelper.exe": MIN_HELPER_SIZE, "setup.exe": MIN_SETUP_SIZE,
                    "setupm.exe": MIN_SETUP_SIZE, "dotnetfx.exe": MIN_SETUP_SIZE}
        with open(os.path.join(self.components, "release.txt"), "rb") as source:
            listed = release.verify(source.read(), [release.load_public_key(self.signing_file("release.pub.pem"))])
        self.assertEqual((100, sorted(minimums)), (listed.serial, sorted(listed.files)))
        for name, minimum in minimums.items():
            with self.subTest(name=name):
                path = os.path.join(self.components, name)
                self.assertGreaterEqual(os.path.getsize(path), minimum)
                stored, computed = pe_pad.verify_file(path)
                self.assertEqual(stored, computed)
                if pefile is not None:
                    pe = pefile.PE(path, fast_load=True)
                    self.assertTrue(pe.verify_checksum())
                    pe.close()
                if name == "dotnetfx.exe":   # as its maker ships it: vouched for by the release alone
                    self.assertEqual([], authenticode.file_signatures(path))
                else:
                    self.assert_signed(path, self.pin("test"))
                self.assertEqual(release.file_entry(path)[1:], listed.files[name])

    def test_broken_variants_have_exactly_their_fault(self):
        broken = os.path.join(self.standins, "components-broken")
        if not os.path.isdir(broken):
            self.skipTest("components-broken/ not built")
        test, foreign = self.pin("test"), self.pin("foreign")
        self.assertNotEqual(test, foreign)
        trusted = authenticode.load_certificates(self.signing_file("test.crt"))
        for name, signer, checksum_ok in (("zerosum", test, False), ("badsum", test, False),
                                          ("unsigned", None, True), ("foreign", foreign, True),
                                          ("altered", test, True)):
            with self.subTest(name):
                path = os.path.join(broken, "setup_%s.exe" % name)
                self.assertGreaterEqual(os.path.getsize(path), MIN_SETUP_SIZE)
                stored, computed = pe_pad.verify_file(path)
                self.assertEqual(checksum_ok, stored == computed)
                signatures = authenticode.file_signatures(path)
                self.assertEqual([] if signer is None else [("sha1", signer), ("sha256", signer)],
                                 [(s.digest, s.pin) for s in signatures])
                ok, output = authenticode.verify(path, trusted + authenticode.load_certificates(
                    self.signing_file("foreign.crt")))
                self.assertEqual(name not in ("unsigned", "altered"), ok, output)
                if name == "altered":
                    self.assertIn("altered after signing", authenticode.verify_failure(output))
        small = os.path.join(broken, "setup_small.exe")
        self.assertEqual(MIN_SETUP_SIZE - 1, os.path.getsize(small))

    def test_system_trust_check_agrees(self):
        """WinVerifyTrust passes the signed components, either file digest
        alone, and catches no signature and a changed signed byte."""
        probe = os.path.join(self.standins, "wintrust_probe.exe")
        if not os.path.exists(probe):
            self.skipTest("wintrust_probe.exe not built")
        files = {os.path.join(self.components, name): TRUSTED
                 for name in ("installhelper.exe", "setup.exe", "setupm.exe")}
        files[os.path.join(self.standins, "installhelper.exe")] = NO_SIGNATURE
        altered = os.path.join(self.tmp, "altered.exe")
        shutil.copy(os.path.join(self.components, "installhelper.exe"), altered)
        pe_pad.alter_signed(altered)
        files[altered] = BAD_DIGEST
        for form in ("sha1", "sha256"):
            path = os.path.join(self.tmp, form + ".exe")
            shutil.copy(os.path.join(self.standins, "installhelper.exe"), path)
            subprocess.run(["/usr/bin/python3", SIGN, "--key", self.signing_file("test.key"), "--cert",
                            self.signing_file("test.crt"), "--form", form, "--quiet", path],
                           check=True, timeout=STEP_TIMEOUT)
            self.assert_signed(path, self.pin("test"), (form,))
            files[path] = TRUSTED
        out = os.path.join(self.tmp, "trust.txt")
        self.assertEqual(self.run_wine(probe, [win_path(out)] + [win_path(p) for p in files]), 0)
        with open(out) as f:
            results = [int(line, 16) for line in f if line.strip()]
        self.assertEqual(list(files.values()), results, list(files))

    def test_system_checksum_call_agrees(self):
        probe = os.path.join(self.standins, "mapchecksum_probe.exe")
        if not os.path.exists(probe):
            self.skipTest("mapchecksum_probe.exe not built")
        setup = os.path.join(self.components, "setup.exe")
        with open(setup, "rb") as f:
            data = f.read()
        files = {}
        for mode, size in (("correct", len(data) + 1), ("correct", len(data) + 2),
                           ("zero", len(data)), ("wrong", len(data))):
            path = os.path.join(self.tmp, "%s-%d.exe" % (mode, size))
            with open(path, "wb") as f:
                f.write(pe_pad.pad_bytes(data, size, mode))
            files[path] = mode
        files[os.path.join(self.components, "installhelper.exe")] = "correct"
        out = os.path.join(self.tmp, "sums.txt")
        self.assertEqual(self.run_wine(probe, [win_path(out)] + [win_path(p) for p in files]), 0)
        with open(out) as f:
            results = [tuple(int(x) for x in line.split()) for line in f if line.strip()]
        self.assertEqual(len(results), len(files))
        for (path, mode), (rc, header, computed) in zip(files.items(), results):
            with self.subTest(file=os.path.basename(path)):
                stored, ours = pe_pad.verify_file(path)
                self.assertEqual(rc, 0)
                self.assertEqual((header, computed), (stored, ours))
                self.assertEqual(header == computed, mode == "correct")


if __name__ == "__main__":
    unittest.main()
