#!/usr/bin/env python3
"""Pad a Windows PE file to a chosen size and give it a correct header checksum.

The installer refuses downloaded executables that are too small or whose
optional-header CheckSum does not match the file, so the test components must
be big enough and carry a checksum computed the way MapFileAndCheckSum does:
a 16-bit end-around-carry sum of the file's little-endian words, with the
CheckSum field counted as zero and an odd last byte counted as a word of its
own, plus the file length.

Usage as a program:
    pe_pad.py IN OUT --size N [--checksum correct|zero|wrong]
    pe_pad.py IN OUT --at-least N [--checksum ...]
    pe_pad.py --verify FILE [FILE ...]
    pe_pad.py --alter FILE
    pe_pad.py --rechecksum FILE --checksum correct|zero|wrong

--alter changes one byte of a signed file's padding, inside what its
signature covers, and sets the header checksum again: a file only the
signature check can tell from the signed one, that would still run.
"""

import argparse
import array
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from pe_checksum import PeError, checksum_offset, compute_checksum, header_checksum  # noqa: E402,F401
from authenticode import certificate_table  # noqa: E402

CHECKSUM_MODES = ("correct", "zero", "wrong")

# The overlay is position dependent (each little-endian dword holds its own
# file offset, XOR a constant), so a byte range written at the wrong place by a
# resumed download changes the file instead of repeating the same bytes.
PAD_XOR = 0x5A3C9E17


def padding(start, end):
    """Deterministic overlay bytes for file offsets start..end."""
    first = start & ~3
    count = (end - first + 3) // 4
    dwords = array.array("I", (((first + 4 * i) ^ PAD_XOR) & 0xFFFFFFFF for i in range(count)))
    if dwords.itemsize != 4:
        raise RuntimeError("array 'I' is not 32-bit on this platform")
    if sys.byteorder == "big":
        dwords.byteswap()
    raw = dwords.tobytes()
    return raw[start - first:end - first]


def set_checksum(image, mode="correct"):
    """Write the CheckSum field of a bytearray image in place; returns the value."""
    if mode not in CHECKSUM_MODES:
        raise ValueError("checksum mode must be one of %s" % ", ".join(CHECKSUM_MODES))
    offset = checksum_offset(image)
    if mode == "zero":
        value = 0
    else:
        value = compute_checksum(image)
        if mode == "wrong":
            # Off by one in the low word: still a plausible-looking value.
            value = (value & 0xFFFF0000) | ((value + 1) & 0xFFFF)
    struct.pack_into("<I", image, offset, value)
    return value


def pad_bytes(data, size, checksum="correct"):
    """A copy of the PE image data padded to exactly size bytes."""
    checksum_offset(data)
    if size < len(data):
        raise PeError("target size %d is smaller than the file (%d bytes)" % (size, len(data)))
    image = bytearray(data)
    image += padding(len(data), size)
    set_checksum(image, checksum)
    return bytes(image)


def pad_file(src, dst, size=None, at_least=None, checksum="correct"):
    """Write dst as src padded to size (exact) or to at least at_least bytes.

    Returns (final size, CheckSum field written).
    """
    with open(src, "rb") as f:
        data = f.read()
    if size is None:
        size = max(len(data), at_least or 0)
    image = pad_bytes(data, size, checksum)
    tmp = dst + ".tmp"
    with open(tmp, "wb") as f:
        f.write(image)
    os.replace(tmp, dst)
    return len(image), header_checksum(image)


def alter_signed(path):
    """Flips a byte halfway to the certificate table; returns its offset."""
    with open(path, "rb") as f:
        image = bytearray(f.read())
    table = certificate_table(image)
    if table is None:
        raise PeError("%s is not signed" % path)
    offset = table[0] // 2
    image[offset] ^= 0x01
    set_checksum(image)
    with open(path, "wb") as f:
        f.write(image)
    return offset


def rechecksum(path, mode):
    """Writes the CheckSum field of a file in place (after signing, which sets it)."""
    with open(path, "rb") as f:
        image = bytearray(f.read())
    value = set_checksum(image, mode)
    with open(path, "wb") as f:
        f.write(image)
    return value


def verify_file(path):
    """(header CheckSum, computed checksum) of a file on disk."""
    with open(path, "rb") as f:
        data = f.read()
    return header_checksum(data), compute_checksum(data)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", nargs="?")
    parser.add_argument("output", nargs="?")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--size", type=int, help="exact size of the output in bytes")
    group.add_argument("--at-least", type=int, help="pad only up to this size; a larger file keeps its size")
    parser.add_argument("--checksum", choices=CHECKSUM_MODES, default="correct")
    parser.add_argument("--verify", nargs="+", metavar="FILE", help="check the header checksum of files")
    parser.add_argument("--alter", metavar="FILE", help="change a signed byte of FILE, keep its checksum right")
    parser.add_argument("--rechecksum", metavar="FILE", help="write FILE's CheckSum field as --checksum says")
    args = parser.parse_args(argv)

    try:
        if args.alter:
            offset = alter_signed(args.alter)
            print("%s: byte at %d changed, CheckSum set again" % (args.alter, offset))
            return 0
        if args.rechecksum:
            value = rechecksum(args.rechecksum, args.checksum)
            print("%s: CheckSum 0x%08X (%s)" % (args.rechecksum, value, args.checksum))
            return 0
        if args.verify:
            bad = 0
            for path in args.verify:
                stored, computed = verify_file(path)
                ok = stored == computed
                bad += not ok
                print("%s: size %d header 0x%08X computed 0x%08X %s"
                      % (path, os.path.getsize(path), stored, computed, "ok" if ok else "MISMATCH"))
            return 1 if bad else 0
        if not args.input or not args.output or (args.size is None and args.at_least is None):
            parser.error("IN, OUT and --size or --at-least are required")
        size, value = pad_file(args.input, args.output, args.size, args.at_least, args.checksum)
        print("%s: %d bytes, CheckSum 0x%08X (%s)" % (args.output, size, value, args.checksum))
        return 0
    except (OSError, ValueError) as e:  # PeError and malformed signatures
        print("pe_pad: %s" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
