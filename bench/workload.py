"""The benchmark's shared workload: one binary file read by every driver.

Layout (little-endian):
  b"KVBENCH1", u32 n, u32 n_absent, u32 block_size, block (value filler)
  n present keys and then n_absent absent keys, each as u8 length + bytes
  three permutations of range(n) as u32 arrays: insert, fetch, delete order

Keys are 11 to 16 bytes from [0-9A-Za-z]; absent keys start with '~', so
none of them can be stored. The value of record i is key i followed by the
filler block, cut to the value size, so every record's value is distinct and
the C and Python drivers store the same bytes.
"""

import argparse
import os
import random
import string
import struct
import sys

MAGIC = b"KVBENCH1"
BLOCK_SIZE = 4096
ALPHABET = string.digits + string.ascii_letters


def _random_keys(rnd, count, prefix, taken):
    keys = []
    while len(keys) < count:
        want = count - len(keys)
        lengths = [rnd.randint(11, 16) for _ in range(want)]
        chars = "".join(rnd.choices(ALPHABET, k=sum(lengths))).encode()
        pos = 0
        for length in lengths:
            key = prefix + chars[pos:pos + length - len(prefix)]
            pos += length - len(prefix)
            if key not in taken:
                taken.add(key)
                keys.append(key)
    return keys


def generate(n, seed):
    rnd = random.Random(seed)
    taken = set()
    present = _random_keys(rnd, n, b"", taken)
    absent = _random_keys(rnd, n, b"~", taken)
    block = "".join(rnd.choices(ALPHABET, k=BLOCK_SIZE)).encode()
    orders = []
    for _ in range(3):
        order = list(range(n))
        rnd.shuffle(order)
        orders.append(order)
    return present, absent, block, orders


def write(path, n, seed):
    present, absent, block, orders = generate(n, seed)
    parts = [MAGIC, struct.pack("<III", n, len(absent), len(block)), block]
    for key in present + absent:
        parts.append(bytes((len(key),)) + key)
    for order in orders:
        parts.append(struct.pack(f"<{n}I", *order))
    tmp = path + ".tmp"
    with open(tmp, "wb") as out:
        out.write(b"".join(parts))
    os.replace(tmp, path)


class Workload:
    """The workload file, cut down to the first `n` records when asked."""

    def __init__(self, path, n=None):
        with open(path, "rb") as src:
            data = src.read()
        if data[:8] != MAGIC:
            sys.exit(f"{path}: not a workload file")
        total, n_absent, block_size = struct.unpack_from("<III", data, 8)
        pos = 20
        self.block = data[pos:pos + block_size]
        pos += block_size
        keys = []
        for _ in range(total + n_absent):
            length = data[pos]
            keys.append(data[pos + 1:pos + 1 + length])
            pos += 1 + length
        orders = []
        for _ in range(3):
            orders.append(struct.unpack_from(f"<{total}I", data, pos))
            pos += 4 * total
        n = total if n is None else min(n, total)
        self.n = n
        self.keys = keys[:n]
        self.absent = keys[total:total + n]
        self.insert_order, self.fetch_order, self.delete_order = (
            [i for i in order if i < n] for order in orders)

    def value(self, i, size):
        return (self.keys[i] + self.block)[:size]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path")
    parser.add_argument("--n", type=int, required=True)
    parser.add_argument("--seed", type=int, default=20240601)
    args = parser.parse_args()
    write(args.path, args.n, args.seed)


if __name__ == "__main__":
    main()
