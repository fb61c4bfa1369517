#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Loopback FTP server for the tests (pyftpdlib).

Usage: ftpserver.py --root DIR [--port 0] [--user NAME:PASSWORD ...]
Binds 127.0.0.1 only, prints "PORT <n>" when it listens, and ends when its standard input
closes, so it never outlives the test that started it.
"""
import argparse
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--user", action="append", default=[])
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    for entry in args.user or ["vandrel:secret"]:
        name, _, password = entry.partition(":")
        authorizer.add_user(name, password, args.root, perm="elradfmwMT")

    class Handler(FTPHandler):
        pass

    Handler.authorizer = authorizer
    Handler.permit_foreign_addresses = False
    Handler.masquerade_address = None
    server = FTPServer(("127.0.0.1", args.port), Handler)
    port = server.socket.getsockname()[1]

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(1):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    print(f"PORT {port}", flush=True)
    server.serve_forever(handle_exit=False)


if __name__ == "__main__":
    main()
