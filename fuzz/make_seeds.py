#!/usr/bin/env python3
"""Writes the hand-made seed inputs of fuzz/corpus/<target>/ (seed-*).

The targets read their inputs with libFuzzer's FuzzedDataProvider: integers
from the end of the input (the last byte first), strings and byte runs from
the front, a string ending at a backslash followed by any other byte. Run
from the project root; inputs found by fuzzing live beside these seeds.
"""
import os

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def text(s):
    return s.replace(b"\\", b"\\\\") + b"\\ "


def seed(target, name, front, tail):
    """`tail`: the integer bytes in the order the target consumes them."""
    os.makedirs(os.path.join(root, target), exist_ok=True)
    with open(os.path.join(root, target, "seed-" + name), "wb") as f:
        f.write(front + bytes(reversed(tail)))


plain = b"The quick brown fox jumps over the lazy dog.\n" * 3
splits = bytes([1, 1, 31, 33, 0, 5, 0x81, 0x82, 32, 0])

# read_line: read size, stdio buffer size, text.
for name, data in {
    "lines": b"\x05\x04first\nsecond\r\nthird",
    "long": b"\x00\x07" + b"x" * 31 + b"\n" + b"y" * 32 + b"\n" + b"z" * 100,
    "crlf": b"\x01\x00\r\n\r\r\n\n\rend\r",
    "nul": b"\x03\x05ab\x00cd\nef\n",
}.items():
    os.makedirs(os.path.join(root, "read_line"), exist_ok=True)
    open(os.path.join(root, "read_line", "seed-" + name), "wb").write(data)

# decrypt: flags, cut(2), flip_at(2), flip_bits | keyword, other, split count | splits, plain.
for scenario in range(5):
    for mismatch in (0, 1):
        flags = mismatch | (scenario << 1) | 0x40
        seed("decrypt", f"s{scenario}m{mismatch}",
             text(b"secret") + text(b"other") + splits + plain,
             [flags, 40, 0, 50, 0, 0x10, len(splits)])
seed("decrypt", "flip", text(b"k") + text(b"") + splits + plain, [0x22, 0, 0, 70, 0, 1, len(splits)])
seed("decrypt", "cut", text(b"k") + text(b"") + plain, [0x12, 20, 0, 0, 0, 0, 0])

# keychange: flags, cut(2) | old, new, wrong, split count | splits, plain.
for flags in (0, 1, 2, 4):
    seed("keychange", f"f{flags}", text(b"old") + text(b"new") + text(b"bad") + splits + plain,
         [flags, 40, 0, len(splits)])

# unixcrypt: keyword, tail, split count | splits, data.
for key in (b"", b"a", b"password123", b"\xff!"):
    seed("unixcrypt", "k" + key.hex(), text(key) + text(b"zz") + splits + plain, [len(splits)])

# in_place: operation, cut(2) | keyword, other | base, delta, seed(4).
for op in range(7):
    for base in (0, 3, 4):
        seed("in_place", f"op{op}b{base}", text(b"secret") + text(b"other"),
             [op, 33, 0, base, 40 + op, 1, 2, 3, 4])

# options: flags | key file text, OSK1, OSK2, arguments...
def options(name, flags, key, args, e1=b"", e2=b""):
    seed("options", name, text(key) + text(e1) + text(e2) + b"".join(text(a) for a in args), [flags])

options("encrypt", 0, b"secret\n", [b"-e", b"-k", b"keyfile", b"a.txt"])
options("keychange", 2, b"old\r\nnew\n", [b"-x", b"-k", b"keyfile", b"a.osl"])
options("filter", 0, b"k\ndata", [b"-d", b"-k", b"-"])
options("env", 0, b"", [b"-x", b"-E", b"OSK1", b"-F", b"OSK2", b"-y", b"ref.osl", b"x"], b"v", b"w")
options("help", 3, b"", [b"-h"])
options("keyref", 0, b"", [b"-e", b"-K", b"ref", b"-y", b"ref.osl", b"--", b"f"])
options("short_ref", 0, b"", [b"-e", b"-K", b"ref", b"-y", b"short.osl", b"f"])
options("debug", 0, b"", [b"--key", b"abc", b"-D", b"-c", b"-", b"-m"])
options("posix", 9, b"only\n", [b"-u", b"--keyfile=keyfile", b"-v", b"-", b"z"])
options("empty_list", 1, b"", [b"-q", b"-S", b"--"])
options("bad", 4, b"", [b"--env", b"-e-", b"--bogus"])
