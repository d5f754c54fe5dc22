"""Checks every function the shipped installer and its carried shell-folder
library import against tests/tools/imports.tsv, the record of the oldest
Windows releases that have each one. Wine exports everything, so an import
that Windows 98 SE or Windows 2000 SP4 lacks would pass every other test and
still keep the loader from starting the installer there.

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
COLUMNS = ["dll", "function", "win9x", "nt", "note"]
# Oldest first; everything up to the second value loads on the oldest systems
# the installer claims.
WIN9X = ["95", "95 OSR2", "98", "98 SE", "ME", "no"]
NT = ["3.1", "3.51", "4.0", "2000", "XP", "Vista", "no"]
OLDEST_9X = "98 SE"
OLDEST_NT = "2000"


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
            key = (row["dll"].lower(), row["function"])
            if key in rows:
                raise ValueError(f"{path.name}:{line}: {key[0]}!{key[1]} listed twice")
            rows[key] = row
    return rows


def audit(imported, table):
    """Complaints about (a) imports missing from the table, (b) imports the
    table says Windows 98 SE or Windows 2000 SP4 lacks, (c) rows nothing
    imports any more. imported maps (dll, function) to the importing files."""
    problems = []
    for key in sorted(imported):
        name = f"{key[0]}!{key[1]} (imported by {', '.join(sorted(imported[key]))})"
        row = table.get(key)
        if row is None:
            problems.append(f"{name} is not in {TABLE.name}")
            continue
        if WIN9X.index(row["win9x"]) > WIN9X.index(OLDEST_9X):
            problems.append(f"{name} is missing from Windows {OLDEST_9X} (table: {row['win9x']})")
        if NT.index(row["nt"]) > NT.index(OLDEST_NT):
            problems.append(f"{name} is missing from Windows {OLDEST_NT} (table: {row['nt']})")
    for key in sorted(set(table) - set(imported)):
        problems.append(f"{key[0]}!{key[1]} is in {TABLE.name} but no longer imported")
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
        for name, pe in ((EXE.name, exe), ("shfolder.dll", pefile.PE(data=carried))):
            for key in imports_of(pe):
                cls.imported.setdefault(key, set()).add(name)

    def test_every_import_is_listed_and_present_on_the_oldest_systems(self):
        problems = audit(self.imported, read_table(TABLE))
        if problems:
            self.fail(f"{len(problems)} import problem(s):\n" + "\n".join(problems))


class Audit(unittest.TestCase):
    """The checks themselves, on made-up import lists and tables."""

    def table(self, *rows):
        return {(r[0], r[1]): dict(zip(COLUMNS, r)) for r in rows}

    def test_each_kind_of_fault_names_its_function(self):
        table = self.table(("kernel32.dll", "ReadFile", "95", "3.1", ""),
                           ("kernel32.dll", "MeOnly", "ME", "3.1", ""),
                           ("kernel32.dll", "XpOnly", "95", "XP", ""),
                           ("kernel32.dll", "SeOnly", "98 SE", "2000", ""),
                           ("kernel32.dll", "Gone", "95", "3.1", ""))
        imported = {(d, f): {"a.exe"} for d, f in [("kernel32.dll", "ReadFile"), ("kernel32.dll", "MeOnly"),
                                                    ("kernel32.dll", "XpOnly"), ("kernel32.dll", "SeOnly"),
                                                    ("kernel32.dll", "New")]}
        problems = audit(imported, table)
        self.assertEqual(4, len(problems), problems)
        for expected in ("kernel32.dll!MeOnly (imported by a.exe) is missing from Windows 98 SE",
                         "kernel32.dll!XpOnly (imported by a.exe) is missing from Windows 2000",
                         "kernel32.dll!New (imported by a.exe) is not in imports.tsv",
                         "kernel32.dll!Gone is in imports.tsv but no longer imported"):
            self.assertTrue(any(p.startswith(expected) for p in problems), f"{expected!r} not in {problems}")

    def test_malformed_tables_are_refused(self):
        header = "\t".join(COLUMNS)
        cases = {
            "unknown 9x release": f"{header}\nkernel32.dll\tReadFile\t98SE\t3.1\t\n",
            "unknown NT release": f"{header}\nkernel32.dll\tReadFile\t95\tNT4\t\n",
            "missing column": f"{header}\nkernel32.dll\tReadFile\t95\t3.1\n",
            "repeated row": f"{header}\nkernel32.dll\tReadFile\t95\t3.1\t\nKERNEL32.dll\tReadFile\t95\t3.1\t\n",
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
