#!/usr/bin/python3
"""release.txt: the list of components the installer accepts, signed offline
by the publisher's release key.

    tools/release.py --sign KEY.pem --serial N [--password-file FILE] [--out release.txt] FILE...
    tools/release.py --verify release.txt --trust PUB.pem [--trust ...] [--min-serial N] [FILE...]
    tools/release.py --header ReleaseKeys.h --trust PUB.pem [--trust ...] [--min-serial N]
    tools/release.py --make-test-key FOLDER

The file (ANSI text, lines ending in LF, at most 8 KiB):

    zembrio-release 1
    serial N                      1 to 4294967295, one above the last release
    file NAME SIZE SHA256         one line per component served
    signature HEX                 RSASSA-PKCS1-v1_5 with SHA-256 of every byte above

The installer ignores lines with another first word (they are signed all the
same) and refuses the file on a malformed line, a name listed twice, a
missing signature, a signature by none of its keys or a serial below its
minimum. Keys are RSA of 2048 to 4096 bits with exponent 65537.

--sign writes the release for FILEs (name, size, SHA-256 of each) signed by
openssl with the private key; an encrypted key's password comes from
--password-file or ZEMBRIO_RELEASE_PASSWORD and reaches openssl through a
file or a pipe, never a command line. The signature is checked before
anything is written. --verify checks a release against public keys (PEM,
"openssl rsa -pubout" form), and with FILEs that each is listed with its size
and SHA-256. --header writes the C++ header of the moduli a build trusts,
only when its content changes. --make-test-key makes, once per folder,
release.key (mode 0600) and release.pub.pem, and foreign-release.key and
foreign-release.pub.pem, a key nothing trusts. Exit code 0 on success, 1 on
a failure, 2 for bad arguments.
"""

import argparse
import base64
import fcntl
import hashlib
import hmac
import os
import re
import subprocess
import sys
import tempfile

from wire import RELEASE_NAME

FILE_NAME = RELEASE_NAME
FORMAT_LINE = b"zembrio-release 1"
MAX_SIZE = 8192
MAX_SERIAL = 4294967295
MIN_BITS, MAX_BITS, EXPONENT = 2048, 4096, 65537
PASSWORD_VARIABLE = "ZEMBRIO_RELEASE_PASSWORD"
TEST_KEYS = ("release", "foreign-release")
OPENSSL_PASSWORD_LIMIT = 1023  # openssl reads at most this much of -passin

NAME = re.compile(rb"[A-Za-z0-9][A-Za-z0-9._-]{0,63}")
SERIAL = re.compile(rb"[1-9][0-9]{0,9}")
SIZE = re.compile(rb"0|[1-9][0-9]{0,18}")
SHA256_HEX = re.compile(rb"[0-9a-f]{64}")
SIGNATURE_HEX = re.compile(rb"(?:[0-9a-f]{2})+")
# What an EMSA-PKCS1-v1_5 encoding holds before a SHA-256 hash (RFC 8017, 9.2).
SHA256_DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420")
RSA_ENCRYPTION = bytes.fromhex("2a864886f70d010101")
RSA_PSS = bytes.fromhex("2a864886f70d01010a")


class ReleaseError(ValueError):
    pass


# Public keys.

def _der(data, pos, end, tag, what):
    """(content start, content end) of the DER element of this tag at pos."""
    if pos + 2 > end or data[pos] != tag:
        raise ReleaseError("%s: not the DER element expected" % what)
    length, start = data[pos + 1], pos + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 2 or start + count > end or data[start] == 0:
            raise ReleaseError("%s: a DER length this key cannot have" % what)
        length = int.from_bytes(data[start:start + count], "big")
        start += count
        if length < 0x80:
            raise ReleaseError("%s: a DER length in more bytes than it needs" % what)
    if start + length > end:
        raise ReleaseError("%s: cut short" % what)
    return start, start + length


