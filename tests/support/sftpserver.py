#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Loopback SFTP server for the tests (asyncssh).

Usage: sftpserver.py --root DIR --host-key FILE [--bind 127.0.0.1] [--port 0] [--user NAME:PASSWORD ...]
                     [--authorized-key FILE ...]
Each user logs in with the password given, or with a key of an --authorized-key file (OpenSSH public keys).
The user's home folder, where a login starts, is DIR; nothing outside DIR can be reached. --host-key names the
server's private host key (made by the test with ssh-keygen). Prints "PORT <n>" when it listens, and ends when
its standard input closes, so it never outlives the test that started it.
"""
import argparse
import asyncio
import os
import sys
import warnings

warnings.filterwarnings("ignore")  # the cryptography module's notes about old ciphers asyncssh still knows

import asyncssh  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--host-key", required=True)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--user", action="append", default=[])
    parser.add_argument("--authorized-key", action="append", default=[])
    args = parser.parse_args()

    passwords = dict(entry.partition(":")[::2] for entry in (args.user or ["vandrel:secret"]))
    keys = asyncssh.import_authorized_keys("".join(open(f).read() for f in args.authorized_key)) \
        if args.authorized_key else None
    root = os.path.realpath(args.root)

    class Server(asyncssh.SSHServer):
        def begin_auth(self, username):
            return True

        def password_auth_supported(self):
            return True

        def validate_password(self, username, password):
            return username in passwords and passwords[username] == password

        def public_key_auth_supported(self):
            return keys is not None

    class Sftp(asyncssh.SFTPServer):
        def __init__(self, chan):
            super().__init__(chan, chroot=root.encode())

    async def serve():
        server = await asyncssh.create_server(
            Server, args.bind, args.port, server_host_keys=[args.host_key],
            authorized_client_keys=keys, sftp_factory=Sftp, allow_scp=False, reuse_address=True,
            process_factory=None, encoding=None)
        port = server.sockets[0].getsockname()[1]
        print(f"PORT {port}", flush=True)
        loop = asyncio.get_running_loop()
        # The standard input closing ends the server.
        await loop.run_in_executor(None, lambda: sys.stdin.buffer.read())
        os._exit(0)

    asyncio.run(serve())


if __name__ == "__main__":
    main()
