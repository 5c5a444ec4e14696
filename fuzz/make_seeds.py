#!/usr/bin/env python3
"""Writes a few hand-made seeds for the fuzz targets.

Usage: make_seeds.py DIRECTORY
Creates DIRECTORY/package_walk/, DIRECTORY/inflate/ and DIRECTORY/manifest/.
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

    manifest = os.path.join(root, "manifest")
    os.makedirs(manifest, exist_ok=True)
    every_kind = (b"U /flash/bin/old\n"
                  b"L /flash/bin/sh busybox\n"
                  b"M /flash/var/pdb/image /flash/var/pdb//image\n"
                  b"M /flash/bin/app /flash/bin/tmpAb12Cd T\n"
                  b"M /flash/etc/app.conf /ram/tmpEf34Gh T\n")
    manifest_seeds = {
        "every_kind": every_kind,
        # An empty line ends the manifest; what follows is not read.
        "ended": every_kind + b"\nU /flash/not/read\n",
        "no_final_newline": b"U /flash/a\nM /flash/b /ram/tmp123456 T",
        # A later line for the same target replaces the earlier one.
        "repeated_target": b"M /flash/a /ram/tmp111111 T\nU /flash/a\nL /flash/a b\nM /flash/a /ram/tmp222222\n",
        "odd_words": b"M /flash/a /ram/tmp333333 X\nM /flash/b /ram/tmp444444 T extra\nL /flash/c  \nX what ever\nU /flash/d\r\n",
        "short_line": b"U /flash/a\nM /flash/b\nU /flash/c\n",
        "one_word": b"U\nU /flash/a\n",
        "empty": b"",
    }
    for name, data in manifest_seeds.items():
        with open(os.path.join(manifest, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()
