"""The checksum in a Windows PE file's optional header, computed the way
MapFileAndCheckSum does: a 16-bit end-around-carry sum of the file's
little-endian words, with the CheckSum field counted as zero and an odd last
byte counted as a word of its own, plus the file length. The installer
refuses a downloaded executable whose header field differs from it.

The headers are read with pefile; the sum is made here over the whole image
at once, as pefile's own goes dword by dword and takes seconds on a 20 MiB
set-up program."""

import array
import struct
import sys

import pefile


class PeError(ValueError):
    pass


def headers(data):
    """pefile's reading of a file image's headers and section table (not what
    the directories point to); PeError naming what is missing."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise PeError("no MZ header")  # before pefile, whose words for it differ
    try:
        return pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        # Beyond the PE signature and the headers it needs, pefile also reads
        # the section table, which a checksum does not need.
        cut = str(error.value).startswith("Data length less than expected")
        raise PeError("section headers cut short" if cut else "no PE signature") from None


def _optional_header(data):
    """The optional header and the file offset of its CheckSum field."""
    optional = headers(data).OPTIONAL_HEADER
    offset = optional.get_field_absolute_offset("CheckSum")
    if offset + 4 > len(data):
        raise PeError("no PE signature")  # cut off inside the optional header
    if optional.Magic not in (pefile.OPTIONAL_HEADER_MAGIC_PE, pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS):
        raise PeError("unknown optional header magic 0x%X" % optional.Magic)
    return optional, offset


def checksum_offset(data):
    """File offset of the optional header's CheckSum field."""
    return _optional_header(data)[1]


def header_checksum(data):
    return _optional_header(data)[0].CheckSum


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
