#!/usr/bin/env python3
"""Writes the seed corpus for uib_decode_fuzz into corpus/uib/.

Small packages, valid and broken, that start the fuzzer near every rule of
the format. Run again after changing it; the files are kept in the tree.
"""
import os
import struct
import zlib

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "uib")


def u32(value):
    return struct.pack("<I", value)


def frame(data):
    return u32(len(data)) + data


def package(blocks, block_size=16384, total=None, tail=b""):
    body = b"".join(blocks)
    if total is None:
        total = 4 + len(body)
    return b"UMIB" + u32(total) + u32(block_size) + body + tail


text = b"the supervisor restarts the program after a failed health check\n" * 40
hello = zlib.compress(b"hello, world")
seeds = {
    "empty-12": package([]),
    "empty-8": b"UMIB" + u32(4),
    "two-blocks": package([frame(zlib.compress(text[:1500], 9)), frame(zlib.compress(text, 9))]),
    "stored": package([frame(zlib.compress(b"stored bytes, level 0", 0))]),
    "full-piece": package([frame(zlib.compress(b"q" * 16384, 9))]),
    "too-large-piece": package([frame(zlib.compress(b"q" * 16385, 9))]),
    "empty-stream": package([frame(zlib.compress(b"")), frame(hello)]),
    "junk-after-stream": package([frame(hello + b"junk")]),
    "length-is-block-size": package([frame(hello)], block_size=len(hello)),
    "block-size-6": package([], block_size=6),
    "trailing-3": package([frame(hello)], tail=b"\xff\xff\xff"),
    "zero-length": package([frame(hello), u32(0)]),
    "cut-short": package([frame(hello)])[:-2],
    "bad-adler": package([frame(hello[:-1] + bytes([hello[-1] ^ 1]))]),
    "total-4-one-block": package([frame(hello)], total=4),
    "dictionary": package([frame(bytes([0x78, 0xBB, 0, 0, 0, 1, 3, 0, 0, 0, 0, 1]))]),
}

os.makedirs(HERE, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(HERE, name + ".uib"), "wb") as out:
        out.write(data)
