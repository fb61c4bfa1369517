# SPDX-License-Identifier: MIT
"""The benchmark's data, the same bytes on every run (seeded generators, no system randomness)."""
import random
import struct

MiB = 1024 * 1024
PAGE = 8 * 1024  # a database page
EXTENT = 8 * PAGE  # eight pages, the unit a database allocates


def _write(path, size, chunks):
    """Writes size bytes taken from the chunks iterator."""
    with open(path, "wb") as f:
        written = 0
        for chunk in chunks:
            chunk = chunk[: size - written]
            f.write(chunk)
            written += len(chunk)
            if written >= size:
                break


def make_text(path, size, seed=7):
    """Text rows as a database export holds them; deflate shrinks it to about a quarter."""
    rng = random.Random(seed)
    words = [f"{rng.choice(['cust', 'order', 'item', 'addr'])}{i:05d}".encode() for i in range(4000)]
    block = bytearray()
    while len(block) < 8 * MiB:
        block += b"%08d|%s|%s|%10.2f|2024-01-%02d\n" % (
            len(block), rng.choice(words), rng.choice(words), rng.random() * 10000, rng.randint(1, 28))

    def chunks():
        while True:
            yield bytes(block)

    _write(path, size, chunks())


def make_backup(path, size, seed=16):
    """Looks like an uncompressed database backup: 8 KiB pages of rows followed by empty space (a page header, the
    rows, zeros, the row offsets at the end), in 64 KiB extents of which about half hold incompressible data
    (compressed or encrypted columns, images)."""
    rng = random.Random(seed)
    words = [f"{rng.choice(['cust', 'order', 'item', 'addr', 'note'])}{i:05d}".encode() for i in range(5000)]

    def page(number):
        rows = bytearray()
        fill = rng.randint(PAGE // 3, 7600)
        while len(rows) < fill:
            rows += struct.pack("<HHI", 0x30, rng.randint(1, 90), rng.randint(0, 1 << 30))
            rows += b"%s|%s|%10.2f|2024-%02d-%02d|" % (rng.choice(words), rng.choice(words), rng.random() * 10000,
                                                     rng.randint(1, 12), rng.randint(1, 28))
        rows = rows[:fill]
        header = struct.pack("<BBHIIIQ", 1, 1, 0, number, rng.randint(0, 1 << 20), len(rows), rng.getrandbits(64))
        header += bytes(96 - len(header))
        slots = b"".join(struct.pack("<H", 96 + i * 37 % fill) for i in range(fill // 40))
        return header + rows + bytes(PAGE - 96 - len(rows) - len(slots)) + slots

    pool = [page(i) for i in range(2048)]  # deflate sees 32 KiB back: a pool this size never repeats for it

    def chunks():
        number = 0
        while True:
            if rng.random() < 0.5:
                yield rng.randbytes(EXTENT)
            else:
                yield b"".join(struct.pack("<I", number + i) + p[4:] for i, p in enumerate(rng.choices(pool, k=8)))
            number += 8

    _write(path, size, chunks())


def make_random(path, size, seed=3):
    """Incompressible, as a backup the server compressed or encrypted."""
    rng = random.Random(seed)

    def chunks():
        while True:
            yield rng.randbytes(MiB)

    _write(path, size, chunks())