def _positive_integer(data, pos, end, what):
    start, stop = _der(data, pos, end, 0x02, what)
    raw = data[start:stop]
    if not raw or raw[0] & 0x80 or (len(raw) > 1 and raw[0] == 0 and not raw[1] & 0x80):
        raise ReleaseError("%s: not a positive DER integer" % what)
    return int.from_bytes(raw, "big"), stop


class PublicKey:
    """An RSA public key the installer can hold: 2048 to 4096 bits, exponent
    65537. length is the size in bytes of the modulus and of a signature."""

    def __init__(self, der, where):
        self.der, self.where = der, where
        outer = _der(der, 0, len(der), 0x30, where)
        if outer[1] != len(der):
            raise ReleaseError("%s: bytes after the key" % where)
        algorithm = _der(der, outer[0], outer[1], 0x30, where)
        oid = _der(der, algorithm[0], algorithm[1], 0x06, where)
        if der[oid[0]:oid[1]] == RSA_PSS:
            raise ReleaseError("%s: an RSA-PSS key; the installer checks PKCS#1 v1.5 signatures: make a plain "
                               "RSA key (openssl genpkey -algorithm RSA)" % where)
        if der[oid[0]:oid[1]] != RSA_ENCRYPTION:
            raise ReleaseError("%s: not an RSA key; the installer checks RSA signatures only" % where)
        if der[oid[1]:algorithm[1]] != b"\x05\x00":
            raise ReleaseError("%s: RSA key without its NULL parameters" % where)
        bits = _der(der, algorithm[1], outer[1], 0x03, where)
        if bits[1] != outer[1] or der[bits[0]:bits[0] + 1] != b"\x00":
            raise ReleaseError("%s: a malformed key" % where)
        sequence = _der(der, bits[0] + 1, bits[1], 0x30, where)
        self.modulus, pos = _positive_integer(der, sequence[0], sequence[1], where)
        self.exponent, pos = _positive_integer(der, pos, sequence[1], where)
        if pos != sequence[1] or sequence[1] != bits[1]:
            raise ReleaseError("%s: bytes after the key's exponent" % where)
        self.bits = self.modulus.bit_length()
        self.length = (self.bits + 7) // 8
        if not MIN_BITS <= self.bits <= MAX_BITS:
            raise ReleaseError("%s: an RSA key of %d bits; the installer takes %d to %d bits"
                               % (where, self.bits, MIN_BITS, MAX_BITS))
        if self.exponent != EXPONENT:
            raise ReleaseError("%s: public exponent %d; the installer takes %d only" % (where, self.exponent, EXPONENT))
        if not self.modulus & 1:
            raise ReleaseError("%s: an even modulus, not an RSA key" % where)
        self.fingerprint = hashlib.sha256(der).hexdigest()

    @classmethod
    def from_pem(cls, text, where):
        if re.search(rb"-----BEGIN [A-Z ]*PRIVATE KEY-----", text):
            raise ReleaseError("%s holds a private key: give its public key (openssl rsa -in KEY -pubout), "
                               "and keep the private one off the build machine" % where)
        blocks = re.findall(rb"-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----", text, re.S)
        if len(blocks) != 1:
            hint = (" (a PKCS#1 key: convert it with openssl rsa -RSAPublicKey_in -in FILE -pubout)"
                    if b"BEGIN RSA PUBLIC KEY" in text else "")
            raise ReleaseError("%s: %s public key in PEM form (BEGIN PUBLIC KEY)%s"
                               % (where, "not one" if blocks else "no", hint))
        try:
            der = base64.b64decode(b"".join(blocks[0].split()), validate=True)
        except ValueError:
            raise ReleaseError("%s: the PEM block is not base64" % where) from None
        return cls(der, where)

    def modulus_bytes(self):
        return self.modulus.to_bytes(self.length, "big")

    def describe(self):
        return "%s (RSA %d bits, SHA-256 %s)" % (self.where, self.bits, self.fingerprint[:16])


def load_public_key(path):
    try:
        with open(path, "rb") as source:
            return PublicKey.from_pem(source.read(), path)
    except OSError as error:
        raise ReleaseError("%s: %s" % (path, error.strerror or error)) from None


