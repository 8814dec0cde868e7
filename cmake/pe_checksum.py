#!/usr/bin/env python3
"""Writes the PE checksum of a Windows program into its optional header, as
the Windows image loader and signing tools compute it (GNU ld leaves it 0).
The file is first padded with zeros to a multiple of 8 bytes, as Authenticode
signing pads it, so that a signed copy with its signature removed gives back
exactly these bytes.

    pe_checksum.py FILE.exe          write it
    pe_checksum.py --check FILE.exe  exit 1 when the stored checksum is wrong
"""

import struct
import sys


def checksum_offset(data):
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise ValueError("not an MZ program")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    # Signature (4), file header (20), then the optional header's CheckSum at 64.
    offset = pe + 4 + 20 + 64
    if offset + 4 > len(data):
        raise ValueError("truncated PE header")
    return offset


def pe_checksum(data):
    offset = checksum_offset(data)
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    # The stored checksum itself counts as zero.
    total -= sum(struct.unpack_from("<HH", data, offset))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(argv):
    check = argv[:1] == ["--check"]
    paths = argv[1:] if check else argv
    if len(paths) != 1:
        sys.stderr.write(__doc__)
        return 2
    with open(paths[0], "rb") as f:
        data = f.read()
    try:
        offset = checksum_offset(data)
        value = pe_checksum(data)
    except ValueError as error:
        sys.stderr.write("%s: %s\n" % (paths[0], error))
        return 1
    if not check and len(data) % 8:
        data += b"\0" * (8 - len(data) % 8)
        value = pe_checksum(data)
    stored = struct.unpack_from("<I", data, offset)[0]
    if check:
        if stored != value or len(data) % 8:
            sys.stderr.write("%s: PE checksum %08x, should be %08x (length %d)\n" % (paths[0], stored, value, len(data)))
            return 1
        return 0
    data = data[:offset] + struct.pack("<I", value) + data[offset + 4:]
    with open(paths[0], "r+b") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
