"""The checksum in a Windows PE file's optional header, computed the way
MapFileAndCheckSum does: a 16-bit end-around-carry sum of the file's
little-endian words, with the CheckSum field counted as zero and an odd last
byte counted as a word of its own, plus the file length. The installer
refuses a downloaded executable whose header field differs from it."""

import array
import struct
import sys


class PeError(ValueError):
    pass


def checksum_offset(data):
    """File offset of the optional header's CheckSum field."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise PeError("no MZ header")
    (e_lfanew,) = struct.unpack_from("<I", data, 0x3C)
    if e_lfanew + 24 + 68 > len(data) or data[e_lfanew:e_lfanew + 4] != b"PE\0\0":
        raise PeError("no PE signature")
    (magic,) = struct.unpack_from("<H", data, e_lfanew + 24)
    if magic not in (0x10B, 0x20B):
        raise PeError("unknown optional header magic 0x%X" % magic)
    # CheckSum sits at offset 64 of the optional header for PE32 and PE32+.
    return e_lfanew + 24 + 64


def header_checksum(data):
    (value,) = struct.unpack_from("<I", data, checksum_offset(data))
    return value


def _word_sum(data):
    even = len(data) & ~1
    words = array.array("H")
    words.frombytes(memoryview(data)[:even])
    if sys.byteorder == "big":
        words.byteswap()
    total = sum(words)
    if len(data) & 1:
        total += data[-1]
    return total


def compute_checksum(data):
    """The checksum MapFileAndCheckSum computes for this file image."""
    offset = checksum_offset(data)
    total = _word_sum(data)
    # Count the CheckSum field as zero; it is dword aligned, so it is two words.
    (lo, hi) = struct.unpack_from("<HH", data, offset)
    total -= lo + hi
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF
