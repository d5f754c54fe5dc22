"""Reads the Authenticode signatures of a Windows PE file: for the primary
signature and each nested one, the file digest algorithm and the signer's
certificate, with its pin (the lowercase hex SHA-256 of the certificate's DER
SubjectPublicKeyInfo, what the installer compares with the pins it was built
with). Reading only: whether a signature is valid is osslsigncode's answer
(verify()); the PE headers are read with pefile (pe_checksum.headers()).

The same pin from the command line:
    openssl x509 -in CERT -pubkey -noout | openssl pkey -pubin -outform der | sha256sum
"""

import hashlib
import os
import re
import ssl
import struct
import subprocess
import tempfile

from pe_checksum import PeError, headers

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
DIGESTS = {"1.2.840.113549.2.5": "md5", "1.3.14.3.2.26": "sha1", "2.16.840.1.101.3.4.2.1": "sha256",
           "2.16.840.1.101.3.4.2.2": "sha384", "2.16.840.1.101.3.4.2.3": "sha512"}
NAME_PARTS = (("2.5.4.3", "CN"), ("2.5.4.10", "O"))
SECURITY_DIRECTORY = 4
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


class AuthenticodeError(ValueError):
    pass


class Signature:
    """One signature: index 0 is the primary one, 1.. the nested ones in order."""

    def __init__(self, index, digest, certificate, certificates):
        self.index, self.digest, self.certificate, self.certificates = index, digest, certificate, certificates
        self.pin = certificate_pin(certificate)
        self.name = certificate_name(certificate)

    def __repr__(self):
        return "Signature(%d, %s, %s, %s)" % (self.index, self.digest, self.pin, self.name)


# DER, as much of it as signatures and certificates use.

def _element(data, pos, end=None):
    """(tag, content start, content end) of the DER element at pos."""
    end = len(data) if end is None else end
    if pos + 2 > end:
        raise AuthenticodeError("truncated DER element at %d" % pos)
    tag, length = data[pos], data[pos + 1]
    start = pos + 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or start + count > end:
            raise AuthenticodeError("unsupported DER length at %d" % pos)
        length = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + length > end:
        raise AuthenticodeError("DER element at %d runs past its container" % pos)
    return tag, start, start + length


def _children(data, start, end):
    """[(tag, element start, content start, content end)] of the elements in start..end."""
    items, pos = [], start
    while pos < end:
        tag, content, stop = _element(data, pos, end)
        items.append((tag, pos, content, stop))
        pos = stop
    return items


def _expect(item, tag, what):
    if item[0] != tag:
        raise AuthenticodeError("%s: tag 0x%02X, expected 0x%02X" % (what, item[0], tag))
    return item


