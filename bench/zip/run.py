#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times the ZIP engine against the zip/unzip tools on the same 1 GiB files, in the same run.

Usage: bench/zip/run.py <build-dir-with -DVANDREL_BENCH=ON> [--size-mib N] [--zip64] [--work DIR]

For a compressible and an incompressible file it measures wall time and peak memory (max RSS) of
  zipbench zip / zip -6      and      zipbench extract / unzip -o
prints the ratios (engine / tool), checks our archive with `unzip -t`, that both extractions give the same
bytes, and how close the engine's size estimate came. --zip64 adds a 4.5 GiB sparse file (ZIP64 path).
"""
import argparse
import filecmp
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from benchlib import MiB, driver, make_random, run  # noqa: E402


def make_text(path, size):
    """Database-like pages: varied rows, compresses about 4:1."""
    rng = random.Random(7)
    words = [f"{rng.choice(['cust', 'order', 'item', 'addr'])}{i:05d}".encode() for i in range(4000)]
    block = bytearray()
    while len(block) < 8 * MiB:
        block += b"%08d|%s|%s|%10.2f|2024-01-%02d\n" % (
            len(block), rng.choice(words), rng.choice(words), rng.random() * 10000, rng.randint(1, 28))
    with open(path, "wb") as f:
        written = 0
        while written < size:
            chunk = bytes(block[: min(len(block), size - written)])
            f.write(chunk)
            written += len(chunk)


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


def bench(name, source, work, zipbench):
    base = os.path.basename(source)
    ours, tool = os.path.join(work, "ours.zip"), os.path.join(work, "tool.zip")
    for p in (ours, tool):
        if os.path.exists(p):
            os.remove(p)
    estimate_kib = int(subprocess.check_output([zipbench, "estimate", source]).decode().strip())
    z_ours = run([zipbench, "zip", ours, source])
    z_tool = run(["zip", "-6", "-j", "-q", tool, source])
    test = subprocess.run(["unzip", "-tq", ours], capture_output=True, text=True)
    out_ours, out_tool = os.path.join(work, "x-ours"), os.path.join(work, "x-tool")
    for d in (out_ours, out_tool):
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
    x_ours = run([zipbench, "extract", tool, out_ours])
    x_tool = run(["unzip", "-o", "-q", tool, "-d", out_tool])
    same = filecmp.cmp(os.path.join(out_ours, base), source, shallow=False)
    size_ours, size_tool = os.path.getsize(ours), os.path.getsize(tool)
    print(f"\n== {name}: {os.path.getsize(source) / MiB:.0f} MiB")
    print(f"  archive   ours {size_ours / MiB:9.1f} MiB   zip {size_tool / MiB:9.1f} MiB   size ratio {size_ours / size_tool:.3f}"
          f"   estimate {estimate_kib / 1024:.1f} MiB ({estimate_kib * 1024 / size_ours:.3f} of ours)")
    print(f"  zip       ours {z_ours[0]:7.2f} s {z_ours[1]:7.1f} MiB   zip   {z_tool[0]:7.2f} s {z_tool[1]:7.1f} MiB"
          f"   time ratio {z_ours[0] / z_tool[0]:.2f}   memory ratio {z_ours[1] / z_tool[1]:.2f}")
    print(f"  extract   ours {x_ours[0]:7.2f} s {x_ours[1]:7.1f} MiB   unzip {x_tool[0]:7.2f} s {x_tool[1]:7.1f} MiB"
          f"   time ratio {x_ours[0] / x_tool[0]:.2f}   memory ratio {x_ours[1] / x_tool[1]:.2f}")
    print(f"  unzip -t of ours: {'OK' if test.returncode == 0 else 'FAILED ' + test.stdout}   extracted bytes equal: {same}")
    for d in (out_ours, out_tool):
        shutil.rmtree(d, ignore_errors=True)
    return test.returncode == 0 and same


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--zip64", action="store_true")
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    zipbench = driver(args.build, "zip", "zipbench")
    work = tempfile.mkdtemp(prefix="zipbench-", dir=args.work)
    ok = True
    try:
        size = args.size_mib * MiB
        cases = [("compressible (text rows)", "text.bak", make_text),
                 ("incompressible (random, as a server-compressed backup)", "random.bak", make_random)]
        if args.zip64:
            cases.append(("ZIP64: 4.5 GiB sparse (zeros)", "big.bak", make_sparse))
        for name, file, make in cases:
            path = os.path.join(work, file)
            make(path, 4608 * MiB if make is make_sparse else size)
            ok = bench(name, path, work, zipbench) and ok
            os.remove(path)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