def load_public_keys(paths):
    keys = [load_public_key(path) for path in paths]
    seen = {}
    for key in keys:
        if key.modulus in seen:
            raise ReleaseError("%s is the same key as %s" % (key.where, seen[key.modulus]))
        seen[key.modulus] = key.where
    return keys


# The file.

class Release:
    """A parsed release: serial, files {name: (size, sha256)} in file order,
    the signed body and the signature; key is the key that verified it."""

    def __init__(self, serial, files, body, signature):
        self.serial, self.files, self.body, self.signature = serial, files, body, signature
        self.key = None


def _shown(line):
    text = line.decode("latin-1")
    return repr(text if len(text) <= 60 else text[:60] + "...")


def parse(data):
    """The structure of a release, without its signature checked; ReleaseError
    names the line that the installer would refuse it for."""
    if len(data) > MAX_SIZE:
        raise ReleaseError("%d bytes, over the %d the installer reads" % (len(data), MAX_SIZE))
    first = data.split(b"\n", 1)[0]
    if first.rstrip(b"\r") == FORMAT_LINE and first != FORMAT_LINE:
        raise ReleaseError("line 1 ends in a carriage return: lines end in LF alone (was it written in text mode?)")
    if first != FORMAT_LINE:
        if first.startswith(FORMAT_LINE.split()[0] + b" "):
            raise ReleaseError("line 1 is %s: a format this installer does not read" % _shown(first))
        raise ReleaseError("not a release file: line 1 is %s, not 'zembrio-release 1'" % _shown(first))
    serial, files = None, {}
    offset, number = len(FORMAT_LINE) + 1, 1
    while offset < len(data):
        number += 1
        end = data.find(b"\n", offset)
        if end < 0:
            raise ReleaseError("line %d does not end in LF (the file is cut short?)" % number)
        line = data[offset:end]
        if b"\r" in line or b"\0" in line:
            raise ReleaseError("line %d holds a %s: lines end in LF alone (was it written in text mode?)"
                               % (number, "carriage return" if b"\r" in line else "NUL byte"))
        word, _, rest = line.partition(b" ")
        if line.startswith(b"signature "):
            if not SIGNATURE_HEX.fullmatch(rest):
                raise ReleaseError("line %d is not 'signature' and lowercase hex bytes: %s" % (number, _shown(line)))
            if end + 1 != len(data):
                raise ReleaseError("line %d follows the signature: the signature ends the file" % (number + 1))
            if serial is None:
                raise ReleaseError("no serial line before the signature")
            return Release(serial, files, data[:offset], bytes.fromhex(rest.decode("ascii")))
        if word == b"serial":
            if not SERIAL.fullmatch(rest) or int(rest) > MAX_SERIAL:
                raise ReleaseError("line %d is not 'serial N', N from 1 to %d: %s" % (number, MAX_SERIAL, _shown(line)))
            if serial is not None:
                raise ReleaseError("line %d: a second serial" % number)
            serial = int(rest)
        elif word == b"file":
            fields = rest.split(b" ")
            if (len(fields) != 3 or not NAME.fullmatch(fields[0]) or not SIZE.fullmatch(fields[1])
                    or not SHA256_HEX.fullmatch(fields[2])):
                raise ReleaseError("line %d is not 'file NAME SIZE SHA256' (size in decimal, SHA-256 in 64 "
                                   "lowercase hex digits): %s" % (number, _shown(line)))
            name = fields[0].decode("ascii")
            if name in files:
                raise ReleaseError("line %d lists %s a second time" % (number, name))
            files[name] = (int(fields[1]), fields[2].decode("ascii"))
        elif not word or word == b"signature":
            raise ReleaseError("line %d is malformed: %s" % (number, _shown(line)))
        offset = end + 1
    raise ReleaseError("no signature line: the installer refuses an unsigned release")


