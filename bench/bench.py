#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times the ZIP and FTP engines against the standard tools in one run and prints a Markdown table.

Usage: bench/bench.py <build dir with zipbench and ftpbench> [--size-mib N] [--repeat N] [--work DIR]
(bench/run.sh builds the drivers and calls this.)

For a text-like, a backup-like and a random file (made from fixed seeds: the same bytes on every run) it measures
wall time and peak memory (maximum resident set size, GNU time) of
  zip:      zipbench zip              / zip -6 -j   / pigz -6 -p2
  extract:  zipbench extract          / unzip -o    (both unpack our archive)
and for the backup-like file, against vsftpd started on 127.0.0.1 with a configuration of its own:
  upload:   ftpbench upload           / curl -T     (active mode, as the engine)
  download: ftpbench download         / curl -o
Every run is checked: `unzip -t` of our archive, the extracted and transferred bytes equal to the source. Each
command runs --repeat times, alternating who goes first; the fastest run counts, with the highest peak. The idle
size of the drivers (a run that does nothing) is measured too, so that the growth during a step can be read.
"""
import argparse
import filecmp
import os
import platform
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import Measure, MiB, driver, run  # noqa: E402
from data import make_backup, make_random, make_text  # noqa: E402

MB = 1000 * 1000  # throughput in MB/s, as the tools print it
DATA = (("text-like", "text.bak", make_text),
        ("backup-like", "backup.bak", make_backup),
        ("random", "random.bak", make_random))

VSFTPD_CONF = """\
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
run_as_launching_user=YES
anonymous_enable=YES
local_enable=NO
no_anon_password=YES
anon_root={root}
write_enable=YES
anon_upload_enable=YES
anon_other_write_enable=YES
anon_world_readable_only=NO
anon_umask=077
allow_writeable_chroot=YES
connect_from_port_20=NO
port_enable=YES
pasv_enable=YES
seccomp_sandbox=NO
xferlog_enable=NO
secure_chroot_dir={empty}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Vsftpd:
    """vsftpd on 127.0.0.1 with a configuration of its own, anonymous login with uploads, as the user running it."""

    def __init__(self, work):
        binary = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
        if not os.access(binary, os.X_OK):
            sys.exit("vsftpd missing: scripts/install-deps.sh installs it")
        self.root = os.path.join(work, "ftp-root")
        empty = os.path.join(work, "ftp-empty")
        os.makedirs(self.root)
        os.makedirs(empty)
        self.port = free_port()
        conf = os.path.join(work, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write(VSFTPD_CONF.format(port=self.port, root=self.root, empty=empty))
        self.log = open(os.path.join(work, "vsftpd.out"), "w")
        self.proc = subprocess.Popen([binary, conf], stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.close()
                    with open(os.path.join(work, "vsftpd.out")) as f:
                        sys.exit(f"vsftpd did not start:\n{f.read()}")
                time.sleep(0.1)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


def version(package):
    """The installed Debian package's version."""
    out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], capture_output=True, text=True)
    return f"{package} {out.stdout.strip() or '?'}"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def timed(cmd, before=None, stdout=None):
    """One measured run: before() prepares it (outside the clock), written data reach the disk first."""
    if before:
        before()
    os.sync()
    if stdout is None:
        return run(cmd)
    with open(stdout, "wb") as out:
        start = time.monotonic()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=out, stderr=subprocess.PIPE, text=True)
        seconds = time.monotonic() - start
    if proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}\n{proc.stderr}")
    return Measure(seconds, int(proc.stderr.strip().splitlines()[-1]) / 1024.0, "")


def best_of(repeat, sides):
    """sides: name -> (cmd, before, check, stdout). Runs each repeat times, alternating the order; returns
    name -> (fastest Measure with the highest peak, every check passed)."""
    results = {name: [] for name in sides}
    names = list(sides)
    for round_ in range(repeat):
        for name in (names if round_ % 2 == 0 else names[::-1]):
            cmd, before, check, stdout = sides[name]
            m = timed(cmd, before, stdout)
            results[name].append((m, check() if check else True))
    out = {}
    for name, rs in results.items():
        fastest = min(rs, key=lambda r: r[0].seconds)[0]
        out[name] = (fastest._replace(peak_mib=max(r[0].peak_mib for r in rs)), all(ok for _, ok in rs))
    return out


