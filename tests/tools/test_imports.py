"""Checks every function the shipped installer and its carried shell-folder
library import against tests/tools/imports.tsv, the record of the oldest
Windows releases that have each one and of the functions looked up at run
time instead. Wine exports everything, so an import that Windows 98 SE or
Windows 2000 SP4 lacks would pass every other test and still keep the loader
from starting the installer there.

Two more rules for what is imported (the "import" rows):
- Only libraries on KNOWN_DLLS: the KnownDLLs list (the values under
  HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs) that
  Windows 7, 8, 8.1, 10 and 11 all share. The loader takes these from the
  system folder whatever lies beside the program; any other library named in
  the import table is looked for in the program's folder first, where a file
  planted in a visitor's downloads folder would be loaded before the
  installer's first line runs. (Windows 7's list also has wininet, urlmon,
  iertutil, lpk and usp10; Windows 8 dropped them.) The carried shfolder.dll
  is held to it too: it is loaded into the installer's process, where the
  loader searches the installer's folder for its imports just the same.
- Present on Windows 95 with Internet Explorer 4 ("win95ie4"), the first
  release of 95, with the msvcrt.dll, comctl32 and WinINet that IE 4 installs:
  there the installer must load to refuse the system with its own page rather
  than a loader error. A function missing there is looked up at run time with
  a fallback ("run time" rows), never imported.
A "run time" row must not be imported, and its name must still be in one of
the files (as the text GetProcAddress is given); its library may be any,
since it is loaded by full path from the system folder.

Run with Debian's interpreter (it has python3-pefile):
    ZEMBRIO_SOURCE_DIR=. /usr/bin/python3 tests/tools/test_imports.py
"""
import csv
import os
import sys
import tempfile
import unittest
from pathlib import Path

import pefile

sys.path.insert(0, str(Path(__file__).resolve().parent))
from test_release_build import EXE, resource_data  # noqa: E402

TABLE = Path(__file__).resolve().parent / "imports.tsv"
COLUMNS = ["dll", "function", "use", "win9x", "nt", "win95ie4", "note"]
USES = ["import", "run time"]
# Oldest first; everything up to the second value loads on the oldest systems
# the installer claims.
WIN9X = ["95", "95 OSR2", "98", "98 SE", "ME", "no"]
NT = ["3.1", "3.51", "4.0", "2000", "XP", "Vista", "no"]
OLDEST_9X = "98 SE"
OLDEST_NT = "2000"
WIN95_IE4 = ["yes", "no"]
KNOWN_DLLS = {f"{name}.dll" for name in (
    "advapi32", "clbcatq", "comdlg32", "difxapi", "gdi32", "imagehlp", "imm32", "kernel32", "msctf", "msvcrt",
    "normaliz", "nsi", "ole32", "oleaut32", "psapi", "rpcrt4", "sechost", "setupapi", "shell32", "shlwapi",
    "user32", "wldap32", "ws2_32")}


def imports_of(pe):
    """{(dll in lower case, function)} of the import and delay-import tables;
    a function imported by ordinal reads "#n"."""
    found = set()
    for attr in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attr, []):
            dll = entry.dll.decode().lower()
            for imp in entry.imports:
                found.add((dll, imp.name.decode() if imp.name else f"#{imp.ordinal}"))
    return found


