#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times the FTP engine against the curl command line on the same file and loopback server, in the same run.

Usage: bench/ftp/run.py <build-dir-with -DVANDREL_BENCH=ON> [--size-mib N] [--repeat N] [--work DIR]

Starts tests/support/ftpserver.py (pyftpdlib, /usr/bin/python3) on 127.0.0.1, writes an incompressible file
(1 GiB by default) and measures wall time and peak memory (max RSS) of
  ftpbench upload     /  curl -T <file> ftp://127.0.0.1:<port>/<name> --ftp-port -
  ftpbench download   /  curl -o <file> ftp://127.0.0.1:<port>/<name> --ftp-port -
both in active mode, as the engine always is, --repeat times each (alternating who goes first; the fastest
run counts, with the highest peak). After each transfer it checks that the bytes are equal, that the
engine's progress reached 100 %, and it prints the ratios (engine / curl), how many calls the window's progress
handler would receive, and how busy the server was (a single-threaded Python server may set the pace).
"""
import argparse
import filecmp
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from benchlib import MiB, driver, make_random, run  # noqa: E402

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PYTHON = "/usr/bin/python3"  # the python that imports pyftpdlib
USER, PASSWORD = "vandrel", "secret"
CLOSE = 0.15  # ratios within 1 +- CLOSE count as "both sides close"
BUSY = 0.9  # server CPU per wall second from which the server likely sets the pace


class Server:
    """The loopback FTP server; it ends when its standard input closes."""

    def __init__(self, root, log):
        self.log = open(log, "w")  # the server logs every session to standard error
        self.proc = subprocess.Popen([PYTHON, os.path.join(SOURCE_DIR, "tests", "support", "ftpserver.py"),
                                      "--root", root, "--user", f"{USER}:{PASSWORD}"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.log, text=True)
        deadline = time.monotonic() + 20
        line = ""
        while not line.startswith("PORT ") and time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.2)
            if ready:
                line = self.proc.stdout.readline()
                if not line and self.proc.poll() is not None:
                    break
        if not line.startswith("PORT "):
            self.close()
            with open(log) as f:
                sys.exit(f"the FTP server did not start (is python3-pyftpdlib installed?)\n{f.read()}")
        self.port = int(line.split()[1])
        self.ticks = os.sysconf("SC_CLK_TCK")

    def cpu_seconds(self):
        """User + system CPU time the server has used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / self.ticks

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def measure(server, cmd):
    """Runs cmd; returns its Measure and the server's CPU use as a share of the wall time."""
    os.sync()  # the previous step's written data goes to disk before the clock starts
    before = server.cpu_seconds()
    m = run(cmd)
    return m, (server.cpu_seconds() - before) / m.seconds


def progress(stdout, size):
    """The driver's counts, and whether its progress reached exactly the file's size (100 %)."""
    counts = dict(item.split("=", 1) for item in stdout.split())
    counts = {key: int(value) for key, value in counts.items()}
    full = counts["last_count"] == size and counts["last_total"] == size and counts["max_percent"] == 100
    return counts, full


def best(results):
    """The fastest of the (Measure, server CPU share, bytes equal) results, with the highest peak of them all."""
    m, cpu, _ = min(results, key=lambda r: r[0].seconds)
    return m._replace(peak_mib=max(r[0].peak_mib for r in results)), cpu


def same(a, b):
    return os.path.exists(a) and os.path.exists(b) and filecmp.cmp(a, b, shallow=False)