def remove(*paths):
    for p in paths:
        if os.path.isdir(p):
            shutil.rmtree(p)
        elif os.path.exists(p):
            os.remove(p)


def unzip_test(archive):
    return subprocess.run(["unzip", "-tq", archive], capture_output=True).returncode == 0


class Table:
    def __init__(self):
        self.rows = []
        self.ok = True

    def add(self, step, data, size, ours, tool_name, tool, target, met, ours_bytes="", tool_bytes=""):
        (o, o_ok), (t, t_ok) = ours, tool
        self.ok = self.ok and o_ok and t_ok
        checks = "ok" if o_ok and t_ok else f"FAILED (ours {'ok' if o_ok else 'bad'}, tool {'ok' if t_ok else 'bad'})"
        ratio = o.seconds / t.seconds
        verdict = "" if met is None else ("yes" if (met(ratio) if callable(met) else met) else "no")
        self.rows.append((step, data, f"{o.seconds:.2f}", f"{size / MB / o.seconds:.0f}", f"{o.peak_mib:.0f}",
                          tool_name, f"{t.seconds:.2f}", f"{size / MB / t.seconds:.0f}", f"{t.peak_mib:.0f}",
                          f"{ratio:.2f}", ours_bytes, tool_bytes, target, verdict, checks))

    def markdown(self):
        head = ("step", "data", "ours s", "ours MB/s", "ours peak MiB", "reference", "ref s", "ref MB/s",
                "ref peak MiB", "time ours/ref", "ours size", "ref size", "target", "met", "checks")
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        lines += ["| " + " | ".join(row) + " |" for row in self.rows]
        return "\n".join(lines)


