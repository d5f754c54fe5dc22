"""Checks the shipped 32-bit installer (build-release/ZembrioInstaller.exe)
with a PE reader nobody here wrote: format, version, strings, carried library.

Run with Debian's interpreter (it has python3-pefile):
    ZEMBRIO_SOURCE_DIR=. /usr/bin/python3 tests/tools/test_release_build.py
"""
import os
import struct
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
    """{id: text} from the RT_STRING blocks: 16 counted UTF-16 strings each."""
    table = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if rtype.id != pefile.RESOURCE_TYPE["RT_STRING"]:
            continue
        for block in rtype.directory.entries:
            data = block.directory.entries[0].data.struct
            raw = pe.get_data(data.OffsetToData, data.Size)
            pos = 0
            for i in range(16):
                (n,) = struct.unpack_from("<H", raw, pos)
                pos += 2
                if n:
                    table[(block.id - 1) * 16 + i] = raw[pos:pos + 2 * n].decode("utf-16-le")
                pos += 2 * n
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
        # Windows' installer detection gave requireAdministrator; supportedOS
        # entries would make new Windows report its real version (and leave
        # the Vista path), a common controls 6 dependency would restyle the
        # window; one namespace on trustInfo keeps Windows XP SP2 standing.
        data = resource_data(self.pe, pefile.RESOURCE_TYPE["RT_MANIFEST"], 1)
        self.assertIsNotNone(data, "RT_MANIFEST 1")
        root = ET.fromstring(data)
        v1, v2 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v2}"
        self.assertEqual(f"{v1}assembly", root.tag)
        levels = root.findall(f"{v2}trustInfo/{v2}security/{v2}requestedPrivileges/{v2}requestedExecutionLevel")
        self.assertEqual([{"level": "requireAdministrator", "uiAccess": "false"}], [e.attrib for e in levels])
        tags = {e.tag.split("}")[-1] for e in root.iter()}
        self.assertFalse(tags & {"compatibility", "supportedOS", "dependency", "dependentAssembly"}, tags)
        self.assertNotIn(b"Common-Controls", data)
        self.assertEqual(1, data.count(b"xmlns=\"urn:schemas-microsoft-com:asm.v2\""))
        self.assertNotIn(b"xmlns:", data)

    def test_carried_shell_folder_library(self):
        data = resource_data(self.pe, "DLL", 156)
        self.assertIsNotNone(data, 'resource "DLL" 156')
        dll = pefile.PE(data=data)
        self.assertEqual(pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], dll.FILE_HEADER.Machine)
        self.assertTrue(dll.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"])
        exports = [s.name for s in dll.DIRECTORY_ENTRY_EXPORT.symbols]
        self.assertIn(b"SHGetFolderPathA", exports)


if __name__ == "__main__":
    unittest.main(verbosity=2)