def _encoding(digest, length):
    """EMSA-PKCS1-v1_5 of a SHA-256 digest for a modulus of length bytes."""
    tail = SHA256_DIGEST_INFO + digest
    return b"\x00\x01" + b"\xff" * (length - 3 - len(tail)) + b"\x00" + tail


def verify(data, keys):
    """The release if one of keys signed it as it stands; ReleaseError says why not."""
    release = parse(data)
    fitting = [key for key in keys if key.length == len(release.signature)]
    if not fitting:
        raise ReleaseError("its signature is %d bytes long, a %d-bit key's, and no key given is of that size: "
                           "signed by a key not given" % (len(release.signature), 8 * len(release.signature)))
    digest = hashlib.sha256(release.body).digest()
    representative = int.from_bytes(release.signature, "big")
    altered = None
    for key in fitting:
        if representative >= key.modulus:
            continue
        encoded = pow(representative, EXPONENT, key.modulus).to_bytes(key.length, "big")
        expected = _encoding(digest, key.length)
        if hmac.compare_digest(encoded, expected):
            release.key = key
            return release
        if encoded[:-len(digest)] == expected[:-len(digest)]:
            altered = key  # a valid signature by this key, of other bytes
    if altered:
        raise ReleaseError("signed by %s, but changed after signing: the signature is of other bytes"
                           % altered.where)
    raise ReleaseError("not signed by a key given (%s): signed by another key, or the signature is damaged"
                       % ", ".join(key.where for key in keys))


def file_entry(path):
    """(name, size, sha256) of a file, named by its base name."""
    digest, size = hashlib.sha256(), 0
    with open(path, "rb") as source:
        for block in iter(lambda: source.read(1 << 20), b""):
            digest.update(block)
            size += len(block)
    return os.path.basename(path), size, digest.hexdigest()


def check_serial(serial):
    if not isinstance(serial, int) or not 1 <= serial <= MAX_SERIAL:
        raise ReleaseError("serial %r: a release's serial is 1 to %d" % (serial, MAX_SERIAL))
    return serial


def make_body(serial, entries):
    """What is signed: the format line, the serial, a file line per (name, size, sha256)."""
    lines = [FORMAT_LINE, b"serial %d" % check_serial(serial)]
    seen = set()
    for name, size, digest in entries:
        encoded = name.encode("ascii", "replace")
        if not NAME.fullmatch(encoded) or not SIZE.fullmatch(b"%d" % size) or not SHA256_HEX.fullmatch(
                digest.encode("ascii", "replace")):
            raise ReleaseError("cannot list %r, %r bytes, SHA-256 %r in a release" % (name, size, digest))
        if name in seen:
            raise ReleaseError("%s is listed twice" % name)
        seen.add(name)
        lines.append(b"file %s %d %s" % (encoded, size, digest.encode("ascii")))
    return b"\n".join(lines) + b"\n"


# openssl, for what takes the private key.

def password_source(password_file=None, environment=None):
    """How openssl gets the key's password: ("file", path), ("pipe", bytes),
    or ("pipe", b"") when there is none (an encrypted key then fails at once
    instead of asking on a terminal)."""
    environment = os.environ if environment is None else environment
    if password_file:
        if not os.path.isfile(password_file):
            raise ReleaseError("%s: no such password file" % password_file)
        return "file", password_file
    secret = os.fsencode(environment.get(PASSWORD_VARIABLE, ""))
    if b"\n" in secret or b"\r" in secret or len(secret) > OPENSSL_PASSWORD_LIMIT:
        raise ReleaseError("%s holds a line break or over %d bytes: openssl cannot take that password; "
                           "give a password file" % (PASSWORD_VARIABLE, OPENSSL_PASSWORD_LIMIT))
    return "pipe", secret