def version(cmd):
    try:
        return subprocess.run(cmd, capture_output=True, text=True).stdout.split("\n")[0].strip()
    except OSError:
        return "?"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--repeat", type=int, default=3, help="rounds per transfer; the fastest counts")
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    ftpbench = driver(args.build, "ftp", "ftpbench")
    if not shutil.which("curl"):
        sys.exit("curl missing: apt-get install curl (scripts/install-deps.sh)")
    size = args.size_mib * MiB
    work = tempfile.mkdtemp(prefix="ftpbench-", dir=args.work)
    root = os.path.join(work, "root")
    os.makedirs(root)
    server = None
    ok = True
    try:
        source = os.path.join(work, "source.bak")
        make_random(source, size)
        server = Server(root, os.path.join(work, "server.log"))
        host = f"127.0.0.1:{server.port}"
        url = f"ftp://{host}/"
        curl = ["curl", "-sS", "--ftp-port", "-", "-u", f"{USER}:{PASSWORD}"]
        down = os.path.join(root, "down.bak")
        shutil.copyfile(source, down)
        local = os.path.join(work, "down.bak")
        rows = []

        def ours_up():
            return [ftpbench, "upload", host, USER, PASSWORD, source, "up.bak"], os.path.join(root, "up.bak")

        def curl_up():
            return curl + ["-T", source, url + "up.bak"], os.path.join(root, "up.bak")

        def ours_down():
            return [ftpbench, "download", host, USER, PASSWORD, "down.bak", local], local

        def curl_down():
            return curl + ["-o", local, url + "down.bak"], local

        for name, ours, tool in (("upload", ours_up, curl_up), ("download", ours_down, curl_down)):
            results = {ours: [], tool: []}
            for round_ in range(args.repeat):
                # Who goes first alternates, so that neither side always meets a cold or a busy disk.
                for side in ((ours, tool) if round_ % 2 == 0 else (tool, ours)):
                    cmd, output = side()
                    m, cpu = measure(server, cmd)
                    results[side].append((m, cpu, same(source, output)))
                    os.remove(output)
            fastest = best(results[ours])
            rows.append((name, fastest, best(results[tool]), progress(fastest[0].stdout, size)[0],
                         all(progress(m.stdout, size)[1] for m, _, _ in results[ours]),
                         all(eq for _, _, eq in results[ours]), all(eq for _, _, eq in results[tool])))
    finally:
        if server:
            server.close()
        shutil.rmtree(work, ignore_errors=True)

    pyftpdlib = version([PYTHON, "-c", "import pyftpdlib; print(pyftpdlib.__ver__)"])
    print(f"\n== FTP engine (ftpbench) vs {version(['curl', '--version']).split(' (')[0]}: {args.size_mib} MiB "
          f"random file, active mode, pyftpdlib {pyftpdlib} on 127.0.0.1; best of {args.repeat}")
    print(f"  {'':9}{'ours':>9} {'MiB/s':>7} {'peak':>9}   {'curl':>9} {'MiB/s':>7} {'peak':>9}"
          f"   {'time':>5} {'memory':>6}   server CPU")
    print(f"  {'':9}{'s':>9} {'':>7} {'MiB':>9}   {'s':>9} {'':>7} {'MiB':>9}"
          f"   {'ours/curl':>12}   ours / curl")
    notes = []
    for name, (o, o_cpu), (c, c_cpu), *_ in rows:
        ratio = o.seconds / c.seconds
        print(f"  {name:9}{o.seconds:9.2f} {size / MiB / o.seconds:7.1f} {o.peak_mib:9.1f}"
              f"   {c.seconds:9.2f} {size / MiB / c.seconds:7.1f} {c.peak_mib:9.1f}"
              f"   {ratio:5.2f} {o.peak_mib / c.peak_mib:6.2f}   {o_cpu * 100:4.0f}% / {c_cpu * 100:3.0f}%")
        close, busy = abs(ratio - 1) <= CLOSE, min(o_cpu, c_cpu) >= BUSY
        if close or busy:
            why = " and ".join(
                ([f"both sides are within {CLOSE:.0%} of each other"] if close else [])
                + ([f"the server kept a core {min(o_cpu, c_cpu):.0%}+ busy for both"] if busy else []))
            notes.append(f"  Note ({name}): {why}: pyftpdlib (one Python thread) may be the bottleneck, so this "
                         f"ratio says little about the clients themselves.")
    if notes:
        print()
        print("\n".join(notes))
    print()
    for name, (o, _), _, counts, full, equal_ours, equal_curl in rows:
        print(f"  {name:9}progress calls to the window: {counts['work_calls']} "
              f"({counts['transfer_calls']} while the file moved, {counts['work_calls'] / o.seconds:.1f}/s), "
              f"status calls {counts['status_calls']}; reached 100 %: {'yes' if full else 'NO'}; "
              f"bytes equal: ours {'yes' if equal_ours else 'NO'}, curl {'yes' if equal_curl else 'NO'}")
        ok = ok and full and equal_ours and equal_curl
    if close or busy:
        print(f"\n  Note: {'both sides are within ' + str(int(CLOSE * 100)) + ' % of each other' if close else ''}"
              f"{' and ' if close and busy else ''}"
              f"{'the server used at least 90 % of a core in every transfer' if busy else ''}: pyftpdlib (one "
              f"Python thread) is likely the bottleneck here, so the ratios show the clients' overhead only where "
              f"they differ.")
    print("  (ours also lists the directory before a download and renames the upload from a temporary name; "
          "curl does neither.)")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
