"""What makes a file fit to serve to the installer, checked by tools/publish
before an upload and by tools/deploy-check on the live server: the
installer's minimum sizes, the PE header checksum, the signatures of the
publisher's own components by the pinned signers; and the manifest of a
release (name, size and SHA-256 of each file the install folder should
serve).

Each check returns (ok, text): text says what was found and, on a failure,
what the installer would do and what to fix."""

import hashlib
import os
import re
import tempfile

import authenticode
from pe_checksum import PeError, compute_checksum, header_checksum
from wire import COMPONENTS

MINIMUM = dict(COMPONENTS)
# The components that carry the publisher's Authenticode signature (Windows'
# SmartScreen reads it); dotnetfx.exe is served as its maker signed it.
PUBLISHER_SIGNED = ("installhelper.exe", "setup.exe", "setupm.exe")
SIGNED_FORM = ["sha1", "sha256"]
REFUSED = "the installer refuses it (BadSignature) and deletes it"
HEX64 = re.compile(r"[0-9a-f]{64}")  # a SHA-256 in hex
MANIFEST_HEADER = "# name, size in bytes, SHA-256: what the install folder should serve (tools/publish)\n"


def pins_given(values, environment=None):
    """The signer pins from --signer values, else from ZEMBRIO_TRUSTED_SIGNERS."""
    environment = os.environ if environment is None else environment
    return values or [p for p in environment.get("ZEMBRIO_TRUSTED_SIGNERS", "").split(";") if p]


def check_size(name, data):
    minimum = MINIMUM[name]
    if len(data) < minimum:
        return False, ("%d bytes, the installer needs at least %d: the file is incomplete or not the release "
                       "build; upload it again" % (len(data), minimum))
    return True, "%d bytes (at least %d)" % (len(data), minimum)


def check_checksum(data):
    try:
        stored, computed = header_checksum(data), compute_checksum(data)
    except PeError as error:
        return False, "not a Windows program (%s): upload the right file" % error
    if stored != computed:
        return False, ("header checksum 0x%08X but the file sums to 0x%08X: the installer deletes it as "
                       "damaged; upload it again" % (stored, computed))
    return True, "header checksum 0x%08X matches" % stored


def check_signature(name, data, pins):
    try:
        found = authenticode.signatures(data)
    except authenticode.AuthenticodeError as error:
        return False, "%s: %s; sign it again with tools/sign and upload it" % (error, REFUSED)
    if not found:
        return False, "not signed: %s; sign it with tools/sign and upload it again" % REFUSED
    foreign = [s for s in found if s.pin not in pins]
    if foreign:
        return False, ("signed by %s (pin %s), not by a signer given with --signer: %s; sign it with the "
                       "publisher's key (tools/sign)" % (foreign[0].name, foreign[0].pin, REFUSED))
    digests = [s.digest for s in found]
    if digests != SIGNED_FORM:
        return False, ("its signatures have %s file digests, not SHA-1 with a nested SHA-256: Windows 98 to XP "
                       "verify only a SHA-1 primary signature; sign it again with tools/sign"
                       % " + ".join(d.upper() for d in digests))
    with tempfile.TemporaryDirectory(prefix="zembrio-signature-") as folder:
        path = os.path.join(folder, name)
        with open(path, "wb") as out:
            out.write(data)
        try:
            ok, output = authenticode.verify(path, [s.certificate for s in found])
        except OSError as error:
            return False, "cannot run osslsigncode (%s): install it (tools/setup-machine) to check signatures" % error
    if not ok:
        return False, ("%s: %s; upload the file exactly as signed (a transfer in text mode or a tool that "
                       "edits files changes it)" % (authenticode.verify_failure(output), REFUSED))
    return True, "SHA-1 and nested SHA-256 signatures by %s (pin %s) verify" % (found[0].name, found[0].pin)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_manifest(path):
    """{name: (size, sha256)} in file order; ValueError naming the line."""
    entries = {}
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            if len(fields) != 3 or not fields[1].isdigit() or not HEX64.fullmatch(fields[2]):
                raise ValueError("%s line %d: not \"NAME SIZE SHA256\" (%s)" % (path, number, line.strip()))
            if fields[0] not in MINIMUM:
                raise ValueError("%s line %d: %s is not a file the installer downloads" % (path, number, fields[0]))
            if fields[0] in entries:
                raise ValueError("%s line %d: %s is listed twice" % (path, number, fields[0]))
            entries[fields[0]] = (int(fields[1]), fields[2])
    return entries


def write_manifest(path, entries):
    """Writes {name: (size, sha256)} whole or not at all."""
    folder = os.path.dirname(os.path.abspath(path))
    with tempfile.NamedTemporaryFile("w", dir=folder, prefix=".manifest-", delete=False, encoding="utf-8") as out:
        out.write(MANIFEST_HEADER)
        for name, (size, digest) in entries.items():
            out.write("%s %d %s\n" % (name, size, digest))
    os.replace(out.name, path)
