"""Checks the shipped 32-bit installer (build-release/ZembrioInstaller.exe)
with a PE reader nobody here wrote: format, version, strings, carried library;
and that two release builds of this tree in other folders give it byte for
byte, as anyone checking a published stub against its tag builds it.

Run with Debian's interpreter (it has python3-pefile):
    ZEMBRIO_SOURCE_DIR=. /usr/bin/python3 tests/tools/test_release_build.py
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
from pathlib import Path

import pefile

SOURCE = Path(os.environ.get("ZEMBRIO_SOURCE_DIR", Path(__file__).resolve().parents[2]))
EXE = SOURCE / "build-release" / "ZembrioInstaller.exe"

STRINGS = {
    57344: "Zembrio Installer",
    104: "Windows sockets initialization failed.",
    126: "Zembrio Installer v.1.8.204 3/1/07",
    127: ", Windows %u.%u.%u (%s)",
    129: "I agree to the terms of the license agreement",
    201: "Resume Zembrio Installation.lnk",
    202: "Resume Zembrio Installation",
    203: "Zembrio Installer",
    204: "The Zembrio Installer was successfully uninstalled.",
}


def resource_data(pe, type_key, name_id):
    """The bytes of the first language of resource type/name; type_key is an
    RT_* number or a type name."""
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        matches = (rtype.id == type_key) if isinstance(type_key, int) else \
            (rtype.name is not None and str(rtype.name) == type_key)
        if not matches:
            continue
        for entry in rtype.directory.entries:
            if entry.id == name_id:
                data = entry.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    return None


def string_table(pe):
    """{id: text} from the RT_STRING blocks, as pefile decodes them."""
    table = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id == pefile.RESOURCE_TYPE["RT_STRING"]:
            for block in rtype.directory.entries:
                table.update(block.directory.strings)
    return table


class ReleaseBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not EXE.exists():
            raise AssertionError(f"{EXE} not built (tools/test builds it)")
        cls.pe = pefile.PE(str(EXE))
        print(f"\n{EXE.name}: {EXE.stat().st_size} bytes")

    def test_32_bit_gui_program(self):
        pe = self.pe
        self.assertEqual(pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], pe.FILE_HEADER.Machine)
        self.assertEqual(pefile.OPTIONAL_HEADER_MAGIC_PE, pe.OPTIONAL_HEADER.Magic)
        self.assertEqual(pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"], pe.OPTIONAL_HEADER.Subsystem)
        self.assertFalse(pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"])

    def test_small_enough_to_download(self):
        # Visitors download the stub before anything else happens. The usual
        # ways back over the budget: mingw's printf or scanf called from C++,
        # a <stdexcept> class constructed, 24-bit artwork that fits a palette.
        self.assertLessEqual(EXE.stat().st_size, 400 * 1024)

    def test_version_resource(self):
        pe = self.pe
        fixed = pe.VS_FIXEDFILEINFO[0]
        version = lambda ms, ls: f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
        self.assertEqual("2.0.320.0", version(fixed.FileVersionMS, fixed.FileVersionLS))
        self.assertEqual("2.0.320.0", version(fixed.ProductVersionMS, fixed.ProductVersionLS))
        texts = {}
        for info in pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                texts.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual("2.0.320.0", texts.get("FileVersion"))
        self.assertEqual("2.0.320.0", texts.get("ProductVersion"))

    def test_string_table(self):
        table = string_table(self.pe)
        for sid, text in STRINGS.items():
            self.assertEqual(text, table.get(sid), f"string {sid}")

    def test_manifest_states_the_execution_level_and_nothing_that_changes_the_look(self):
        # asInvoker, said outright: the window, the downloads and the product
        # at Finish run with the visitor's rights (installer detection would
        # elevate a program of this name without it); supportedOS
        # entries would make new Windows report its real version (and leave
        # the Vista path), a common controls 6 dependency would restyle the
        # window; one namespace on trustInfo keeps Windows XP SP2 standing.
        data = resource_data(self.pe, pefile.RESOURCE_TYPE["RT_MANIFEST"], 1)
        self.assertIsNotNone(data, "RT_MANIFEST 1")
        root = ET.fromstring(data)
        v1, v2 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v2}"
        self.assertEqual(f"{v1}assembly", root.tag)
        levels = root.findall(f"{v2}trustInfo/{v2}security/{v2}requestedPrivileges/{v2}requestedExecutionLevel")
        self.assertEqual([{"level": "asInvoker", "uiAccess": "false"}], [e.attrib for e in levels])
        tags = {e.tag.split("}")[-1] for e in root.iter()}
        self.assertFalse(tags & {"compatibility", "supportedOS", "dependency", "dependentAssembly"}, tags)
        self.assertNotIn(b"Common-Controls", data)
        self.assertEqual(1, data.count(b"xmlns=\"urn:schemas-microsoft-com:asm.v2\""))
        self.assertNotIn(b"xmlns:", data)
        # GDI scaling for Windows 10 and 11, in the asm.v3 application
        # element Windows XP passes over; no element declares two namespaces.
        v3, smi = "{urn:schemas-microsoft-com:asm.v3}", "{http://schemas.microsoft.com/SMI/2017/WindowsSettings}"
        scaling = root.findall(f"{v3}application/{v3}windowsSettings/{smi}gdiScaling")
        self.assertEqual(["true"], [e.text for e in scaling])
        self.assertEqual({f"{v1}assembly", f"{v1}assemblyIdentity"},
                         {e.tag for e in root.iter() if e.tag.startswith(v1)})
        for tag in re.findall(rb"<[^!?/][^>]*>", data):
            self.assertLessEqual(tag.count(b"xmlns"), 1, tag)

    def test_carried_shell_folder_library(self):
        data = resource_data(self.pe, "DLL", 156)
        self.assertIsNotNone(data, 'resource "DLL" 156')
        dll = pefile.PE(data=data)
        self.assertEqual(pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], dll.FILE_HEADER.Machine)
        self.assertTrue(dll.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"])
        exports = [s.name for s in dll.DIRECTORY_ENTRY_EXPORT.symbols]
        self.assertIn(b"SHGetFolderPathA", exports)


def copy_tree(source, target):
    """The files of the source tree as they are now, edits included, without
    its build folders or its git metadata."""
    listed = subprocess.run(["git", "-C", str(source), "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode == 0:
        for name in filter(None, listed.stdout.decode().split("\0")):
            path = source / name
            if path.is_file():  # a tracked file deleted in the tree is left out
                (target / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(path, target / name)
    else:
        shutil.copytree(source, target, ignore=shutil.ignore_patterns(".git", "build*", "__pycache__"))


def locate(data, offset, what="stub"):
    """Where offset lies: the header or table field (the carried library's
    own, when it is in its resource), else the section."""
    pe = pefile.PE(data=data)
    holding = [s for s in pe.__structures__ if s.get_file_offset() <= offset < s.get_file_offset() + s.sizeof()]
    if holding:
        structure = min(holding, key=lambda s: s.sizeof())
        relative = offset - structure.get_file_offset()
        field = max((at, name) for name, at in structure.__field_offsets__.items() if at <= relative)[1]
        return f"{what} {structure.name}.{field}"
    section = pe.get_section_by_offset(offset)
    if section is None:
        return f"{what} outside every section"
    name = section.Name.rstrip(b"\0").decode()
    rva = section.get_rva_from_offset(offset)
    resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if name == ".rsrc" else []
    for rtype in resources:
        for entry in rtype.directory.entries:
            for language in entry.directory.entries:
                struct_ = language.data.struct
                if struct_.OffsetToData <= rva < struct_.OffsetToData + struct_.Size:
                    label = f"{what} resource {rtype.name or rtype.id}/{entry.name or entry.id}"
                    resource = pe.get_data(struct_.OffsetToData, struct_.Size)
                    inner = rva - struct_.OffsetToData
                    if resource[:2] == b"MZ":
                        return locate(resource, inner, label + ":")
                    return f"{label} at +{inner:#x}"
    return f"{what} section {name} at RVA {rva:#x}"


def difference(a, b):
    """'' for equal bytes, else where they first differ and each differing
    run's place."""
    if a == b:
        return ""
    runs, previous = [], -2
    for offset in range(min(len(a), len(b))):
        if a[offset] != b[offset]:
            if offset != previous + 1:
                runs.append(offset)
            previous = offset
    if not runs:
        return f"one is a prefix of the other ({len(a)} and {len(b)} bytes)"
    places = [f"{offset:#x} ({locate(a, offset)})" for offset in runs[:12]]
    return (f"{len(a)} and {len(b)} bytes, first difference at offset {runs[0]:#x}; "
            f"{len(runs)} differing run(s) at " + ", ".join(places))


