#!/usr/bin/env python3
"""Writes a generated pair of files for the delta benchmark: SIZE bytes of
mixed content (word-like text, random bytes, sparse tables of small numbers),
then its next version with scattered one-byte edits, inserted and deleted
stretches and one moved block. The same SIZE always gives the same pair.

    gen-delta-pair.py SIZE BASE TARGET
"""
import random
import sys


def main():
    size, base_path, target_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    rng = random.Random(size)
    parts, total = [], 0
    while total < size:
        kind, n = rng.randrange(3), rng.randrange(4096, 1 << 20)
        if kind == 0:
            words = [rng.randbytes(rng.randrange(2, 9)) for _ in range(64)]
            chunk = b" ".join(rng.choice(words) for _ in range(n // 5))[:n]
        elif kind == 1:
            chunk = rng.randbytes(n)
        else:
            table = bytearray(n)
            for i in range(0, n - 8, 64):
                table[i:i + 4] = rng.randrange(1 << 20).to_bytes(4, "little")
            chunk = bytes(table)
        parts.append(chunk)
        total += len(chunk)
    base = b"".join(parts)[:size]
    target = bytearray(base)
    for _ in range(size >> 16):
        at = rng.randrange(len(target))
        target[at] = (target[at] + rng.randrange(1, 256)) & 255
    for _ in range(16):
        at = rng.randrange(len(target))
        target[at:at] = rng.randbytes(rng.randrange(1, 4096))
        at = rng.randrange(len(target) - 8192)
        del target[at:at + rng.randrange(1, 8192)]
    at, n = rng.randrange(len(target) // 2), 1 << 16
    block = target[at:at + n]
    del target[at:at + n]
    target[len(target) // 2:len(target) // 2] = block
    with open(base_path, "wb") as f:
        f.write(base)
    with open(target_path, "wb") as f:
        f.write(target)


if __name__ == "__main__":
    main()