def read_table(path):
    """{(dll, function): row}; raises ValueError naming a malformed or
    repeated row."""
    rows = {}
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f, delimiter="\t", quoting=csv.QUOTE_NONE)
        header = next(reader, None)
        if header != COLUMNS:
            raise ValueError(f"{path.name}: header {header}, expected {COLUMNS}")
        for line, fields in enumerate(reader, start=2):
            if len(fields) != len(COLUMNS):
                raise ValueError(f"{path.name}:{line}: {len(fields)} fields, expected {len(COLUMNS)}")
            row = dict(zip(COLUMNS, fields))
            if row["win9x"] not in WIN9X:
                raise ValueError(f"{path.name}:{line}: {row['function']}: 9x release {row['win9x']!r} not one of {WIN9X}")
            if row["nt"] not in NT:
                raise ValueError(f"{path.name}:{line}: {row['function']}: NT release {row['nt']!r} not one of {NT}")
            if row["win95ie4"] not in WIN95_IE4:
                raise ValueError(f"{path.name}:{line}: {row['function']}: 95 + IE 4 {row['win95ie4']!r} "
                                 f"not one of {WIN95_IE4}")
            if row["use"] not in USES:
                raise ValueError(f"{path.name}:{line}: {row['function']}: use {row['use']!r} not one of {USES}")
            key = (row["dll"].lower(), row["function"])
            if key in rows:
                raise ValueError(f"{path.name}:{line}: {key[0]}!{key[1]} listed twice")
            rows[key] = row
    return rows


def audit(imported, table, files):
    """Complaints about (a) imports missing from the table, (b) imports the
    table says Windows 98 SE, Windows 2000 SP4 or Windows 95 with IE 4 lacks,
    (c) imports from a library outside KNOWN_DLLS, (d) imports of functions
    the table says are looked up at run time, (e) "import" rows nothing
    imports any more and "run time" rows whose name no file holds.
    imported maps (dll, function) to the importing files; files maps each
    file's name to its bytes."""
    problems = []
    for key in sorted(imported):
        name = f"{key[0]}!{key[1]} (imported by {', '.join(sorted(imported[key]))})"
        row = table.get(key)
        if row is None:
            problems.append(f"{name} is not in {TABLE.name}")
            continue
        if row["use"] == "run time":
            problems.append(f"{name} is imported, but {TABLE.name} says it is looked up at run time")
            continue
        if key[0] not in KNOWN_DLLS:
            problems.append(f"{name} is from a library outside the KnownDLLs of Windows 7 to 11: load it by full path")
        if WIN9X.index(row["win9x"]) > WIN9X.index(OLDEST_9X):
            problems.append(f"{name} is missing from Windows {OLDEST_9X} (table: {row['win9x']})")
        if NT.index(row["nt"]) > NT.index(OLDEST_NT):
            problems.append(f"{name} is missing from Windows {OLDEST_NT} (table: {row['nt']})")
        if row["win95ie4"] == "no":
            problems.append(f"{name} is missing from Windows 95 with Internet Explorer 4: look it up at run time")
    for key in sorted(set(table) - set(imported)):
        if table[key]["use"] == "import":
            problems.append(f"{key[0]}!{key[1]} is in {TABLE.name} but no longer imported")
        elif not any(key[1].encode() + b"\0" in data for data in files.values()):
            problems.append(f"{key[0]}!{key[1]} is in {TABLE.name} as looked up at run time, but no file names it")
    return problems


