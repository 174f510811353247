#!/usr/bin/env python3
"""Writes the header that compiles the publisher's public key into Quillstone.

    embed_key.py OUTPUT.h [PUBLIC.pem]

PUBLIC.pem holds an ECDSA P-256 public key ("BEGIN PUBLIC KEY"). The header
defines QUILLSTONE_UPGRADE_KEY as the key's X and Y, 32 bytes each, the form
Windows' CNG imports; without a key file it defines nothing, and the build
checks no signatures. Anything else is an error, so a wrong key cannot be
built in.
"""
import base64
import sys

# SubjectPublicKeyInfo of an uncompressed P-256 point, up to the point's 0x04.
P256_PREFIX = bytes.fromhex("3059301306072a8648ce3d020106082a8648ce3d03010703420004")


def key_bytes(path):
    with open(path, encoding="ascii") as f:
        lines = [line.strip() for line in f if line.strip()]
    try:
        begin = lines.index("-----BEGIN PUBLIC KEY-----")
        end = lines.index("-----END PUBLIC KEY-----")
    except ValueError:
        sys.exit(f"{path}: not a PEM public key (BEGIN PUBLIC KEY)")
    der = base64.b64decode("".join(lines[begin + 1:end]))
    if len(der) != len(P256_PREFIX) + 64 or not der.startswith(P256_PREFIX):
        sys.exit(f"{path}: not an ECDSA P-256 public key")
    return der[len(P256_PREFIX):]


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    text = "// Made by cmake/embed_key.py; do not edit.\n#pragma once\n"
    if len(sys.argv) == 3 and sys.argv[2]:
        key = key_bytes(sys.argv[2])
        text += "#define QUILLSTONE_UPGRADE_KEY {" + ", ".join(f"0x{b:02x}" for b in key) + "}\n"
    with open(sys.argv[1], "w", encoding="ascii") as f:
        f.write(text)


if __name__ == "__main__":
    main()
