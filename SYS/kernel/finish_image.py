#!/usr/bin/env python3
"""Finishes tarvik.sys as the platform's linker would: marks INIT discardable and writes the
image checksum into the optional header.

GNU ld gives a section named INIT the flags of code; the platform's linker also makes it
discardable, so that the loader frees it once DriverEntry has returned. The checksum is the
platform's: the file summed as 16-bit words with end-around carry, the checksum field itself
taken as zero, plus the file's length.

Usage: finish_image.py IMAGE
"""

import struct
import sys

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
DISCARDABLE_SECTIONS = {b"INIT"}


def pe_offsets(data):
    """(offset of the optional header, offset of the section table, section count)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    return optional, optional + optional_size, count


def checksum(data, field):
    """The platform's image checksum of `data`, the 4 bytes at `field` counted as zero."""
    padded = bytes(data[:field]) + b"\0\0\0\0" + bytes(data[field + 4:])
    if len(padded) % 2:
        padded += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def finish(data):
    optional, sections, count = pe_offsets(data)
    for i in range(count):
        header = sections + 40 * i
        name = bytes(data[header:header + 8]).rstrip(b"\0")
        if name in DISCARDABLE_SECTIONS:
            flags, = struct.unpack_from("<I", data, header + 36)
            struct.pack_into("<I", data, header + 36, flags | IMAGE_SCN_MEM_DISCARDABLE)
    field = optional + 64
    struct.pack_into("<I", data, field, checksum(data, field))


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], "rb") as f:
        data = bytearray(f.read())
    finish(data)
    with open(argv[1], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
