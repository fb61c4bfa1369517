#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times the ZIP and FTP engines against the standard tools in one run and prints a Markdown table.

Usage: bench/bench.py <build dir with zipbench and ftpbench> [--size-mib N] [--repeat N] [--work DIR]
(bench/run.sh builds the drivers and calls this.)

For a text-like, a backup-like and a random file (made from fixed seeds: the same bytes on every run) it measures
wall time and peak memory (maximum resident set size, GNU time) of
  zip:      zipbench zip              / zip -6 -j   / pigz -6 -p2
  extract:  zipbench extract          / unzip -o    (both unpack our archive)
  zip with the archive password (AES-256): zipbench zip ... password / pigz -6 -p2 (backup-like file)
and for the backup-like file, against servers started on 127.0.0.1 with configurations of their own (vsftpd for
FTP, FTPES and FTPS; OpenSSH's sshd for SFTP), each protocol against curl with the same protocol:
  upload:   ftpbench upload           / curl -T     (plain FTP in active mode, as the engine's default)
  download: ftpbench download         / curl -o
Then the Cancel: how long zipping, extracting, uploading and downloading take to stop once the run flag turns off
(the window's Cancel), worst of the runs.
Every run is checked: `unzip -t` of our archive, the extracted and transferred bytes equal to the source. Each
command runs --repeat times, alternating who goes first, each after twice the file size of memory was touched (see
warm_memory); the fastest run counts, with the highest peak. The idle
size of the drivers (a run that does nothing) is measured too, so that the growth during a step can be read.
"""
import argparse
import ctypes
import filecmp
import os
import platform
import pwd
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


VSFTPD_TLS_CONF = """\
ssl_enable=YES
implicit_ssl={implicit}
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
rsa_cert_file={cert}
rsa_private_key_file={key}
ssl_ciphers=HIGH
"""

SSHD_CONF = """\
Port {port}
ListenAddress 127.0.0.1
HostKey {host_key}
PidFile {work}/sshd.pid
AuthorizedKeysFile {work}/authorized_keys
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
Subsystem sftp internal-sftp
"""


def wait_listening(port, proc, name, log_path):
    deadline = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                with open(log_path) as f:
                    sys.exit(f"{name} did not start:\n{f.read()}")
            time.sleep(0.1)


class Server:
    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


class Vsftpd(Server):
    """vsftpd on 127.0.0.1 with a configuration of its own, anonymous login with uploads, as the user running it;
    with tls "explicit" or "implicit" it requires TLS on the control and the data connections."""

    def __init__(self, work, tls=None, cert=None):
        binary = shutil.which("vsftpd") or "/usr/sbin/vsftpd"
        if not os.access(binary, os.X_OK):
            sys.exit("vsftpd missing: scripts/install-deps.sh installs it")
        name = f"vsftpd-{tls or 'plain'}"
        self.root = os.path.join(work, "ftp-root")
        empty = os.path.join(work, "ftp-empty")
        os.makedirs(self.root, exist_ok=True)
        os.makedirs(empty, exist_ok=True)
        self.port = free_port()
        conf = os.path.join(work, f"{name}.conf")
        with open(conf, "w") as f:
            f.write(VSFTPD_CONF.format(port=self.port, root=self.root, empty=empty))
            if tls:
                f.write(VSFTPD_TLS_CONF.format(implicit="YES" if tls == "implicit" else "NO", cert=cert[0],
                                               key=cert[1]))
        log_path = os.path.join(work, f"{name}.out")
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen([binary, conf], stdout=self.log, stderr=subprocess.STDOUT)
        wait_listening(self.port, self.proc, "vsftpd", log_path)


class Sshd(Server):
    """OpenSSH's sshd on 127.0.0.1 with a configuration, a host key and a client key of its own; the user running
    the benchmark logs in with the client key and reaches the work folder by its absolute path."""

    def __init__(self, work):
        binary = "/usr/sbin/sshd"
        if not os.access(binary, os.X_OK):
            sys.exit("sshd missing: scripts/install-deps.sh installs openssh-server")
        if os.geteuid() == 0:
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)  # its privilege separation folder
        self.root = os.path.join(work, "sftp-root")
        os.makedirs(self.root, exist_ok=True)
        host_key = os.path.join(work, "ssh_host_ed25519_key")
        self.client_key = os.path.join(work, "client_key")
        for key in (host_key, self.client_key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key], check=True)
        shutil.copyfile(self.client_key + ".pub", os.path.join(work, "authorized_keys"))
        self.port = free_port()
        self.known_hosts = os.path.join(work, "known_hosts")
        with open(host_key + ".pub") as pub, open(self.known_hosts, "w") as known:
            known.write(f"[127.0.0.1]:{self.port} {' '.join(pub.read().split()[:2])}\n")
        os.chmod(self.known_hosts, 0o600)
        conf = os.path.join(work, "sshd_config")
        with open(conf, "w") as f:
            f.write(SSHD_CONF.format(port=self.port, host_key=host_key, work=work))
        log_path = os.path.join(work, "sshd.out")
        self.log = open(log_path, "w")
        self.proc = subprocess.Popen([binary, "-D", "-e", "-f", conf], stdout=self.log, stderr=subprocess.STDOUT)
        wait_listening(self.port, self.proc, "sshd", log_path)
        self.user = pwd.getpwuid(os.geteuid()).pw_name


def make_certificate(work):
    """A self-signed certificate for 127.0.0.1 (both sides are told to trust it); returns (cert, key)."""
    cert, key = os.path.join(work, "tls-cert.pem"), os.path.join(work, "tls-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return cert, key


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


WARM_BYTES = 0  # set by main: memory touched before each measured run


def warm_memory():
    """Touches WARM_BYTES of memory and frees it again. A virtual machine whose host takes freed memory back makes
    the first use of memory cost several times a later one (page cache included); touched just before a run, the
    memory that run's page cache and buffers take is already the guest's, whichever side goes first."""
    if WARM_BYTES:
        block = bytearray(WARM_BYTES)
        ctypes.memset((ctypes.c_char * WARM_BYTES).from_buffer(block), 1, WARM_BYTES)
        del block


def timed(cmd, before=None, stdout=None):
    """One measured run: before() prepares it (outside the clock), written data reach the disk first."""
    if before:
        before()
    os.sync()
    warm_memory()
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


PASSWORD = "bench-password"


def seven_zip_test(archive):
    """unzip cannot read AES entries; 7-Zip checks them with the password (and fails with a wrong one)."""
    return subprocess.run(["7z", "t", f"-p{PASSWORD}", archive], capture_output=True).returncode == 0


def transfers(work, repeat, ftpbench, source, size, table):
    """Upload and download of the backup-like file with every protocol, ours against curl with the same one."""
    cert = make_certificate(work)
    servers = []
    try:
        plain = Vsftpd(work)
        explicit = Vsftpd(work, "explicit", cert)
        implicit = Vsftpd(work, "implicit", cert)
        sshd = Sshd(work)
        servers = [plain, explicit, implicit, sshd]
        curl = ["curl", "-sS"]
        tls = ["--ssl-reqd", "--cacert", cert[0]]
        ftp_login = ["anonymous", "bench"]
        protocols = [
            # name, server, our address, our options, curl's options, curl's URL of the folder
            ("FTP", plain, f"127.0.0.1:{plain.port}", [], ["--ftp-port", "-", "-u", "anonymous:bench"],
             f"ftp://127.0.0.1:{plain.port}/", ftp_login),
            ("FTPES", explicit, f"127.0.0.1:{explicit.port}",
             ["--protocol", "FTPES", "--passive", "--trusted-certs", cert[0]],
             ["--ftp-pasv", "-u", "anonymous:bench"] + tls, f"ftp://127.0.0.1:{explicit.port}/", ftp_login),
            ("FTPS", implicit, f"127.0.0.1:{implicit.port}",
             ["--protocol", "FTPS", "--passive", "--trusted-certs", cert[0]],
             ["--ftp-pasv", "-u", "anonymous:bench"] + tls, f"ftps://127.0.0.1:{implicit.port}/", ftp_login),
            ("SFTP", sshd, f"127.0.0.1:{sshd.port}/{sshd.root}",
             ["--protocol", "SFTP", "--key", sshd.client_key, "--known-hosts", sshd.known_hosts],
             ["-u", f"{sshd.user}:", "--key", sshd.client_key, "--pubkey", sshd.client_key + ".pub", "-k"],
             f"sftp://127.0.0.1:{sshd.port}{sshd.root}/", [sshd.user, ""]),
        ]
        for name, server, address, ours_options, curl_options, url, login in protocols:
            print(f"{name}...", file=sys.stderr, flush=True)
            remote_up = os.path.join(server.root, "up.bak")
            u = best_of(repeat, {
                "ours": ([ftpbench, "upload", address, *login, source, "up.bak", *ours_options],
                         lambda: remove(remote_up), lambda: filecmp.cmp(remote_up, source, shallow=False), None),
                "curl": (curl + curl_options + ["-T", source, url + "up.bak"], lambda: remove(remote_up),
                         lambda: filecmp.cmp(remote_up, source, shallow=False), None),
            })
            table.add(f"{name} upload", "backup-like", size, u["ours"], "curl -T", u["curl"],
                      "≤ 1.11× curl (0.9× speed)", lambda r: r <= 1 / 0.9)
            remove(remote_up)
            shutil.copyfile(source, os.path.join(server.root, "down.bak"))
            local = os.path.join(work, "down.bak")
            d = best_of(repeat, {
                "ours": ([ftpbench, "download", address, *login, "down.bak", local, *ours_options],
                         lambda: remove(local), lambda: filecmp.cmp(local, source, shallow=False), None),
                "curl": (curl + curl_options + ["-o", local, url + "down.bak"], lambda: remove(local),
                         lambda: filecmp.cmp(local, source, shallow=False), None),
            })
            table.add(f"{name} download", "backup-like", size, d["ours"], "curl -o", d["curl"],
                      "≤ 1.11× curl (0.9× speed)", lambda r: r <= 1 / 0.9)
            remove(local, os.path.join(server.root, "down.bak"))
    finally:
        for server in servers:
            server.close()


def cancel_times(work, repeat, zipbench, ftpbench, source, size_mib):
    """How long each long step takes to stop after the run flag turns off, worst of 2 × repeat runs; the step is
    well under way when the flag turns (and must not have finished: the delays shrink with smaller files)."""
    local_ms = str(max(50, min(300, size_mib // 3)))
    ftp_ms = str(max(20, min(200, size_mib // 5)))
    archive = os.path.join(work, "cancel.zip")
    run([zipbench, "zip", archive, source])
    out = os.path.join(work, "x-cancel")
    server = Vsftpd(work)
    try:
        host = f"127.0.0.1:{server.port}"
        shutil.copyfile(source, os.path.join(server.root, "down.bak"))
        local = os.path.join(work, "down.bak")
        steps = [
            ("zip", f"{local_ms} ms",
             lambda: [zipbench, "cancel", "zip", os.path.join(work, "c.zip"), source, local_ms], lambda: None),
            ("extract", f"{local_ms} ms", lambda: [zipbench, "cancel", "extract", archive, out, local_ms],
             lambda: (remove(out), os.makedirs(out))),
            ("FTP upload", f"{ftp_ms} ms of data",
             lambda: [ftpbench, "upload", host, "anonymous", "bench", source, "up.bak", "--cancel-after", ftp_ms],
             lambda: None),
            ("FTP download", f"{ftp_ms} ms of data",
             lambda: [ftpbench, "download", host, "anonymous", "bench", "down.bak", local, "--cancel-after", ftp_ms],
             lambda: remove(local)),
        ]
        rows = []
        for name, after, cmd, before in steps:
            print(f"cancel {name}...", file=sys.stderr, flush=True)
            times = []
            for _ in range(2 * repeat):
                before()
                line = run(cmd()).stdout.strip()
                times.append(int(line.split("=", 1)[1]))
            rows.append((name, after, times))
        return rows
    finally:
        server.close()
        remove(archive, out)


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
    for tool in ("zip", "unzip", "pigz", "curl", "7z", "openssl", "ssh-keygen"):
        if not shutil.which(tool):
            sys.exit(f"{tool} missing: scripts/install-deps.sh installs it")
    size = args.size_mib * MiB
    global WARM_BYTES
    WARM_BYTES = 2 * size
    work = tempfile.mkdtemp(prefix="vandrel-bench-", dir=args.work)
    table = Table()
    cancels = []
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
                print(f"zip {label} with the archive password...", file=sys.stderr, flush=True)
                aes_zip = os.path.join(work, "ours-aes.zip")
                e = best_of(args.repeat, {
                    "ours": ([zipbench, "zip", aes_zip, source, PASSWORD], lambda: remove(aes_zip),
                             lambda: seven_zip_test(aes_zip), None),
                    "pigz": (["pigz", "-6", "-p2", "-c", source], lambda: remove(gz), None, gz),
                })
                table.add("zip, AES-256", label, size, e["ours"], "pigz -6 -p2", e["pigz"], "≤ 1.2× pigz",
                          lambda r: r <= 1.2, mb(os.path.getsize(aes_zip)), mb(gz_size))
                remove(aes_zip)
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
                # A transfer takes seconds and the loopback's pace varies from run to run: best of at least 3.
                transfers(work, max(3, args.repeat), ftpbench, source, size, table)
                cancels = cancel_times(work, args.repeat, zipbench, ftpbench, source, args.size_mib)
            remove(source)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    load = os.getloadavg()
    print(f"\n{args.size_mib} MiB per file, best of {args.repeat}; {os.cpu_count()} cores ({cpu_model()}), "
          f"Linux {platform.release()}; load average at the end {load[0]:.1f} / {load[1]:.1f} / {load[2]:.1f}"
          f"{' (above the core count: other work shared the machine)' if load[1] > 1.5 * (os.cpu_count() or 1) else ''}; "
          f"{time.monotonic() - started:.0f} s in all.")
    print("Tools: " + ", ".join(version(p) for p in ("zip", "pigz", "unzip", "curl", "vsftpd", "openssh-server",
                                                   "zlib1g", "libzip4", "libssh2-1", "openssl"))
          + ".")
    print(f"Peak memory is the maximum resident set size; the drivers' idle size is {idle:.0f} MiB "
          f"(growth during a step = peak - idle, target < 64 MiB).\n")
    print(table.markdown())
    if cancels:
        print("\nCancel (the run flag turned off while the step was under way; target: stopped within 200 ms):\n")
        print("| step | cancelled after | stopped in (ms, each run) | worst | met |\n|---|---|---|---|---|")
        for name, after, times in cancels:
            print(f"| {name} | {after} | {', '.join(map(str, times))} | {max(times)} | "
                  f"{'yes' if max(times) <= 200 else 'no'} |")
    if not table.ok:
        print("\nSOME CHECKS FAILED (see the checks column).")
    sys.exit(0 if table.ok else 1)


if __name__ == "__main__":
    main()
