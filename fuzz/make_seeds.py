#!/usr/bin/env python3
"""Writes a few hand-made seeds for the fuzz targets.

Usage: make_seeds.py DIRECTORY
Creates DIRECTORY/package_walk/ and DIRECTORY/inflate/.
"""
import hashlib
import os
import struct
import sys
import zlib


def part(kind, data):
    return struct.pack("<HI", kind, len(data)) + data


def header(name, version, flags=None):
    data = name.encode().ljust(16, b"\0") + struct.pack("<II", version, 1700000000) + bytes(8)
    return data if flags is None else data + struct.pack("<I", flags)


def deps(*entries):
    data = struct.pack("<H", len(entries))
    for name, low, high, priority in entries:
        data += name.encode().ljust(16, b"\0") + struct.pack("<IIIi", low, 0, high, priority)
    return data


def archive(files):
    data = b""
    for path, content in files:
        data += struct.pack("<H21sBIH", 0o100644, bytes(21), 0, len(content), len(path)) + path.encode() + content
    return zlib.compress(data)


def package(name, version, extra=()):
    signed = part(1, header(name, version, 1)) + b"".join(extra)
    signed += part(4, archive([("/bin/" + name, b"x" * 300), ("/etc/" + name + ".conf", b"on\n")]))
    signature_header = struct.pack("<HI", 9, 68)
    digest = hashlib.sha1(signed + signature_header).digest()
    return signed + signature_header + digest + bytes(48)


def file_of(parts, magic=0xBAD0F11E):
    body = b"".join(parts)
    return struct.pack("<II", magic, len(body)) + body


def main():
    root = sys.argv[1]
    walk = os.path.join(root, "package_walk")
    inflate = os.path.join(root, "inflate")
    os.makedirs(walk, exist_ok=True)
    os.makedirs(inflate, exist_ok=True)
    metadata = [part(24, b"text"), part(16, b"powerpc"), part(2, b"two"), part(23, b"note"),
                part(3, deps(("system", 0x06000000, 0, 0))), part(19, deps(("wifi", 0, 0, 5))),
                part(17, deps(("old", 1, 2, 0))), part(21, b"")]
    seeds = {
        "single": file_of([package("dhcp", 0x06010000, metadata)]),
        "overlay": file_of([package("ovl", 0x06010000)], magic=0xA1100FFB),
        "bundle": file_of([part(18, header("velmora", 0x06010000)), part(23, b"bundle"),
                           part(20, deps(("wifi", 0, 0, 0))),
                           package("system", 0x06010000), package("wifi", 0x06010000, [part(16, b"powerpc")])]),
        "header_only": file_of([]),
        "short_header": file_of([part(1, header("a", 1)[:20])]),
    }
    for name, data in seeds.items():
        with open(os.path.join(walk, name), "wb") as out:
            out.write(data)

    text = b"".join(b"line %d of the sample\n" % i for i in range(2000))
    noise = b"".join(hashlib.sha256(b"%d" % i).digest() for i in range(400))
    inflate_seeds = {
        "text_read": b"\x00" + zlib.compress(text),
        "text_skip_unget": b"\x03" + zlib.compress(text),
        "noise": b"\x01" + zlib.compress(noise, 1),
        "empty": b"\x02" + zlib.compress(b""),
    }
    for name, data in inflate_seeds.items():
        with open(os.path.join(inflate, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