def _openssl(arguments, stdin=b"", password=None, environment=None):
    environment = os.environ if environment is None else environment
    command = ["openssl"] + arguments
    read_end = None
    if password is not None:
        kind, value = password
        if kind == "file":
            command += ["-passin", "file:" + value]
        else:
            read_end, write_end = os.pipe()
            os.write(write_end, value + b"\n")  # at most a kilobyte: the pipe holds it
            os.close(write_end)
            command += ["-passin", "fd:%d" % read_end]
    # The password never sits in openssl's environment either, and without a
    # terminal openssl cannot stop to ask for one.
    child = {name: text for name, text in environment.items() if name != PASSWORD_VARIABLE}
    try:
        run = subprocess.run(command, input=stdin, capture_output=True, env=child, timeout=300,
                             pass_fds=() if read_end is None else (read_end,), start_new_session=True)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise ReleaseError("openssl: %s (tools/setup-machine installs it)" % error) from None
    finally:
        if read_end is not None:
            os.close(read_end)
    if run.returncode != 0:
        lines = run.stderr.decode(errors="replace").strip().splitlines()
        raise ReleaseError("openssl %s failed: %s" % (arguments[0], lines[0] if lines else "no output"))
    return run.stdout


def sign(body, key_path, password_file=None, environment=None):
    """body with its signature line, by the private key at key_path; checked
    against the key's public half before it is returned."""
    if not os.path.isfile(key_path):
        raise ReleaseError("%s: no such release key" % key_path)
    password = password_source(password_file, environment)
    try:
        public = PublicKey.from_pem(_openssl(["pkey", "-in", key_path, "-pubout"], password=password,
                                             environment=environment), key_path)
    except ReleaseError as error:
        raise ReleaseError("cannot read the release key: %s (an encrypted key takes its password from "
                           "--password-file or %s: is it given, and right?)" % (error, PASSWORD_VARIABLE)) from None
    signature = _openssl(["dgst", "-sha256", "-sign", key_path], body, password, environment)
    data = body + b"signature " + signature.hex().encode("ascii") + b"\n"
    if len(data) > MAX_SIZE:
        raise ReleaseError("the release would be %d bytes, over the %d the installer reads" % (len(data), MAX_SIZE))
    verify(data, [public])
    return data


# Files.

def replace_file(path, data, mode):
    """Writes path whole or not at all, through a temporary file beside it."""
    folder, name = os.path.split(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix="." + name + ".")
    try:
        with os.fdopen(descriptor, "wb") as out:
            os.fchmod(out.fileno(), mode)
            out.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise


def write_if_changed(path, data, mode=0o644):
    """True when path was written; an unchanged file keeps its time, so
    nothing that depends on it is built again."""
    try:
        with open(path, "rb") as current:
            if current.read() == data:
                return False
    except FileNotFoundError:
        pass
    replace_file(path, data, mode)
    return True


def header_text(keys, min_serial):
    """The C++ header: each trusted modulus, big-endian, and the lowest serial."""
    check_serial(min_serial)
    if not keys:
        raise ReleaseError("no release key: the installer would accept no release")
    lines = ["// generated: the release keys this build trusts", "#pragma once"]
    for number, key in enumerate(keys):
        lines.append("static const unsigned char kReleaseKey%d[] = {%s};"
                     % (number, ",".join("0x%02x" % byte for byte in key.modulus_bytes())))
    lines.append("static const struct { const unsigned char* modulus; unsigned length; } kReleaseKeys[] = {%s};"
                 % ", ".join("{kReleaseKey%d, sizeof kReleaseKey%d}" % (n, n) for n in range(len(keys))))
    lines.append("#define ZEMBRIO_MIN_RELEASE_SERIAL %du" % min_serial)
    return "\n".join(lines) + "\n"


def make_test_key(folder, out=sys.stdout):
    """release.key and foreign-release.key with their public keys, made once
    per folder; a public key older than its private key is made again."""
    os.makedirs(folder, exist_ok=True)
    lock = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)  # two configures of one build folder make one key each, not a mix
        for name in TEST_KEYS:
            key, public = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".pub.pem")
            if not os.path.exists(key):
                replace_file(key, _openssl(["genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"]),
                             0o600)
            elif os.path.exists(public) and os.stat(public).st_mtime_ns >= os.stat(key).st_mtime_ns:
                continue
            replace_file(public, _openssl(["pkey", "-in", key, "-pubout"]), 0o644)
            print("%s: %s" % (folder, load_public_key(public).describe()), file=out)
    finally:
        os.close(lock)