def _oid(raw):
    first, value = raw[0], 0
    parts = [str(min(first // 40, 2)), str(first - 40 * min(first // 40, 2))]
    for byte in raw[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(str(value))
            value = 0
    return ".".join(parts)


def _string(tag, raw):
    if tag == 0x1E:  # BMPString
        return raw.decode("utf-16-be", "replace")
    return raw.decode("utf-8" if tag == 0x0C else "latin-1", "replace")


# Certificates.

def _tbs_fields(der):
    """The fields of a certificate's tbsCertificate, without the optional version."""
    cert = _expect(_children(der, 0, len(der))[0], 0x30, "certificate")
    tbs = _expect(_children(der, cert[2], cert[3])[0], 0x30, "tbsCertificate")
    fields = _children(der, tbs[2], tbs[3])
    if fields and fields[0][0] == 0xA0:
        fields = fields[1:]
    if len(fields) < 6:
        raise AuthenticodeError("tbsCertificate has too few fields")
    return fields  # serial, signature, issuer, validity, subject, subjectPublicKeyInfo, ...


def certificate_pin(der):
    """Lowercase hex SHA-256 of the certificate's DER SubjectPublicKeyInfo."""
    spki = _tbs_fields(der)[5]
    return hashlib.sha256(der[spki[1]:spki[3]]).hexdigest()


def _issuer_and_serial(der):
    fields = _tbs_fields(der)
    return der[fields[2][1]:fields[2][3]], der[fields[0][1]:fields[0][3]]


def _name_text(der, name):
    found = {}
    for rdn in _children(der, name[2], name[3]):
        for pair in _children(der, rdn[2], rdn[3]):
            parts = _children(der, pair[2], pair[3])
            if len(parts) == 2 and parts[0][0] == 0x06:
                found.setdefault(_oid(der[parts[0][2]:parts[0][3]]), _string(parts[1][0], der[parts[1][2]:parts[1][3]]))
    text = ", ".join("%s=%s" % (short, found[oid]) for oid, short in NAME_PARTS if oid in found)
    return text or "(no common name)"


def certificate_name(der):
    """The subject's common name and organisation, for people to read."""
    return _name_text(der, _tbs_fields(der)[4])


def load_certificates(path):
    """The DER certificates in a PEM file (any number) or a DER file (one)."""
    with open(path, "rb") as f:
        data = f.read()
    blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", data, re.S)
    if blocks:
        return [ssl.PEM_cert_to_DER_cert(block.decode("ascii")) for block in blocks]
    if data[:1] == b"\x30":
        try:
            certificate_pin(data)
            return [data]
        except (AuthenticodeError, IndexError):
            pass
    raise AuthenticodeError("%s holds no certificate (PEM or DER)" % path)


def pem(der):
    return ssl.DER_cert_to_PEM_cert(der)


# Signatures.

def certificate_table(data):
    """(file offset, size) of the certificate table, or None when there is none."""
    try:
        pe = headers(data)
    except PeError as error:
        raise AuthenticodeError("not a Windows program (%s)" % error) from None
    optional = pe.OPTIONAL_HEADER
    if pe.PE_TYPE is None:
        raise AuthenticodeError("unknown optional header magic 0x%X" % optional.Magic)
    if len(optional.DATA_DIRECTORY) <= SECURITY_DIRECTORY:
        return None
    # The security directory holds a file offset, not an address.
    entry = optional.DATA_DIRECTORY[SECURITY_DIRECTORY]
    offset, size = entry.VirtualAddress, entry.Size
    if offset == 0 or size == 0:
        return None
    if offset + size > len(data) or size < 8:
        raise AuthenticodeError("the certificate table (at %d, %d bytes) lies outside the file" % (offset, size))
    return offset, size


def signature_blob(data):
    """The PKCS#7 SignedData of the first WIN_CERTIFICATE entry, or None for an unsigned file."""
    table = certificate_table(data)
    if table is None:
        return None
    offset, size = table
    length, _revision, kind = struct.unpack_from("<IHH", data, offset)
    if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or length < 8 or length > size:
        raise AuthenticodeError("the certificate table holds no PKCS#7 signature (type %d)" % kind)
    return data[offset + 8:offset + length]


def _parse_content_info(der, start, end, first_index, out):
    # The table entry is padded to 8 bytes after the DER: read one element.
    tag, content_start, content_end = _element(der, start, end)
    info = _expect((tag, start, content_start, content_end), 0x30, "ContentInfo")
    parts = _children(der, info[2], info[3])
    if len(parts) < 2 or _oid(der[parts[0][2]:parts[0][3]]) != OID_SIGNED_DATA:
        raise AuthenticodeError("the signature is not PKCS#7 SignedData")
    signed = _expect(_children(der, parts[1][2], parts[1][3])[0], 0x30, "SignedData")
    fields = _children(der, signed[2], signed[3])
    content = _expect(fields[2], 0x30, "SignedData content")
    spc = _children(der, content[2], content[3])
    indirect = _expect(_children(der, spc[1][2], spc[1][3])[0], 0x30, "SpcIndirectDataContent")
    digest_info = _children(der, indirect[2], indirect[3])[1]
    algorithm = _children(der, digest_info[2], digest_info[3])[0]
    oid = _children(der, algorithm[2], algorithm[3])[0]
    digest = DIGESTS.get(_oid(der[oid[2]:oid[3]]), _oid(der[oid[2]:oid[3]]))
    certificates = [der[c[1]:c[3]] for f in fields[3:] if f[0] == 0xA0 for c in _children(der, f[2], f[3])
                    if c[0] == 0x30]
    signer_infos = _expect(fields[-1], 0x31, "SignerInfos")
    infos = _children(der, signer_infos[2], signer_infos[3])
    if len(infos) != 1:
        raise AuthenticodeError("a signature with %d signers (Authenticode has one)" % len(infos))
    info_fields = _children(der, infos[0][2], infos[0][3])
    sid = info_fields[1]
    if sid[0] != 0x30:
        raise AuthenticodeError("the signer is named by key identifier, not by issuer and serial number")
    sid_parts = _children(der, sid[2], sid[3])
    wanted = (der[sid_parts[0][1]:sid_parts[0][3]], der[sid_parts[1][1]:sid_parts[1][3]])
    signer = next((c for c in certificates if _issuer_and_serial(c) == wanted), None)
    if signer is None:
        raise AuthenticodeError("the signer's certificate is not in the signature")
    out.append(Signature(first_index + len(out), digest, signer, certificates))
    # Nested signatures sit in the unauthenticated attributes of the primary signer.
    if info_fields[-1][0] == 0xA1:
        for attribute in _children(der, info_fields[-1][2], info_fields[-1][3]):
            kind, values = _children(der, attribute[2], attribute[3])[:2]
            if _oid(der[kind[2]:kind[3]]) == OID_NESTED_SIGNATURE:
                for value in _children(der, values[2], values[3]):
                    _parse_content_info(der, value[1], value[3], first_index, out)


def signatures(data):
    """The Signatures of a PE image (bytes): primary first, then nested ones;
    [] when it carries none. Raises AuthenticodeError on a malformed one."""
    blob = signature_blob(data)
    if blob is None:
        return []
    out = []
    try:
        _parse_content_info(blob, 0, len(blob), 0, out)
    except (IndexError, struct.error) as error:
        raise AuthenticodeError("malformed signature (%s)" % (error or type(error).__name__)) from None
    return out


def file_signatures(path):
    with open(path, "rb") as f:
        return signatures(f.read())


def verify(path, trusted=()):
    """osslsigncode's verdict on every signature of a file: (ok, its output).

    The chain is checked against the system's CA bundle plus the DER
    certificates in trusted (the pinned signers' own certificates, so a
    self-signed test certificate passes); revocation lists are not fetched.
    What decides trust is the pin; this checks that each signature matches the
    file's content and was made with its certificate's key."""
    with tempfile.NamedTemporaryFile("w", suffix=".pem", delete=False) as bundle:
        if os.path.exists(SYSTEM_CA_BUNDLE):
            with open(SYSTEM_CA_BUNDLE) as system:
                bundle.write(system.read())
        for der in trusted:
            bundle.write(pem(der))
    command = ["osslsigncode", "verify", "-CAfile", bundle.name, "-in", path]
    if _knows_ignore_crl():
        command[2:2] = ["-ignore-crl"]
    try:
        run = subprocess.run(command, capture_output=True, text=True, errors="replace")
    finally:
        os.unlink(bundle.name)
    output = run.stdout + run.stderr
    # osslsigncode 2.9 answers 0 when the primary signature verifies and a
    # nested one does not: every signature must say so itself.
    signatures = output.count("Signature Index:")
    verified = output.count("Signature verification: ok")
    # A digest mismatch is judged inside the signatures: 2.5 also prints
    # "MISMATCH!!!" for a wrong header checksum, which no signature covers.
    ok = (run.returncode == 0 and signatures > 0 and verified == signatures
          and "Signature verification: failed" not in output and not digest_mismatch(output))
    return ok, output


def digest_mismatch(output):
    """Whether a signature of osslsigncode's verify output names a message
    digest that differs from the file's."""
    signed = output.split("Signature Index:", 1)[-1] if "Signature Index:" in output else ""
    return any("MISMATCH" in line for line in signed.splitlines() if "digest" in line.lower())


_ignore_crl = []


def _knows_ignore_crl():
    """osslsigncode 2.9 fetches revocation lists unless told not to; older ones lack the option."""
    if not _ignore_crl:
        help_text = subprocess.run(["osslsigncode", "verify", "--help"], capture_output=True, text=True,
                                   errors="replace")
        _ignore_crl.append("-ignore-crl" in help_text.stdout + help_text.stderr)
    return _ignore_crl[0]


def verify_failure(output):
    """Why osslsigncode's verification failed, in a few words, naming the signature."""
    if "No signature found" in output:
        return "no signature"
    sections = output.split("Signature Index:")[1:]
    for index, section in enumerate(sections):
        which = "the primary signature" if index == 0 else "nested signature %d" % index
        if "MISMATCH" in section:
            return "%s's digest does not match the file: altered after signing" % which
        if "Signature verification: ok" not in section:
            found = re.search(r"Error: (.+)", section)
            return "%s does not verify (%s)" % (which, found.group(1).strip() if found else
                                               "damaged, or not made with its certificate's key")
    found = re.search(r"(\S.*error.*)", output)
    return found.group(1).strip() if found else "osslsigncode verify failed"