def mb(n):
    return f"{n / MB:.1f} MB"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--size-mib", type=int, default=1024, help="size of each data file (default 1024)")
    parser.add_argument("--repeat", type=int, default=2, help="runs per command; the fastest counts (default 2)")
    parser.add_argument("--work", default=None, help="folder for the data (needs about 4 times the size free)")
    args = parser.parse_args()
    zipbench = driver(args.build, "zip", "zipbench")
    ftpbench = driver(args.build, "ftp", "ftpbench")
    for tool in ("zip", "unzip", "pigz", "curl"):
        if not shutil.which(tool):
            sys.exit(f"{tool} missing: scripts/install-deps.sh installs it")
    size = args.size_mib * MiB
    work = tempfile.mkdtemp(prefix="vandrel-bench-", dir=args.work)
    table = Table()
    server = None
    started = time.monotonic()
    try:
        tiny = os.path.join(work, "tiny.bak")
        make_text(tiny, 4096)
        idle = run([zipbench, "estimate", tiny]).peak_mib
        for label, name, make in DATA:
            source = os.path.join(work, name)
            print(f"making {label} data ({args.size_mib} MiB)...", file=sys.stderr, flush=True)
            make(source, size)
            ours_zip, tool_zip, gz = (os.path.join(work, n) for n in ("ours.zip", "tool.zip", "pigz.gz"))
            print(f"zip {label}...", file=sys.stderr, flush=True)
            z = best_of(args.repeat, {
                "ours": ([zipbench, "zip", ours_zip, source], lambda: remove(ours_zip), lambda: unzip_test(ours_zip),
                         None),
                "zip": (["zip", "-6", "-j", "-q", tool_zip, source], lambda: remove(tool_zip),
                        lambda: unzip_test(tool_zip), None),
                "pigz": (["pigz", "-6", "-p2", "-c", source], lambda: remove(gz), None, gz),
            })
            ours_size, zip_size, gz_size = (os.path.getsize(p) for p in (ours_zip, tool_zip, gz))
            size_note = f"{(ours_size / zip_size - 1) * 100:+.2f} % vs zip"
            if label == "backup-like":
                table.add("zip", label, size, z["ours"], "pigz -6 -p2", z["pigz"], "≤ 1.1× pigz",
                          lambda r: r <= 1.1, mb(ours_size), mb(gz_size))
                table.add("zip", label, size, z["ours"], "zip -6", z["zip"], "size ≤ +0.5 % of zip's",
                          ours_size <= zip_size * 1.005, f"{mb(ours_size)} ({size_note})", mb(zip_size))
            elif label == "random":
                table.add("zip", label, size, z["ours"], "zip -6", z["zip"], "stored, ≥ 5× faster than zip",
                          lambda r: r <= 0.2, mb(ours_size), mb(zip_size))
                table.add("zip", label, size, z["ours"], "pigz -6 -p2", z["pigz"], "", None, mb(ours_size),
                          mb(gz_size))
            else:
                table.add("zip", label, size, z["ours"], "pigz -6 -p2", z["pigz"], "", None, mb(ours_size),
                          mb(gz_size))
                table.add("zip", label, size, z["ours"], "zip -6", z["zip"], "", None,
                          f"{mb(ours_size)} ({size_note})", mb(zip_size))
            remove(tool_zip, gz)

            print(f"extract {label}...", file=sys.stderr, flush=True)
            out_ours, out_tool = os.path.join(work, "x-ours"), os.path.join(work, "x-unzip")
            x = best_of(args.repeat, {
                "ours": ([zipbench, "extract", ours_zip, out_ours], lambda: (remove(out_ours), os.makedirs(out_ours)),
                         lambda: filecmp.cmp(os.path.join(out_ours, name), source, shallow=False), None),
                "unzip": (["unzip", "-o", "-q", ours_zip, "-d", out_tool], lambda: remove(out_tool),
                          lambda: filecmp.cmp(os.path.join(out_tool, name), source, shallow=False), None),
            })
            table.add("extract", label, size, x["ours"], "unzip", x["unzip"], "≤ 1× unzip", lambda r: r <= 1.0)
            remove(out_ours, out_tool, ours_zip)

            if label == "backup-like":
                print("FTP with vsftpd...", file=sys.stderr, flush=True)
                server = Vsftpd(work)
                host = f"127.0.0.1:{server.port}"
                url = f"ftp://{host}/"
                curl = ["curl", "-sS", "--ftp-port", "-", "-u", "anonymous:bench"]
                remote_up = os.path.join(server.root, "up.bak")
                u = best_of(args.repeat, {
                    "ours": ([ftpbench, "upload", host, "anonymous", "bench", source, "up.bak"],
                             lambda: remove(remote_up), lambda: filecmp.cmp(remote_up, source, shallow=False), None),
                    "curl": (curl + ["-T", source, url + "up.bak"], lambda: remove(remote_up),
                             lambda: filecmp.cmp(remote_up, source, shallow=False), None),
                })
                table.add("FTP upload", label, size, u["ours"], "curl -T", u["curl"], "≤ 1.11× curl (0.9× speed)",
                          lambda r: r <= 1 / 0.9)
                remove(remote_up)
                shutil.copyfile(source, os.path.join(server.root, "down.bak"))
                local = os.path.join(work, "down.bak")
                d = best_of(args.repeat, {
                    "ours": ([ftpbench, "download", host, "anonymous", "bench", "down.bak", local],
                             lambda: remove(local), lambda: filecmp.cmp(local, source, shallow=False), None),
                    "curl": (curl + ["-o", local, url + "down.bak"], lambda: remove(local),
                             lambda: filecmp.cmp(local, source, shallow=False), None),
                })
                table.add("FTP download", label, size, d["ours"], "curl -o", d["curl"], "≤ 1.11× curl (0.9× speed)",
                          lambda r: r <= 1 / 0.9)
                remove(local, os.path.join(server.root, "down.bak"))
                server.close()
                server = None
            remove(source)
    finally:
        if server:
            server.close()
        shutil.rmtree(work, ignore_errors=True)

    load = os.getloadavg()
    print(f"\n{args.size_mib} MiB per file, best of {args.repeat}; {os.cpu_count()} cores ({cpu_model()}), "
          f"Linux {platform.release()}; load average at the end {load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f} "
          f"(above the core count: other work shared the machine); {time.monotonic() - started:.0f} s in all.")
    print("Tools: " + ", ".join(version(p) for p in ("zip", "pigz", "unzip", "curl", "vsftpd", "zlib1g", "libzip4"))
          + ".")
    print(f"Peak memory is the maximum resident set size; the drivers' idle size is {idle:.0f} MiB "
          f"(growth during a step = peak - idle, target < 64 MiB).\n")
    print(table.markdown())
    if not table.ok:
        print("\nSOME CHECKS FAILED (see the checks column).")
    sys.exit(0 if table.ok else 1)


if __name__ == "__main__":
    main()