def serial_argument(text):
    if not SERIAL.fullmatch(text.encode()) or int(text) > MAX_SERIAL:
        raise argparse.ArgumentTypeError("%r is not a serial (1 to %d, decimal)" % (text, MAX_SERIAL))
    return int(text)


def trusted_keys(values):
    """Public keys from --trust values, each a path or a ';'-separated list."""
    return load_public_keys([path for value in values for path in value.split(";") if path])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n\n".join(__doc__.split("\n\n")[1:]))
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--sign", metavar="KEY", help="sign a release of FILEs with this PEM private key")
    mode.add_argument("--verify", metavar="RELEASE", help="check a release (and FILEs against it)")
    mode.add_argument("--header", metavar="OUT", help="write the C++ header of the trusted keys")
    mode.add_argument("--make-test-key", metavar="FOLDER", help="make the test release keys in FOLDER if missing")
    parser.add_argument("files", nargs="*", metavar="FILE")
    parser.add_argument("--serial", type=serial_argument, help="the release's serial (--sign)")
    parser.add_argument("--password-file", metavar="FILE", help="the key's password (else $%s)" % PASSWORD_VARIABLE)
    parser.add_argument("--out", metavar="FILE", help="where --sign writes the release (default: standard output)")
    parser.add_argument("--trust", metavar="PUB", action="append", default=[],
                        help="a trusted PEM public key, or ';'-separated keys (repeatable)")
    parser.add_argument("--min-serial", type=serial_argument, default=1, help="lowest serial accepted (default 1)")
    args = parser.parse_args(argv)
    if args.sign and args.serial is None:
        parser.error("--sign needs --serial N")
    if args.sign and not args.files:
        parser.error("--sign needs the FILEs the release lists")
    if (args.verify or args.header) and not args.trust:
        parser.error("give the trusted public keys with --trust")
    if args.header and args.files:
        parser.error("--header takes no FILE")

    try:
        if args.make_test_key:
            make_test_key(args.make_test_key)
        elif args.sign:
            data = sign(make_body(args.serial, [file_entry(path) for path in args.files]), args.sign,
                        args.password_file)
            if args.out:
                replace_file(args.out, data, 0o644)
            else:
                sys.stdout.buffer.write(data)
        elif args.header:
            keys = trusted_keys(args.trust)
            written = write_if_changed(args.header, header_text(keys, args.min_serial).encode("ascii"))
            for key in keys:
                print("%s: trusts %s" % (os.path.basename(args.header), key.describe()))
            print("%s: lowest serial %d%s" % (os.path.basename(args.header), args.min_serial,
                                              "" if written else " (unchanged)"))
        else:
            return verify_command(args)
    except (ReleaseError, OSError) as error:
        print("release: %s" % error, file=sys.stderr)
        return 1
    return 0


def verify_command(args):
    keys = trusted_keys(args.trust)
    with open(args.verify, "rb") as source:
        data = source.read(MAX_SIZE + 1)
    release = verify(data, keys)
    faults = []
    if release.serial < args.min_serial:
        faults.append("serial %d, below the lowest accepted, %d" % (release.serial, args.min_serial))
    for path in args.files:
        name, size, digest = file_entry(path)
        if name not in release.files:
            faults.append("%s is not listed" % name)
        elif release.files[name] != (size, digest):
            faults.append("%s is %d bytes with SHA-256 %s, listed as %d bytes with %s"
                          % (name, size, digest, *release.files[name]))
    for fault in faults:
        print("%s: %s" % (args.verify, fault), file=sys.stderr)
    print("%s: serial %d, signed by %s, %s" % (args.verify, release.serial, release.key.describe(),
                                              ", ".join(release.files) or "no files"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