class Imports(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not EXE.exists():
            raise AssertionError(f"{EXE} not built (tools/test builds it)")
        exe = pefile.PE(str(EXE))
        # The library as the installer carries it, not a file beside it.
        carried = resource_data(exe, "DLL", 156)
        if carried is None:
            raise AssertionError('resource "DLL" 156 missing')
        cls.imported = {}
        cls.files = {EXE.name: EXE.read_bytes(), "shfolder.dll": carried}
        for name, pe in ((EXE.name, exe), ("shfolder.dll", pefile.PE(data=carried))):
            for key in imports_of(pe):
                cls.imported.setdefault(key, set()).add(name)

    def test_every_import_is_listed_known_and_present_on_the_oldest_systems(self):
        problems = audit(self.imported, read_table(TABLE), self.files)
        if problems:
            self.fail(f"{len(problems)} import problem(s):\n" + "\n".join(problems))


class Audit(unittest.TestCase):
    """The checks themselves, on made-up import lists and tables."""

    def table(self, *rows):
        return {(r[0], r[1]): dict(zip(COLUMNS, r)) for r in rows}

    def test_each_kind_of_fault_names_its_function(self):
        table = self.table(("kernel32.dll", "ReadFile", "import", "95", "3.1", "yes", ""),
                           ("kernel32.dll", "MeOnly", "import", "ME", "3.1", "yes", ""),
                           ("kernel32.dll", "XpOnly", "import", "95", "XP", "yes", ""),
                           ("kernel32.dll", "SeOnly", "import", "98 SE", "2000", "no", ""),
                           ("kernel32.dll", "Gone", "import", "95", "3.1", "yes", ""),
                           ("version.dll", "Planted", "import", "95", "3.1", "yes", ""),
                           ("user32.dll", "Looked", "import", "98", "4.0", "no", ""),
                           ("user32.dll", "Resolved", "run time", "98", "4.0", "no", ""),
                           ("wininet.dll", "Loaded", "run time", "98", "2000", "no", ""),
                           ("wininet.dll", "Stale", "run time", "98", "2000", "no", ""))
        imported = {(d, f): {"a.exe"} for d, f in [("kernel32.dll", "ReadFile"), ("kernel32.dll", "MeOnly"),
                                                    ("kernel32.dll", "XpOnly"), ("kernel32.dll", "SeOnly"),
                                                    ("kernel32.dll", "New"), ("version.dll", "Planted"),
                                                    ("user32.dll", "Looked"), ("user32.dll", "Resolved")]}
        files = {"a.exe": b"...Resolved\0Loaded\0StaleName\0"}
        problems = audit(imported, table, files)
        expected = ["kernel32.dll!MeOnly (imported by a.exe) is missing from Windows 98 SE",
                    "kernel32.dll!XpOnly (imported by a.exe) is missing from Windows 2000",
                    "kernel32.dll!SeOnly (imported by a.exe) is missing from Windows 95 with Internet Explorer 4",
                    "kernel32.dll!New (imported by a.exe) is not in imports.tsv",
                    "kernel32.dll!Gone is in imports.tsv but no longer imported",
                    "version.dll!Planted (imported by a.exe) is from a library outside the KnownDLLs",
                    "user32.dll!Looked (imported by a.exe) is missing from Windows 95 with Internet Explorer 4",
                    "user32.dll!Resolved (imported by a.exe) is imported, but imports.tsv says it is looked up",
                    "wininet.dll!Stale is in imports.tsv as looked up at run time, but no file names it"]
        for e in expected:
            self.assertTrue(any(p.startswith(e) for p in problems), f"{e!r} not in {problems}")
        # Nothing else: not ReadFile, not Loaded (looked up, so neither its
        # library nor its absence from 95 matters), Resolved only once.
        self.assertEqual(len(expected), len(problems), problems)

    def test_malformed_tables_are_refused(self):
        header = "\t".join(COLUMNS)
        cases = {
            "unknown 9x release": f"{header}\nkernel32.dll\tReadFile\timport\t98SE\t3.1\tyes\t\n",
            "unknown NT release": f"{header}\nkernel32.dll\tReadFile\timport\t95\tNT4\tyes\t\n",
            "unknown 95 + IE 4 answer": f"{header}\nkernel32.dll\tReadFile\timport\t95\t3.1\tIE4\t\n",
            "unknown use": f"{header}\nkernel32.dll\tReadFile\tdelay\t95\t3.1\tyes\t\n",
            "missing column": f"{header}\nkernel32.dll\tReadFile\timport\t95\t3.1\tyes\n",
            "repeated row": f"{header}\nkernel32.dll\tReadFile\timport\t95\t3.1\tyes\t\n"
                            f"KERNEL32.dll\tReadFile\timport\t95\t3.1\tyes\t\n",
            "wrong header": "dll\tfunction\t9x\tnt\tnote\n",
        }
        for what, text in cases.items():
            with self.subTest(what), tempfile.TemporaryDirectory() as folder:
                path = Path(folder) / "imports.tsv"
                path.write_text(text, encoding="utf-8")
                with self.assertRaises(ValueError):
                    read_table(path)


if __name__ == "__main__":
    unittest.main(verbosity=2)
