# SPDX-License-Identifier: MIT
"""Starts the fake SQL Server for Python tests and drives FreeTDS's tsql against it."""
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FAKESQL = os.path.join(HERE, "fakesql.py")


class FakeSql:
    """The server as a child process; stop() (or the end of a with block) closes its stdin."""

    def __init__(self, root, *options, log=None):
        """log: a file that receives the server's log (standard error) instead of a pipe."""
        self.root = root
        self.proc = subprocess.Popen([sys.executable, "-u", FAKESQL, "--root", root, *options],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=log if log is not None else subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        match = re.fullmatch(r"PORT (\d+)\n", line)
        if not match:
            self.stop()
            raise RuntimeError("fakesql did not start: %r %s" % (line, "" if log else self.proc.stderr.read().decode()))
        self.port = int(match.group(1))

    def odbc(self, user="sa", password="sa", database=None, tds_version="7.4"):
        text = "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=%d;TDS_Version=%s;UID=%s;PWD=%s" % (
            self.port, tds_version, user, password)
        return text + (";DATABASE=%s" % database if database else "")

    def stop(self):
        """Closes stdin and returns the exit code once the server has ended."""
        if self.proc.stdin and not self.proc.stdin.closed:
            self.proc.stdin.close()
        try:
            return self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait()
        finally:
            self.proc.stdout.close()
            if self.proc.stderr:
                self.proc.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()


def tsql(port, script, user="sa", password="sa", tds_version="7.4", timeout=60, env=None):
    """Runs FreeTDS tsql with the script on stdin; returns (exit code, stdout + stderr)."""
    env = dict(env if env is not None else os.environ, TDSVER=tds_version)
    env.pop("TDSDUMP", None)
    run = subprocess.run(["tsql", "-H", "127.0.0.1", "-p", str(port), "-U", user, "-P", password],
                         input=script.encode(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                         timeout=timeout)
    return run.returncode, run.stdout.decode(errors="replace")


def message_numbers(output):
    """The server message numbers tsql printed, in order."""
    return [int(n) for n in re.findall(r"Msg (\d+) \(severity", output)]


def wait_until(predicate, timeout=20.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def make_database(root, name, files):
    """Creates a database folder; files: {file name: bytes}. Returns {file name: path}."""
    folder = os.path.join(root, name)
    os.makedirs(folder, exist_ok=True)
    paths = {}
    for file_name, data in files.items():
        paths[file_name] = os.path.join(folder, file_name)
        with open(paths[file_name], "wb") as f:
            f.write(data)
    return paths


def make_certificate(folder, name, host="localhost"):
    """A self-signed certificate for host and 127.0.0.1 (openssl); returns (certificate path, key path)."""
    cert = os.path.join(folder, name + ".crt")
    key = os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                    "-out", cert, "-subj", "/CN=" + host, "-addext",
                    "subjectAltName=DNS:%s,IP:127.0.0.1" % host],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key