class Reproducible(unittest.TestCase):
    """Two release builds of this tree, in folders of different lengths,
    seconds apart, under other time zones, locales and SOURCE_DATE_EPOCH, give
    the same stub; and so does the first once signed and unsigned again, as
    the README's check of a published stub does it."""

    def run_logged(self, command, log, **options):
        with open(log, "ab") as out:
            out.write(f"$ {' '.join(map(str, command))}\n".encode())
            out.flush()
            done = subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, **options)
        if done.returncode:
            tail = log.read_text(errors="replace").splitlines()[-25:]
            self.fail(f"{command[0]} failed ({done.returncode}):\n" + "\n".join(tail))

    def test_two_builds_in_other_folders_give_the_same_stub(self):
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="zembrio-repro-") as temp:
            temp = Path(temp)
            log = temp / "build.log"
            keys = temp / "keys"
            # One release key for both, as a verifier is given the published
            # one; the signing key signs the first stub.
            self.run_logged([sys.executable, SOURCE / "tools/sign", "--make-test-keys", keys], log)
            self.run_logged([sys.executable, SOURCE / "tools/release.py", "--make-test-key", keys], log)
            settings = [{"TZ": "UTC", "LC_ALL": "C", "SOURCE_DATE_EPOCH": None},
                        {"TZ": "NZST-12", "LC_ALL": "C.UTF-8", "SOURCE_DATE_EPOCH": "1234567890"}]
            stubs, finished = [], 0.0
            for tree, changes in zip([temp / "a", temp / "bbbbbbbb" / "cc"], settings):
                copy_tree(SOURCE, tree)
                env = dict(os.environ, ZEMBRIO_RELEASE_KEYS=str(keys / "release.pub.pem"))
                env.pop("ZEMBRIO_MIN_RELEASE_SERIAL", None)
                for name, value in changes.items():
                    if value is None:
                        env.pop(name, None)
                    else:
                        env[name] = value
                # A clock second apart from the first build's last link.
                time.sleep(max(0.0, finished + 1.1 - time.time()))
                self.run_logged([tree / "tools/configure", "release"], log, cwd=tree, env=env)
                # -j2: the machine's two cores, shared with other builds.
                self.run_logged(["cmake", "--build", tree / "build-release", "-j2"], log, env=env)
                finished = time.time()
                stubs.append(tree / "build-release" / "ZembrioInstaller.exe")
            first, second = (stub.read_bytes() for stub in stubs)
            print(f"\ntwo release builds: {time.monotonic() - started:.0f} s, {len(first)} bytes")
            self.assertEqual("", difference(first, second), "the two builds' stubs differ")
            # Signing rewrites the header checksum; removing the signature
            # must give the built bytes back, checksum included, for cmp.
            signed, unsigned = temp / "signed.exe", temp / "unsigned.exe"
            shutil.copyfile(stubs[0], signed)
            self.run_logged([sys.executable, SOURCE / "tools/sign", "--key", keys / "test.key",
                             "--cert", keys / "test.crt", signed], log)
            self.assertNotEqual(first[:0x200], signed.read_bytes()[:0x200])
            self.run_logged(["osslsigncode", "remove-signature", "-in", signed, "-out", unsigned], log)
            self.assertEqual("", difference(second, unsigned.read_bytes()),
                             "a signed stub unsigned again differs from the build")


if __name__ == "__main__":
    unittest.main(verbosity=2)
