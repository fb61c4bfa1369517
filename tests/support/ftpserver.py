#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Loopback FTP server for the tests (pyftpdlib).

Usage: ftpserver.py --root DIR [--port 0] [--user NAME:PASSWORD ...] [--max-rate BYTES_PER_S]
                    [--refuse-rename-over] [--refuse-rename] [--refuse-rename-from PATTERN ...] [--log-commands]
                    [--stall-after BYTES] [--delay COMMAND=SECONDS ...] [--bind ADDRESS]
                    [--tls explicit|implicit --cert PEM] [--read-only] [--refuse-store PATTERN ...]
                    [--store-reply REPLY] [--refuse-delete]
--refuse-rename-over makes RNTO onto an existing file fail with 550, as some servers do; --refuse-rename makes
every RNTO fail; --refuse-rename-from makes RNTO fail when the name given to RNFR matches PATTERN (fnmatch, case
sensitive, e.g. "*.part.vandrel"), so that one rename of a sequence fails while the others work.
--refuse-store makes STOR fail before any data moves when the file's name matches PATTERN (fnmatch, case
sensitive), as a server that refuses an extension, or an upload-only account that may not create such a name,
does; the reply is "553 Could not create file." unless --store-reply gives another. --refuse-delete makes every
DELE fail with 550, as an upload-only account does.
--stall-after makes every data connection stop moving data (but stay open) once it has carried
that many bytes, as a server or network that hangs mid-transfer does.
--delay makes the server wait before it handles COMMAND (e.g. DELE=2), as a slow server does.
--read-only lets every user list and download but not store, rename or delete.
--tls makes it an FTPS server that requires TLS for the login and every data connection: "explicit" after
AUTH TLS on the FTP port, "implicit" from the first byte; --cert names the PEM file with its certificate and key.
--bind chooses the loopback address (127.0.0.1 by default, or ::1). Binds that address only, prints "PORT <n>" when it listens, and ends when its standard input
closes, so it never outlives the test that started it.
"""
import argparse
import fnmatch
import logging
import os
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--user", action="append", default=[])
    parser.add_argument("--refuse-rename-over", action="store_true")
    parser.add_argument("--refuse-rename", action="store_true")
    parser.add_argument("--refuse-rename-from", action="append", default=[], metavar="PATTERN")
    parser.add_argument("--refuse-store", action="append", default=[], metavar="PATTERN")
    parser.add_argument("--store-reply", default="553 Could not create file.")
    parser.add_argument("--refuse-delete", action="store_true")
    parser.add_argument("--max-rate", type=int, default=0, help="bytes per second on data connections (0: no limit)")
    parser.add_argument("--log-commands", action="store_true", help="log each command to standard error")
    parser.add_argument("--delay", action="append", default=[], help="COMMAND=SECONDS: wait before COMMAND")
    parser.add_argument("--stall-after", type=int, default=-1, help="bytes after which data connections hang")
    parser.add_argument("--read-only", action="store_true", help="users may list and download only")
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--tls", choices=["explicit", "implicit"])
    parser.add_argument("--cert")
    args = parser.parse_args()

    if args.log_commands:
        logging.basicConfig(stream=sys.stderr, level=logging.DEBUG, format="%(message)s")
    authorizer = DummyAuthorizer()
    for entry in args.user or ["vandrel:secret"]:
        name, _, password = entry.partition(":")
        authorizer.add_user(name, password, args.root, perm="elr" if args.read_only else "elradfmwMT")

    delays = {name.upper(): float(seconds) for name, _, seconds in (d.partition("=") for d in args.delay)}

    base = FTPHandler
    if args.tls:
        from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

        class Secure(TLS_FTPHandler):
            certfile = args.cert
            tls_control_required = True
            tls_data_required = True
            # pyftpdlib's data connections lose TLS 1.3 session tickets under libcurl: TLS 1.2 keeps them working.
            ssl_options = __import__("OpenSSL").SSL.OP_NO_TLSv1_3 | __import__("OpenSSL").SSL.OP_NO_COMPRESSION

            def handle(self):
                if args.tls != "implicit":
                    return super().handle()
                # Implicit TLS: the handshake comes first; the greeting follows through TLS.
                self.secure_connection(self.ssl_context)
                return None

            def handle_ssl_established(self):
                if args.tls == "implicit" and not getattr(self, "_greeted", False):
                    self._greeted = True
                    super().handle()

        class SecureData(TLS_DTPHandler):
            # libcurl starts TLS on a data connection as soon as it is open, before its command: the handshake
            # must go on although no transfer was asked for yet.
            def readable(self):
                return self._ssl_accepting or super().readable()

        Secure.dtp_handler = SecureData
        base = Secure

    class Handler(base):
        def pre_process_command(self, line, cmd, arg):
            if cmd in delays:
                time.sleep(delays[cmd])  # the whole server waits: the tests use one client at a time
            return super().pre_process_command(line, cmd, arg)

        def refused_source(self):
            source = os.path.basename(self._rnfr or "")
            return any(fnmatch.fnmatchcase(source, pattern) for pattern in args.refuse_rename_from)

        def ftp_STOR(self, file, mode="w"):
            if any(fnmatch.fnmatchcase(os.path.basename(file), pattern) for pattern in args.refuse_store):
                self.respond(args.store_reply)
                return None
            return super().ftp_STOR(file, mode)

        def ftp_DELE(self, path):
            if args.refuse_delete:
                self.respond("550 Delete refused.")
                return None
            return super().ftp_DELE(path)

        def ftp_RNTO(self, path):
            over = args.refuse_rename_over and self._rnfr and os.path.exists(path)
            if args.refuse_rename or over or (self._rnfr and self.refused_source()):
                self._rnfr = None
                self.respond("550 File exists." if over else "550 Rename refused.")
                return None
            return super().ftp_RNTO(path)

    Handler.authorizer = authorizer
    if args.max_rate:
        class Throttled(ThrottledDTPHandler):
            read_limit = args.max_rate
            write_limit = args.max_rate

        Handler.dtp_handler = Throttled
    if args.stall_after >= 0:
        class Stalling(DTPHandler):
            def use_sendfile(self):
                return False

            def _stall_if_due(self):
                if self.get_transmitted_bytes() >= args.stall_after:
                    self.del_channel()  # never serviced again; the socket stays open

            def send(self, data):
                sent = super().send(data)
                self._stall_if_due()
                return sent

            def recv(self, buffer_size):
                chunk = super().recv(buffer_size)
                self._stall_if_due()
                return chunk

        Handler.dtp_handler = Stalling
    Handler.auth_failed_timeout = 0.1  # the tests need no brute-force delay
    Handler.permit_foreign_addresses = False
    Handler.masquerade_address = None
    server = FTPServer((args.bind, args.port), Handler)
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
