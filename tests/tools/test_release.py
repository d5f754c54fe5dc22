#!/usr/bin/env python3
"""Tests of tools/release.py: what a release file may hold, its signature
checked against openssl's own, the header of trusted keys a build compiles,
and the test keys a build folder makes."""

import hashlib
import os
import re
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "release.py")
sys.path.insert(0, os.path.dirname(TOOL))
import release  # noqa: E402

HASH = "ab" * 32
DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420")  # SHA-256, before the hash


def openssl(*args, stdin=None):
    return subprocess.run(["openssl", *args], input=stdin, capture_output=True, check=True, timeout=120).stdout


def content(path):
    with open(path, "rb") as source:
        return source.read()


def tool(*args, env=None):
    environment = {k: v for k, v in os.environ.items() if k != release.PASSWORD_VARIABLE}
    return subprocess.run(["/usr/bin/python3", TOOL, *args], capture_output=True, text=True, timeout=300,
                          env={**environment, **(env or {})})


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.tmp.cleanup)
        cls.keys = os.path.join(cls.tmp.name, "signing")
        run = tool("--make-test-key", cls.keys)
        assert run.returncode == 0, run.stderr
        cls.key = os.path.join(cls.keys, "release.key")
        cls.public = release.load_public_key(os.path.join(cls.keys, "release.pub.pem"))

    def path(self, name, data=None):
        path = os.path.join(self.tmp.name, name)
        if data is not None:
            with open(path, "wb") as out:
                out.write(data)
        return path

    def assert_verdicts(self, cases, public, serial):
        """Each (release file, words of its refusal): None, accepted with serial."""
        for data, words in cases:
            with self.subTest(data=data[:90], words=words):
                if words is None:
                    self.assertEqual(serial, release.verify(data, [public]).serial)
                else:
                    with self.assertRaises(release.ReleaseError) as refused:
                        release.verify(data, [public])
                    self.assertIn(words, str(refused.exception))

    def signed(self, body):
        """body with the signature openssl itself makes of it."""
        signature = openssl("dgst", "-sha256", "-sign", self.key, stdin=body)
        return body + b"signature " + signature.hex().encode() + b"\n"

    def test_what_a_release_may_hold(self):
        head = b"zembrio-release 1\nserial 100\n"
        line = b"file setup.exe 20974776 " + HASH.encode() + b"\n"
        good = self.signed(head + line)
        digit = good.index(HASH.encode())
        # the file; words of the refusal (None: accepted)
        cases = [
            (good, None),
            (self.signed(head + b"note anything at all\n" + line), None),  # ignored, but signed
            (good[:digit] + b"c" + good[digit + 1:], "changed after signing"),
            (self.signed(head + line + line), "lists setup.exe a second time"),
            (head + line, "no signature line"),
            (good + b"note after\n", "follows the signature"),
            (good[:-1], "does not end in LF"),
            (good.replace(b"\n", b"\r\n"), "carriage return"),
            (self.signed(head + line + b"file setupm.exe 1 " + HASH.upper().encode() + b"\n"), "line 4 is not 'file"),
            (self.signed(head + b"file setup.exe 012 " + HASH.encode() + b"\n"), "line 3 is not 'file"),
            (self.signed(head + b"file setup.exe  12 " + HASH.encode() + b"\n"), "line 3 is not 'file"),
            (self.signed(head + b"file ../setup.exe 12 " + HASH.encode() + b"\n"), "line 3 is not 'file"),
            (self.signed(b"zembrio-release 1\nserial 0\n"), "line 2 is not 'serial N'"),
            (self.signed(b"zembrio-release 1\nserial 4294967296\n"), "line 2 is not 'serial N'"),
            (self.signed(b"zembrio-release 1\nserial 4294967295\nserial 4294967295\n"), "a second serial"),
            (self.signed(b"zembrio-release 1\n" + line), "no serial line"),
            (self.signed(head + b"\n" + line), "line 3 is malformed"),
            (self.signed(b"zembrio-release 2\nserial 1\n"), "a format this installer does not read"),
            (self.signed(b"MZ\x90\0"), "not a release file"),
            (good.replace(b"signature ", b"signature 00"), "a key not given"),  # one byte longer
            (good[:good.index(b"signature ") + 10] + good[good.index(b"signature ") + 10:].upper().replace(b"\n", b"")
             + b"\n", "lowercase hex"),
            (self.signed(head + b"note " + b"x" * 8192 + b"\n"), "over the 8192"),
        ]
        n = self.public.modulus
        over = good[:good.index(b"signature ")] + b"signature " + (n + 1).to_bytes(self.public.length, "big").hex().encode() + b"\n"
        cases.append((over, "not signed by a key given"))  # a signature at or above the modulus
        self.assert_verdicts(cases, self.public, 100)

    def test_only_the_one_encoding_of_a_signature_verifies(self):
        """Raw RSA over encodings a lax check would take: the hash at the end
        behind other bytes, the digest parameters left out; and a valid
        signature plus the modulus, the same number modulo it."""
        for _ in range(40):  # a modulus well below 2**2048 leaves room to add it to a signature
            key = self.path("raw.key", openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"))
            public = release.PublicKey.from_pem(openssl("pkey", "-in", key, "-pubout"), "raw.pub.pem")
            if public.modulus < 3 << 2046:
                break
        else:
            self.fail("no key with a small enough modulus")

        def raw(encoded):  # the private key's power of it, as openssl signs
            return openssl("pkeyutl", "-decrypt", "-inkey", key, "-pkeyopt", "rsa_padding_mode:none",
                           stdin=encoded)

        for serial in range(1, 41):
            body = b"zembrio-release 1\nserial %d\n" % serial
            digest = hashlib.sha256(body).digest()
            canonical = b"\x00\x01" + b"\xff" * 202 + b"\x00" + DIGEST_INFO + digest
            signature = int.from_bytes(raw(canonical), "big")
            if signature + public.modulus < 1 << 2048:
                break
        else:
            self.fail("no signature small enough to add the modulus to")
        lax_prefix = bytes.fromhex("302f300b0609608648016503040201" "0420")  # no NULL parameters
        signatures = [raw(canonical), (signature + public.modulus).to_bytes(256, "big"),
                      raw(b"\x00\x01" + b"\xff" * 204 + b"\x00" + lax_prefix + digest),
                      raw(b"\x00\x01" + b"\xff" * 100 + b"\xfe" + b"\xff" * 101 + canonical[-52:]),
                      raw(b"\x00\x02" + canonical[2:])]
        self.assert_verdicts([(body + b"signature " + data.hex().encode() + b"\n",
                               "not signed by a key given" if n else None) for n, data in enumerate(signatures)],
                             public, serial)

    def test_signed_release_verifies_with_openssl_and_lists_the_files(self):
        component = self.path("setupm.exe", b"\x4d\x5a" + bytes(range(256)) * 40)
        password = self.path("password", b"a pass phrase\n")
        encrypted = self.path("encrypted.key")
        openssl("pkey", "-in", self.key, "-aes256", "-passout", "file:" + password, "-out", encrypted)
        out = self.path("release.txt")
        for why, args, env in [("password file", ["--password-file", password], {}),
                               ("password variable", [], {release.PASSWORD_VARIABLE: "a pass phrase"})]:
            with self.subTest(why):
                run = tool("--sign", encrypted, "--serial", "7", "--out", out, component, *args, env=env)
                self.assertEqual(0, run.returncode, run.stderr)
                data = content(out)
                at = data.index(b"signature ")
                signature = self.path("signature", bytes.fromhex(data[at + 10:-1].decode()))
                self.assertIn(b"Verified OK", openssl("dgst", "-sha256", "-verify", self.public.where,
                                                      "-signature", signature, stdin=data[:at]))
                self.assertEqual(0, tool("--verify", out, "--trust", self.public.where, component).returncode)
        run = tool("--sign", encrypted, "--serial", "7", "--out", self.path("unsigned.txt"), component)
        self.assertEqual((1, False), (run.returncode, os.path.exists(self.path("unsigned.txt"))), run.stderr)
        with open(component, "ab") as grown:
            grown.write(b"\0")
        run = tool("--verify", out, "--trust", self.public.where, "--min-serial", "8", component)
        self.assertEqual(1, run.returncode)
        self.assertIn("serial 7, below the lowest accepted, 8", run.stderr)
        self.assertIn("setupm.exe is 10243 bytes", run.stderr)

    def test_header_holds_each_modulus_as_openssl_reads_it(self):
        second = self.path("second.pub.pem", openssl("pkey", "-pubout", stdin=openssl(
            "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:3072")))
        header = self.path("ReleaseKeys.h")
        run = tool("--header", header, "--min-serial", "4294967295", "--trust", self.public.where, "--trust", second)
        self.assertEqual(0, run.returncode, run.stderr)
        text = content(header).decode()
        lines = text.splitlines()
        self.assertEqual(["// generated: the release keys this build trusts", "#pragma once"], lines[:2])
        self.assertEqual("static const struct { const unsigned char* modulus; unsigned length; } kReleaseKeys[] = "
                         "{{kReleaseKey0, sizeof kReleaseKey0}, {kReleaseKey1, sizeof kReleaseKey1}};", lines[4])
        self.assertEqual("#define ZEMBRIO_MIN_RELEASE_SERIAL 4294967295u", lines[5])
        for number, path in enumerate((self.public.where, second)):
            found = re.fullmatch(r"static const unsigned char kReleaseKey%d\[\] = \{(.*)\};" % number, lines[2 + number])
            modulus = openssl("rsa", "-pubin", "-in", path, "-noout", "-modulus").decode().strip()
            self.assertEqual(modulus, "Modulus=" + "".join(b[2:] for b in found.group(1).split(",")).upper())

        # Unchanged input leaves the file alone, so nothing is compiled again.
        before = os.stat(header)
        self.assertEqual(0, tool("--header", header, "--min-serial", "4294967295", "--trust",
                                 "%s;%s" % (self.public.where, second)).returncode)
        self.assertEqual((before.st_ino, before.st_mtime_ns), (os.stat(header).st_ino, os.stat(header).st_mtime_ns))

        def public(*options):
            return self.path("refused.pem", openssl("pkey", "-pubout", stdin=openssl("genpkey", *options)))

        # trusted keys, lowest serial; words of the refusal
        for keys, serial, words in [
                (lambda: public("-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024"), "1", "1024 bits"),
                (lambda: public("-algorithm", "RSA", "-pkeyopt", "rsa_keygen_pubexp:3"), "1", "public exponent 3"),
                (lambda: public("-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"), "1", "not an RSA key"),
                (lambda: self.key, "1", "holds a private key"),
                (lambda: "%s;%s" % (second, second), "1", "the same key as"),
                (lambda: second, "0", "not a serial"),
                (lambda: second, "4294967296", "not a serial")]:
            with self.subTest(words):
                run = tool("--header", header, "--min-serial", serial, "--trust", keys())
                self.assertNotEqual(0, run.returncode)
                self.assertIn(words, run.stderr)
                self.assertEqual(text, content(header).decode())

    def test_test_keys_are_made_once_and_kept_private(self):
        keys = {name: content(os.path.join(self.keys, name)) for name in os.listdir(self.keys)}
        self.assertEqual({"release.key", "release.pub.pem", "foreign-release.key", "foreign-release.pub.pem"},
                         set(keys))
        self.assertEqual(0, tool("--make-test-key", self.keys).returncode)
        self.assertEqual(keys, {name: content(os.path.join(self.keys, name)) for name in keys})
        for name in ("release", "foreign-release"):
            path = os.path.join(self.keys, name)
            self.assertEqual(0o600, stat.S_IMODE(os.stat(path + ".key").st_mode))
            self.assertEqual(openssl("pkey", "-in", path + ".key", "-pubout"), keys[name + ".pub.pem"])
        self.assertNotEqual(keys["release.pub.pem"], keys["foreign-release.pub.pem"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
