# SPDX-License-Identifier: MIT
"""Helpers shared by the benchmark runners (bench/*/run.py)."""
import collections
import os
import subprocess
import sys
import time

MiB = 1024 * 1024

Measure = collections.namedtuple("Measure", "seconds peak_mib stdout")


def run(cmd, cwd=None):
    """Runs cmd under GNU time (a fresh small process, so the peak is the command's own); returns a Measure
    (seconds, peak RSS in MiB, the command's standard output). Exits the runner when the command fails."""
    start = time.monotonic()
    proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - start
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}\n{proc.stderr}")
    return Measure(seconds, int(proc.stderr.strip().splitlines()[-1]) / 1024.0, proc.stdout)


def make_random(path, size):
    """An incompressible file of size bytes (whole MiB), as a server-compressed backup."""
    with open(path, "wb") as f:
        for _ in range(size // MiB):
            f.write(os.urandom(MiB))


def driver(build, folder, name):
    """Path of a benchmark driver in the build directory; exits with a hint when it was not built."""
    path = os.path.join(os.path.abspath(build), "bench", folder, name)
    if not os.access(path, os.X_OK):
        sys.exit(f"{path} missing: configure with -DVANDREL_BENCH=ON and build the target {name}")
    return path
