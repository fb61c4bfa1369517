#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""A fake Microsoft SQL Server for the tests: TDS 7.2-7.4 without TLS on 127.0.0.1, databases as folders.

Usage: fakesql.py --root DIR [--host 127.0.0.1] [--port 0] [--user NAME:PASSWORD ...]
                  [--progress-delay S] [--login-delay S] [--drop-after-progress N]
                  [--refuse-logins] [--no-compression] [--packet-size N]
Prints "PORT <n>" when it listens; ends when its standard input closes or on SIGTERM/SIGINT.
See README.md beside this file.
"""
import argparse
import datetime
import decimal
import os
import signal
import socket
import ssl
import sys
import threading
import time
import uuid

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import store  # noqa: E402
import tds  # noqa: E402
from sqltext import SqlSyntaxError, parse_batch  # noqa: E402
from tds import (DONE_ATTN, DONE_COUNT, DONE_ERROR, DONE_FINAL, DONE_MORE, CMD_SELECT,  # noqa: E402
                 IntN, NVarChar, VarChar, Char, Numeric, Bit, Guid, DateTime, VarBinary, Float)

MAX_DATA_SIZE = 35184372080640
MAX_LOG_SIZE = 2199023255552
SYSTEM_SIZES = {  # data pages, log pages, used data pages, used log percent
    "master": (512, 255, 368, 40.0), "tempdb": (1024, 255, 96, 5.0),
    "model": (512, 255, 312, 30.0), "msdb": (2048, 255, 1800, 20.0)}


class Cancelled(Exception):
    """The client sent ATTENTION while a statement ran."""


class SqlError(Exception):
    """Messages (number, class, state, text) that end a statement; abort_batch ends the whole batch."""

    def __init__(self, messages, abort_batch=False):
        super().__init__(messages[0][3])
        self.messages = messages
        self.abort_batch = abort_batch


def terminating(what):
    return (3013, 16, 1, "%s is terminating abnormally." % what)


def os_error_text(e, path):
    """Windows-style "n(text)" as the real server words operating system errors."""
    import errno
    if e.errno == errno.ENOENT:
        parent = os.path.dirname(path) or "."
        if os.path.isdir(parent):
            return "2(The system cannot find the file specified.)"
        return "3(The system cannot find the path specified.)"
    if e.errno in (errno.EACCES, errno.EPERM, errno.EISDIR, errno.EROFS):
        return "5(Access is denied.)"
    if e.errno == errno.ENOTDIR:
        return "3(The system cannot find the path specified.)"
    if e.errno == errno.ENOSPC:
        return "112(There is not enough space on the disk.)"
    return "%d(%s)" % (e.errno or 0, e.strerror or str(e))


def pages(size):
    return (size + store.PAGE - 1) // store.PAGE


def used_pages(path):
    """Pages of a file that hold any non-zero byte: what the fake counts as allocated."""
    count = 0
    try:
        with open(path, "rb") as f:
            while True:
                block = f.read(store.PAGE * 128)
                if not block:
                    break
                for i in range(0, len(block), store.PAGE):
                    if block[i:i + store.PAGE].strip(b"\x00"):
                        count += 1
    except OSError:
        pass
    return count


def mb_per_sec(size, seconds):
    return size / 1048576.0 / max(seconds, 0.001)


class Server:
    def __init__(self, args):
        self.args = args
        self.store = store.Store(args.root)
        self.users = {}
        for entry in args.user or ["sa:sa"]:
            name, _, password = entry.partition(":")
            self.users[name.lower()] = (name, password)
        self.sessions = set()
        self.lock = threading.Lock()
        # database (lower case) -> "SINGLE_USER" or "RESTRICTED_USER"; absent = MULTI_USER
        self.access = {}
        self.tls_context = None
        if args.tls_cert:
            # As SQL Server with TDS 7.x: TLS 1.2 at most, no session tickets (nothing may follow the handshake).
            self.tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls_context.maximum_version = ssl.TLSVersion.TLSv1_2
            self.tls_context.options |= ssl.OP_NO_TICKET
            self.tls_context.load_cert_chain(args.tls_cert, args.tls_key)

    def databases_in_use(self, exclude):
        with self.lock:
            return {s.database.lower() for s in self.sessions if s is not exclude}

    def single_user_taken(self, name, session):
        """True when database name is SINGLE_USER and another session is in it."""
        with self.lock:
            return self.access.get(name.lower()) == "SINGLE_USER" and any(
                s is not session and s.database.lower() == name.lower() for s in self.sessions)


class Session:
    def __init__(self, server, sock):
        self.server = server
        self.store = server.store
        self.args = server.args
        self.ch = tds.PacketChannel(sock)
        self.user = ""
        self.database = "master"
        self.progress_count = 0
        self.link = "clear"

    # ------------------------------------------------------------ plumbing

    def log(self, text):
        print("fakesql: %s" % text, file=sys.stderr, flush=True)

    def message(self, number, text, cls=0, state=1):
        self.ch.write(tds.token_message(number, text, cls, state))

    def info_more(self, number, text):
        """An informational message followed by DONE(MORE), sent at once in a packet that does not end the reply."""
        self.message(number, text)
        self.ch.write(tds.token_done(DONE_MORE))
        self.ch.flush(eom=False)

    def wait_for_attention(self, seconds):
        """Waits up to seconds while watching the socket; raises Cancelled on ATTENTION."""
        deadline = time.monotonic() + seconds
        while True:
            packet = self.ch.read_packet(timeout=max(0.0, deadline - time.monotonic()))
            if packet is None:
                return
            if packet[0] == tds.PKT_ATTENTION:
                raise Cancelled()

    def progress_step(self, percent, silent):
        if not silent:
            self.info_more(3211, "%d percent processed." % percent)
            self.progress_count += 1
            drop = self.args.drop_after_progress
            if drop and self.progress_count >= drop:
                self.log("dropping the connection after progress message %d" % self.progress_count)
                self.ch.drop()
                raise tds.ConnectionGone("dropped on purpose")
        self.wait_for_attention(self.args.progress_delay)

    def pump(self, items, stats, total):
        """Copies bytes in steps; after each step sends "N percent processed." (when STATS asked for it),
        pauses and checks for a cancel. items: (begin, read(limit), write(data), end) per file."""
        step = stats if stats else 10
        thresholds = list(range(step, 100, step))
        boundaries = [total * t // 100 for t in thresholds]
        done = 0
        k = 0
        for begin, read, write, end in items:
            begin()
            while True:
                while k < len(thresholds) and done >= boundaries[k]:
                    self.progress_step(thresholds[k], not stats)
                    k += 1
                limit = 1024 * 1024
                if k < len(thresholds):
                    limit = max(1, min(limit, boundaries[k] - done))
                data = read(limit)
                if not data:
                    break
                write(data)
                done += len(data)
            end()
        while k < len(thresholds):
            self.progress_step(thresholds[k], not stats)
            k += 1

    def kill(self):
        """Ends this session from another one's thread (ROLLBACK IMMEDIATE): its thread sees the socket close."""
        with self.server.lock:
            self.server.sessions.discard(self)
        try:
            self.ch.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    # ------------------------------------------------------------ connection

    def run(self):
        with self.server.lock:
            self.server.sessions.add(self)
        try:
            if self.login():
                self.serve()
        except tds.ConnectionGone:
            pass
        except Exception as e:  # a fault of the fake: say so, drop the client
            import traceback
            traceback.print_exc()
            self.log("internal error: %s" % e)
        finally:
            with self.server.lock:
                self.server.sessions.discard(self)
            self.ch.close()

    def login(self):
        ptype, payload = self.ch.read_message()
        encryption = tds.ENCRYPT_NOT_SUP
        if ptype == tds.PKT_PRELOGIN:
            encryption = tds.encryption_answer(tds.prelogin_encryption(payload), self.server.tls_context,
                                               self.args.force_encryption)
            self.ch.write(tds.prelogin_reply(encryption))
            self.ch.flush(eom=True)
            if encryption != tds.ENCRYPT_NOT_SUP:
                self.log("TLS handshake (%s)" % self.ch.start_tls(self.server.tls_context))
            ptype, payload = self.ch.read_message()
            if encryption == tds.ENCRYPT_OFF:
                self.ch.end_tls()
        self.link = {tds.ENCRYPT_NOT_SUP: "clear", tds.ENCRYPT_OFF: "login encrypted"}.get(encryption, "encrypted")
        if ptype != tds.PKT_LOGIN7:
            self.log("expected LOGIN7, got packet type %#x" % ptype)
            return False
        login = tds.parse_login7(payload)
        if login["version"] >> 24 < 0x72:
            self.log("TDS version %#x not supported (7.2 to 7.4 only)" % login["version"])
            return False
        if self.args.login_delay:
            time.sleep(self.args.login_delay)
        user = self.server.users.get(login["user"].lower())
        if self.args.refuse_logins or user is None or user[1] != login["password"]:
            self.fail_login(login["user"])
            return False
        self.user = user[0]
        database = "master"
        if login["database"]:
            db = self.store.find(login["database"])
            if db is None:
                self.message(4060, 'Cannot open database "%s" requested by the login. The login failed.'
                             % login["database"], cls=11)
                self.fail_login(login["user"])
                return False
            database = db.name
            if self.server.single_user_taken(database, self):
                self.message(924, "Database '%s' is already open and can only have one user at a time." % database,
                             cls=14)
                self.fail_login(login["user"])
                return False
        self.database = database
        requested = login["packet_size"] or 4096
        packet_size = min(max(self.args.packet_size or requested, 512), 32767)
        ch = self.ch
        ch.write(tds.token_envchange(1, database, "master"))
        self.message(5701, "Changed database context to '%s'." % database)
        ch.write(tds.token_env_collation())
        ch.write(tds.token_envchange(2, "us_english", ""))
        self.message(5703, "Changed language setting to us_english.")
        ch.write(tds.token_loginack(min(login["version"], 0x74000004)))
        ch.write(tds.token_envchange(4, str(packet_size), str(requested)))
        ch.write(tds.token_done(DONE_FINAL))
        # Logged before the reply goes: a client that has its answer may stop the server at once.
        self.log("login %s (%s), database %s, packet size %d, link %s"
                 % (self.user, login["app"], database, packet_size, self.link))
        ch.flush(eom=True)
        ch.packet_size = packet_size
        return True

    def fail_login(self, user):
        self.log("login of '%s' refused" % user)
        self.message(18456, "Login failed for user '%s'." % user, cls=14)
        self.ch.write(tds.token_done(DONE_ERROR))
        self.ch.flush(eom=True)

    def serve(self):
        while True:
            ptype, payload = self.ch.read_message()
            if ptype == tds.PKT_BATCH:
                self.run_batch(tds.batch_text(payload))
            elif ptype == tds.PKT_ATTENTION:
                # the reply was complete before the cancel came: acknowledge it alone
                self.ch.write(tds.token_done(DONE_ATTN))
                self.ch.flush(eom=True)
            elif ptype == tds.PKT_TRANSACTION:
                self.ch.write(tds.token_done(DONE_FINAL))
                self.ch.flush(eom=True)
            elif ptype == tds.PKT_RPC:
                name = tds.rpc_name(payload)
                if name.lower() == "sp_spaceused":
                    try:
                        status, cmd, count, token = self.spaceused()
                    except SqlError as e:
                        for number, cls, state, text in e.messages:
                            self.message(number, text, cls, state)
                        status, cmd, count, token = DONE_ERROR, 0, 0, 0xFE
                    self.ch.write(tds.token_done(status, cmd, count, token))
                else:
                    self.message(2812, "Could not find stored procedure '%s'." % name, cls=16, state=62)
                    self.ch.write(tds.token_doneproc(DONE_ERROR))
                self.ch.flush(eom=True)
            else:
                self.log("unexpected packet type %#x" % ptype)
                return

    def run_batch(self, text):
        self.log("batch: %s" % text.strip().replace("\n", " | "))
        self.progress_count = 0
        try:
            statements = parse_batch(text)
        except SqlSyntaxError as e:
            if e.unclosed is not None:
                self.message(105, "Unclosed quotation mark after the character string '%s'." % e.unclosed,
                             cls=15)
            self.message(102, "Incorrect syntax near '%s'." % e.near, cls=15)
            self.ch.write(tds.token_done(DONE_ERROR))
            self.ch.flush(eom=True)
            return
        if not statements:
            self.ch.write(tds.token_done(DONE_FINAL))
            self.ch.flush(eom=True)
            return
        for i, statement in enumerate(statements):
            last = i == len(statements) - 1
            try:
                status, cmd, count, token = getattr(self, "do_" + statement[0])(*statement[1:])
            except SqlError as e:
                for number, cls, state, message in e.messages:
                    self.message(number, message, cls, state)
                status, cmd, count, token = DONE_ERROR, 0, 0, 0xFD
                last = last or e.abort_batch
            except Cancelled as e:
                self.log("cancelled")
                self.message(3204, "The backup or restore was aborted.", cls=16)
                if e.args:
                    number, cls, state, message = terminating(e.args[0])
                    self.message(number, message, cls, state)
                self.ch.write(tds.token_done(DONE_ERROR))
                self.ch.flush(eom=True)
                self.ch.write(tds.token_done(DONE_ATTN))
                self.ch.flush(eom=True)
                return
            self.ch.write(tds.token_done(status | (0 if last else DONE_MORE), cmd, count, token))
            if last:
                break
        self.ch.flush(eom=True)

    # ------------------------------------------------------------ simple statements

    def do_set(self):
        return DONE_FINAL, 0, 0, 0xFD

    def do_use(self, name):
        db = self.store.find(name)
        if db is None:
            raise SqlError([(911, 16, 1, "Database '%s' does not exist. Make sure that the name is entered correctly."
                             % name)], abort_batch=True)
        if self.server.single_user_taken(db.name, self):
            raise SqlError([(924, 14, 1, "Database '%s' is already open and can only have one user at a time."
                             % db.name)], abort_batch=True)
        old, self.database = self.database, db.name
        self.ch.write(tds.token_envchange(1, db.name, old))
        self.message(5701, "Changed database context to '%s'." % db.name)
        return DONE_FINAL, 0, 0, 0xFD

    def rows(self, columns, rows):
        self.ch.write(tds.result_set(columns, rows))
        return DONE_COUNT, CMD_SELECT, len(rows), 0xFD

    def do_select_value(self, value, alias):
        if isinstance(value, int):
            return self.rows([(alias or "", IntN(4), False)], [(value,)])
        return self.rows([(alias or "", VarChar(max(1, len(value))), False)], [(value,)])

    def do_select_global(self, name, alias):
        if name == "@@SPID":
            return self.rows([(alias or "", IntN(2), False)], [(tds.SPID,)])
        if name == "@@SERVERNAME":
            return self.rows([(alias or "", NVarChar(128), True)], [(tds.SERVER_NAME,)])
        return self.rows([(alias or "", NVarChar(300), True)],
                         [("Microsoft SQL Server 2022 (RTM) - 16.0.1000.6 (X64) (fakesql test server)",)])

    def do_select_dbname(self, alias):
        return self.rows([(alias or "", NVarChar(128), True)], [(self.current_db().name,)])

    def do_select_databases(self, alias, descending):
        dbs = self.store.databases()
        if descending is not None:
            dbs = sorted(dbs, key=lambda d: d.name.lower(), reverse=descending)
        return self.rows([(alias, NVarChar(128), False)], [(db.name,) for db in dbs])

    def current_db(self):
        db = self.store.find(self.database)
        if db is None:  # its files went away while we were connected
            db = store.Database(self.database, [])
        return db

    def space(self, db):
        """(data pages, log pages, used data pages, used log percent) of a database."""
        if db.system:
            return SYSTEM_SIZES[db.name]
        data = log = used = log_used = 0
        for f in db.files:
            size = pages(f.size())
            if f.type == "D":
                data += size
                used += used_pages(f.physical)
            else:
                log += size
                log_used += used_pages(f.physical)
        return data, log, used, (100.0 * log_used / log if log else 0.0)

    def do_spaceused(self):
        db = self.current_db()
        data_pages, log_pages, reserved, _ = self.space(db)
        index = reserved // 8
        unused = reserved // 16
        data = reserved - index - unused
        # the server's STR(x, 15, 2) rounds halves away from zero
        mb = lambda p: "%s MB" % (decimal.Decimal(p * store.PAGE) / 1048576).quantize(  # noqa: E731
            decimal.Decimal("0.01"), decimal.ROUND_HALF_UP)
        kb = lambda p: "%d KB" % (p * store.PAGE // 1024)  # noqa: E731
        ch = self.ch
        ch.write(tds.result_set([("database_name", NVarChar(128), True), ("database_size", VarChar(18), True),
                                 ("unallocated space", VarChar(18), True)],
                                [(db.name, mb(data_pages + log_pages), mb(max(0, data_pages - reserved)))]))
        ch.write(tds.token_doneinproc(DONE_MORE | DONE_COUNT, CMD_SELECT, 1))
        ch.write(tds.result_set([("reserved", VarChar(18), True), ("data", VarChar(18), True),
                                 ("index_size", VarChar(18), True), ("unused", VarChar(18), True)],
                                [(kb(reserved), kb(data), kb(index), kb(unused))]))
        ch.write(tds.token_doneinproc(DONE_MORE | DONE_COUNT, CMD_SELECT, 1))
        ch.write(tds.token_returnstatus(0))
        return DONE_FINAL, tds.CMD_EXECUTE, 0, 0xFE

    TYPE_INFO = {  # SQLGetTypeInfo rows: name, type, size, prefix, suffix, params, searchable, min/max scale, usertype
        12: ("varchar", 8000, "'", "'", "max length", 3, None, None, 2),
        -9: ("nvarchar", 4000, "N'", "'", "max length", 3, None, None, 0),
        -3: ("varbinary", 8000, "0x", None, "max length", 2, None, None, 4),
        4: ("int", 10, None, None, None, 2, 0, 0, 7),
        -5: ("bigint", 19, None, None, None, 2, 0, 0, 0),
        93: ("datetime", 23, "'", "'", None, 3, 3, 3, 12),
    }

    def do_typeinfo(self, data_type):
        columns = [("TYPE_NAME", NVarChar(128), False), ("DATA_TYPE", IntN(2), False), ("COLUMN_SIZE", IntN(4), True),
                   ("LITERAL_PREFIX", VarChar(32), True), ("LITERAL_SUFFIX", VarChar(32), True),
                   ("CREATE_PARAMS", VarChar(32), True), ("NULLABLE", IntN(2), False),
                   ("CASE_SENSITIVE", IntN(2), False), ("SEARCHABLE", IntN(2), False),
                   ("UNSIGNED_ATTRIBUTE", IntN(2), True), ("FIXED_PREC_SCALE", IntN(2), False),
                   ("AUTO_UNIQUE_VALUE", IntN(2), True), ("LOCAL_TYPE_NAME", NVarChar(128), True),
                   ("MINIMUM_SCALE", IntN(2), True), ("MAXIMUM_SCALE", IntN(2), True), ("SQL_DATA_TYPE", IntN(2), False),
                   ("SQL_DATETIME_SUB", IntN(2), True), ("NUM_PREC_RADIX", IntN(4), True),
                   ("INTERVAL_PRECISION", IntN(2), True), ("USERTYPE", IntN(2), True)]
        rows = []
        for code, (name, size, prefix, suffix, params, searchable, min_scale, max_scale, usertype) in \
                self.TYPE_INFO.items():
            if data_type in (None, 0, code):
                numeric = code in (4, -5)
                rows.append((name, code, size, prefix, suffix, params, 1, 0, searchable, 0 if numeric else None, 0,
                             0 if numeric else None, name, min_scale, max_scale, 9 if code == 93 else code,
                             3 if code == 93 else None, 10 if numeric else None, None, usertype))
        self.ch.write(tds.result_set(columns, rows))
        self.ch.write(tds.token_doneinproc(DONE_MORE | DONE_COUNT, CMD_SELECT, len(rows)))
        self.ch.write(tds.token_returnstatus(0))
        return DONE_FINAL, tds.CMD_EXECUTE, 0, 0xFE

    def do_logspace(self):
        if self.args.deny_logspace:
            raise SqlError([(297, 16, 10, "The user does not have permission to perform this action.")])
        rows = []
        for db in self.store.databases():
            _, log_pages, _, used = self.space(db)
            rows.append((db.name, log_pages * store.PAGE / 1048576.0, used, 0))
        self.ch.write(tds.result_set([("Database Name", NVarChar(128), True), ("Log Size (MB)", Float(4), True),
                                      ("Log Space Used (%)", Float(4), True), ("Status", IntN(4), True)], rows))
        self.ch.write(tds.token_done(DONE_MORE | DONE_COUNT, CMD_SELECT, len(rows)))
        self.message(2528, "DBCC execution completed. If DBCC printed error messages, contact your system "
                           "administrator.")
        return DONE_FINAL, 0, 0, 0xFD

    # ------------------------------------------------------------ backup

    def do_backup(self, name, path, options):
        keys = {k for k, _ in options}
        values = dict(options)
        term = terminating("BACKUP DATABASE")
        stats = values.get("STATS", 10) if "STATS" in keys else 0
        stats = stats if isinstance(stats, int) and 0 < stats <= 100 else (10 if "STATS" in keys else 0)
        db = self.store.find(name)
        if db is None:
            raise SqlError([(911, 16, 11, "Database '%s' does not exist. Make sure that the name is entered "
                                          "correctly." % name), term])
        compressed = "COMPRESSION" in keys
        if compressed and self.args.no_compression:
            raise SqlError([(1844, 16, 1, "BACKUP DATABASE WITH COMPRESSION is not supported on Express Edition "
                                          "(64-bit)."), term])
        if db.system:
            raise SqlError([(50000, 16, 1, "fakesql: the system database '%s' has no files to back up." % db.name),
                            term])
        real_path = self.store.resolve(path)
        init = "INIT" in keys or "FORMAT" in keys
        existed = os.path.isfile(real_path)
        append = existed and not init
        try:
            position = 1
            if append:
                position = len(store.read_sets(real_path)) + 1
            f = open(real_path, "r+b" if append else "w+b")
        except store.BadMedia:
            raise SqlError([(3241, 16, 0, "The media family on device '%s' is incorrectly formed. SQL Server cannot "
                                          "process this media family." % path), term])
        except OSError as e:
            raise SqlError([(3201, 16, 1, "Cannot open backup device '%s'. Operating system error %s."
                             % (path, os_error_text(e, real_path))), term])
        started = time.monotonic()
        try:
            f.seek(0, os.SEEK_END)
            original_length = f.tell()
            checksums = "CHECKSUM" in keys
            header = store.new_set_header(position, db, values.get("NAME") or "", values.get("DESCRIPTION"),
                                          compressed, self.user, "COPY_ONLY" in keys, checksums)
            writer = store.BackupWriter(f, header, not append, values.get("MEDIADESCRIPTION"))
            total = sum(x["size"] for x in header["files"])
            items = []
            for x in header["files"]:
                source = {}

                def begin(x=x, source=source):
                    source["f"] = open(x["physical"], "rb")
                    writer.begin_file()

                def read(limit, x=x, source=source):
                    # never more than the size the set header announced
                    left = x["size"] - source.get("n", 0)
                    data = source["f"].read(min(limit, left)) if left > 0 else b""
                    source["n"] = source.get("n", 0) + len(data)
                    return data

                def end(source=source):
                    source["f"].close()
                    writer.end_file()

                items.append((begin, read, writer.write, end))
            self.pump(items, stats, total)
            set_bytes = f.tell() - original_length
            trailer = {"finish": store.now().isoformat(),
                       "backup_size": total + (set_bytes - writer.data_bytes) if compressed else set_bytes,
                       "compressed_size": set_bytes}
            if checksums:
                trailer["checksum"] = writer.crc
            writer.finish(trailer)
            if self.args.damage_backups and writer.data_bytes:
                # a disk that damages what was written: one bit of the set's first file bytes flips
                f.seek(original_length)
                store.flip_first_data_byte(f)
            f.close()
        except BaseException as e:
            f.close()
            if append:
                os.truncate(real_path, original_length)
            else:
                try:
                    os.remove(real_path)
                except OSError:
                    pass
            if isinstance(e, Cancelled):
                raise Cancelled("BACKUP DATABASE")
            if isinstance(e, OSError):
                raise SqlError([(3202, 16, 1, "Write on '%s' failed: %s" % (path, os_error_text(e, real_path))),
                                term])
            raise
        seconds = time.monotonic() - started
        files = header["files"]
        for x in files:
            if x["type"] == "D":
                self.info_more(4035, "Processed %d pages for database '%s', file '%s' on file %d."
                               % (pages(x["size"]), db.name, x["logical"], position))
        if stats:
            self.info_more(3211, "100 percent processed.")
        for x in files:
            if x["type"] != "D":
                self.info_more(4035, "Processed %d pages for database '%s', file '%s' on file %d."
                               % (pages(x["size"]), db.name, x["logical"], position))
        self.message(3014, "BACKUP DATABASE successfully processed %d pages in %.3f seconds (%.3f MB/sec)."
                     % (sum(pages(x["size"]) for x in files), seconds, mb_per_sec(total, seconds)))
        return DONE_FINAL, 0, 0, 0xFD

    # ------------------------------------------------------------ restore

    def open_set(self, path, file_number, what):
        """(BackupSet, all sets) of a backup file, or the real server's errors."""
        real_path = self.store.resolve(path)
        term = terminating(what)
        try:
            sets = store.read_sets(real_path)
        except store.BadMedia:
            raise SqlError([(3241, 16, 0, "The media family on device '%s' is incorrectly formed. SQL Server cannot "
                                          "process this media family." % path), term])
        except OSError as e:
            raise SqlError([(3201, 16, 2, "Cannot open backup device '%s'. Operating system error %s."
                             % (path, os_error_text(e, real_path))), term])
        if not isinstance(file_number, int) or not 1 <= file_number <= len(sets):
            raise SqlError([(4038, 16, 1, "Cannot find file ID %s on device '%s'." % (file_number, path)), term])
        return sets[file_number - 1], sets

    def do_restore_filelistonly(self, _db, path, options):
        backup_set, _ = self.open_set(path, dict(options).get("FILE", 1), "RESTORE FILELIST")
        header = backup_set.header
        columns = [("LogicalName", NVarChar(128), True), ("PhysicalName", NVarChar(260), True),
                   ("Type", Char(1), True), ("FileGroupName", NVarChar(128), True),
                   ("Size", Numeric(20), True), ("MaxSize", Numeric(20), True), ("FileId", IntN(8), True),
                   ("CreateLSN", Numeric(25), True), ("DropLSN", Numeric(25), True), ("UniqueId", Guid(), True),
                   ("ReadOnlyLSN", Numeric(25), True), ("ReadWriteLSN", Numeric(25), True),
                   ("BackupSizeInBytes", IntN(8), True), ("SourceBlockSize", IntN(4), True),
                   ("FileGroupId", IntN(4), True), ("LogGroupGUID", Guid(), True),
                   ("DifferentialBaseLSN", Numeric(25), True), ("DifferentialBaseGUID", Guid(), True),
                   ("IsReadOnly", Bit(), True), ("IsPresent", Bit(), True), ("TDEThumbprint", VarBinary(32), True),
                   ("SnapshotUrl", NVarChar(360), True)]
        rows = []
        for x in header["files"]:
            data = x["type"] == "D"
            rows.append((x["logical"], x["physical"], x["type"], "PRIMARY" if data else None, x["size"],
                         MAX_DATA_SIZE if data else MAX_LOG_SIZE, x["file_id"], 0, 0,
                         uuid.uuid5(uuid.NAMESPACE_URL, header["database"] + "/" + x["logical"]), 0, 0,
                         x["size"], 512, 1 if data else 0, None, 0, uuid.UUID(int=0), False, True, None, None))
        return self.rows(columns, rows)

    def do_restore_headeronly(self, _db, path, options):
        _, sets = self.open_set(path, 1, "RESTORE HEADERONLY")
        columns = [("BackupName", NVarChar(128), True), ("BackupDescription", NVarChar(255), True),
                   ("BackupType", IntN(2), True), ("ExpirationDate", DateTime(), True),
                   ("Compressed", IntN(1), True), ("Position", IntN(2), True), ("DeviceType", IntN(1), True),
                   ("UserName", NVarChar(128), True), ("ServerName", NVarChar(128), True),
                   ("DatabaseName", NVarChar(128), True), ("DatabaseVersion", IntN(4), True),
                   ("DatabaseCreationDate", DateTime(), True), ("BackupSize", Numeric(20), True),
                   ("FirstLSN", Numeric(25), True), ("LastLSN", Numeric(25), True),
                   ("CheckpointLSN", Numeric(25), True), ("DatabaseBackupLSN", Numeric(25), True),
                   ("BackupStartDate", DateTime(), True), ("BackupFinishDate", DateTime(), True),
                   ("SortOrder", IntN(2), True), ("CodePage", IntN(2), True), ("UnicodeLocaleId", IntN(4), True),
                   ("UnicodeComparisonStyle", IntN(4), True), ("CompatibilityLevel", IntN(1), True),
                   ("SoftwareVendorId", IntN(4), True), ("SoftwareVersionMajor", IntN(4), True),
                   ("SoftwareVersionMinor", IntN(4), True), ("SoftwareVersionBuild", IntN(4), True),
                   ("MachineName", NVarChar(128), True), ("Flags", IntN(4), True), ("BindingID", Guid(), True),
                   ("RecoveryForkID", Guid(), True), ("Collation", NVarChar(128), True),
                   ("FamilyGUID", Guid(), True), ("HasBulkLoggedData", Bit(), True), ("IsSnapshot", Bit(), True),
                   ("IsReadOnly", Bit(), True), ("IsSingleUser", Bit(), True), ("HasBackupChecksums", Bit(), True),
                   ("IsDamaged", Bit(), True), ("BeginsLogChain", Bit(), True),
                   ("HasIncompleteMetaData", Bit(), True), ("IsForceOffline", Bit(), True),
                   ("IsCopyOnly", Bit(), True), ("FirstRecoveryForkID", Guid(), True),
                   ("ForkPointLSN", Numeric(25), True), ("RecoveryModel", NVarChar(60), True),
                   ("DifferentialBaseLSN", Numeric(25), True), ("DifferentialBaseGUID", Guid(), True),
                   ("BackupTypeDescription", NVarChar(60), True), ("BackupSetGUID", Guid(), True),
                   ("CompressedBackupSize", IntN(8), True), ("Containment", IntN(1), True),
                   ("KeyAlgorithm", NVarChar(32), True), ("EncryptorThumbprint", VarBinary(20), True),
                   ("EncryptorType", NVarChar(32), True)]
        rows = []
        for s in sets:
            h, t = s.header, s.trailer
            start = datetime.datetime.fromisoformat(h["start"])
            finish = datetime.datetime.fromisoformat(t["finish"])
            lsn = 37000000000000000 + h["position"] * 100000000
            family = uuid.uuid5(uuid.NAMESPACE_URL, "db/" + h["database"].lower())
            rows.append((h["name"] or None, h["description"], 1, None, 1 if h["compressed"] else 0, h["position"], 2,
                         h["user"], tds.SERVER_NAME, h["database"], 957, start, t["backup_size"], lsn, lsn + 100,
                         lsn + 50, 0, start, finish, 52, 0, 1033, 196609, 160, 4608, 16, 0, 1000, tds.SERVER_NAME,
                         512, family, family, "SQL_Latin1_General_CP1_CI_AS", family, False, False, False, False,
                         bool(h.get("checksums")), False, False, False, False, bool(h.get("copy_only")), family, None, "FULL", None, None, "Database",
                         uuid.UUID(h["backup_set_guid"]), t["compressed_size"], 0, None, None, None))
        return self.rows(columns, rows)

    def check_damage(self, path, backup_set, keys, what):
        """The real server's answer to a set that its checksums, or the lack of them, do not allow to read."""
        term = terminating(what)
        if "CHECKSUM" in keys and not backup_set.header.get("checksums"):
            raise SqlError([(3187, 16, 1, "RESTORE WITH CHECKSUM cannot be specified because the backup set does "
                                          "not contain checksum information."), term])
        if "NO_CHECKSUM" in keys:
            return
        try:
            bad = store.damaged(self.store.resolve(path), backup_set)
        except store.BadMedia:
            bad = True
        except OSError as e:
            raise SqlError([(3203, 16, 1, "Read on \"%s\" failed: %s" % (path, os_error_text(e, path))), term])
        if bad:
            self.log("backup set %d of %s is damaged" % (backup_set.header["position"], path))
            raise SqlError([(3189, 16, 1, "Damage to the backup set was detected."), term])

    def do_restore_verifyonly(self, _db, path, options):
        keys = {k for k, _ in options}
        values = dict(options)
        stats = values.get("STATS", 10) if "STATS" in keys else 0
        stats = stats if isinstance(stats, int) and 0 < stats <= 100 else (10 if "STATS" in keys else 0)
        number = values.get("FILE", 1)
        backup_set, _ = self.open_set(path, number, "VERIFY DATABASE")
        self.check_damage(path, backup_set, keys, "VERIFY DATABASE")
        if stats:
            for percent in range(stats, 101, stats):
                self.progress_step(percent, False)
            if 100 % stats:
                self.info_more(3211, "100 percent processed.")
        self.message(3262, "The backup set on file %d is valid." % number)
        return DONE_FINAL, 0, 0, 0xFD

    def do_alter_access(self, name, access, termination):
        db = self.store.find(name)
        if db is None or db.system:
            if db is None:
                raise SqlError([(5011, 14, 5, "User does not have permission to alter database '%s', the database "
                                              "does not exist, or the database is not in a state that allows access "
                                              "checks." % name),
                                (5069, 16, 1, "ALTER DATABASE statement failed.")])
            raise SqlError([(5058, 16, 6, "Option 'SINGLE_USER' cannot be set in database '%s'." % db.name),
                            (5069, 16, 1, "ALTER DATABASE statement failed.")])
        key = db.name.lower()
        if access == "MULTI_USER":
            with self.server.lock:
                self.server.access.pop(key, None)
            self.log("database %s is now MULTI_USER" % db.name)
            return DONE_FINAL, 0, 0, 0xFD
        with self.server.lock:
            others = [s for s in self.server.sessions if s is not self and s.database.lower() == key]
        if others and termination != "IMMEDIATE":
            raise SqlError([(5061, 16, 1, "ALTER DATABASE failed because a lock could not be placed on database "
                                          "'%s'. Try again later." % db.name),
                            (5069, 16, 1, "ALTER DATABASE statement failed.")])
        for other in others:  # their work is rolled back and their connections closed
            other.kill()
        with self.server.lock:
            self.server.access[key] = access
        if others:
            self.message(5060, "Nonqualified transactions are being rolled back. Estimated rollback completion: "
                               "100%.")
        self.log("database %s is now %s (%d other connections closed)" % (db.name, access, len(others)))
        return DONE_FINAL, 0, 0, 0xFD

    def do_restore_database(self, name, path, options):
        keys = {k for k, _ in options}
        values = dict(options)
        term = terminating("RESTORE DATABASE")
        stats = values.get("STATS", 10) if "STATS" in keys else 0
        stats = stats if isinstance(stats, int) and 0 < stats <= 100 else (10 if "STATS" in keys else 0)
        backup_set, _ = self.open_set(path, values.get("FILE", 1), "RESTORE DATABASE")
        self.check_damage(path, backup_set, keys, "RESTORE DATABASE")
        header = backup_set.header
        position = header["position"]
        files = header["files"]
        moves = [v for k, v in options if k == "MOVE"]
        targets = {x["logical"].lower(): x["physical"] for x in files}
        for logical, target in moves:
            if logical.lower() not in targets:
                raise SqlError([(3234, 16, 2, "Logical file '%s' is not part of database '%s'. Use RESTORE "
                                              "FILELISTONLY to list the logical file names." % (logical, name)),
                                term])
            targets[logical.lower()] = target
        existing = self.store.find(name)
        if existing is not None and existing.system:
            raise SqlError([(3108, 16, 1, "To restore the master database, the server must be running in "
                                          "single-user mode."), term])
        if existing is not None and existing.name.lower() in self.server.databases_in_use(None):
            raise SqlError([(3101, 16, 1, "Exclusive access could not be obtained because the database is in "
                                          "use."), term])
        replace = "REPLACE" in keys
        if existing is not None and not replace:
            if existing.name.lower() != header["database"].lower():
                raise SqlError([(3154, 16, 4, "The backup set holds a backup of a database other than the existing "
                                              "'%s' database." % existing.name), term])
            raise SqlError([(3159, 16, 1, 'The tail of the log for the database "%s" has not been backed up. Use '
                                          'BACKUP LOG WITH NORECOVERY to backup the log if it contains work you do '
                                          'not want to lose. Use the WITH REPLACE or WITH STOPAT clause of the '
                                          'RESTORE statement to just overwrite the contents of the log.'
                                          % existing.name), term])
        # planning: every target must be creatable and not belong to another database
        problems = []
        owners = {}
        for db in self.store.databases():
            if existing is None or db.name.lower() != existing.name.lower():
                for f in db.files:
                    owners[os.path.realpath(f.physical)] = db.name
        own_files = {os.path.realpath(f.physical) for f in existing.files} if existing else set()
        plan = []
        for x in files:
            target = targets[x["logical"].lower()]
            real_target = self.store.resolve(target)
            folder = os.path.dirname(real_target)
            cannot = (3156, 16, 3, "File '%s' cannot be restored to '%s'. Use WITH MOVE to identify a valid "
                                   "location for the file." % (x["logical"], target))
            if not os.path.isdir(folder):
                problems.append((5133, 16, 1, 'Directory lookup for the file "%s" failed with the operating system '
                                              'error 3(The system cannot find the path specified.).' % target))
                problems.append(cannot)
            elif os.path.realpath(real_target) in owners:
                problems.append((1834, 16, 1, "The file '%s' cannot be overwritten.  It is being used by database "
                                              "'%s'." % (target, owners[os.path.realpath(real_target)])))
                problems.append(cannot)
            elif os.path.exists(real_target) and not replace and os.path.realpath(real_target) not in own_files:
                problems.append((3142, 16, 1, 'File "%s" cannot be restored over the existing "%s". Reissue the '
                                              'RESTORE statement using WITH REPLACE to overwrite pre-existing files, '
                                              'or WITH MOVE to identify an alternate file location.'
                                 % (x["logical"], target)))
            plan.append((x, target, real_target))
        if problems:
            raise SqlError(problems + [(3119, 16, 1, "Problems were identified while planning for the RESTORE "
                                                     "statement. Previous messages provide details."), term])
        started = time.monotonic()
        written = []
        total = sum(x["size"] for x in files)
        try:
            with open(self.store.resolve(path), "rb") as source:
                source.seek(backup_set.data_offset)
                reader = store.FileReader(source, header["compressed"])
                items = []
                for x, target, real_target in plan:
                    out = {}

                    def begin(target=target, real_target=real_target, out=out):
                        try:
                            out["f"] = open(real_target, "wb")
                        except OSError as e:
                            raise SqlError([(3634, 16, 1, "The operating system returned the error '%s' while "
                                                          "attempting 'RestoreContainer::ValidateTargetForCreation' "
                                                          "on '%s'." % (os_error_text(e, real_target), target)),
                                            term])
                        written.append(real_target)
                        reader.begin_file()

                    def write(data, out=out):
                        out["f"].write(data)
                        out["f"].flush()  # a watcher sees the file grow

                    def end(out=out):
                        out["f"].close()

                    items.append((begin, reader.read, write, end))
                self.pump(items, stats, total)
        except BaseException as e:
            for p in written:
                try:
                    os.remove(p)
                except OSError:
                    pass
            if isinstance(e, Cancelled):
                raise Cancelled("RESTORE DATABASE")
            if isinstance(e, store.BadMedia):
                raise SqlError([(3183, 16, 1, "RESTORE detected an error on page (0:0) in database \"%s\" as read "
                                              "from the backup set." % name), term])
            if isinstance(e, OSError):
                raise SqlError([(3203, 16, 1, "Read on \"%s\" failed: %s" % (path, os_error_text(e, path))), term])
            raise
        restored = [store.DbFile(x["logical"], real_target, x["type"], x["file_id"])
                    for x, target, real_target in plan]
        self.store.register(existing.name if existing else name, restored)
        with self.server.lock:  # the restored database takes the user access it had when it was backed up
            self.server.access.pop((existing.name if existing else name).lower(), None)
        seconds = time.monotonic() - started
        if stats:
            self.info_more(3211, "100 percent processed.")
        for x in files:
            self.info_more(4035, "Processed %d pages for database '%s', file '%s' on file %d."
                           % (pages(x["size"]), existing.name if existing else name, x["logical"], position))
        self.message(3014, "RESTORE DATABASE successfully processed %d pages in %.3f seconds (%.3f MB/sec)."
                     % (sum(pages(x["size"]) for x in files), seconds, mb_per_sec(total, seconds)))
        return DONE_FINAL, 0, 0, 0xFD


def main():
    parser = argparse.ArgumentParser(description="Fake SQL Server for the tests (TDS 7.2-7.4, optional TLS).")
    parser.add_argument("--root", required=True, help="folder whose sub-folders are the databases")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--user", action="append", default=[], help="NAME:PASSWORD (repeatable; default sa:sa)")
    parser.add_argument("--progress-delay", type=float, default=0.05)
    parser.add_argument("--login-delay", type=float, default=0.0)
    parser.add_argument("--drop-after-progress", type=int, default=0)
    parser.add_argument("--refuse-logins", action="store_true")
    parser.add_argument("--no-compression", action="store_true")
    parser.add_argument("--damage-backups", action="store_true",
                        help="one bit of every backup set written flips once it is complete")
    parser.add_argument("--deny-logspace", action="store_true",
                        help="DBCC sqlperf(logspace) fails as for a login without VIEW SERVER STATE")
    parser.add_argument("--packet-size", type=int, default=0,
                        help="packet size the server imposes at login (default: the client's)")
    parser.add_argument("--tls-cert", help="PEM certificate: the server offers encryption (TLS inside TDS)")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert (default: in the same file)")
    parser.add_argument("--force-encryption", action="store_true",
                        help="with --tls-cert: the whole link is encrypted whatever the client asks")
    args = parser.parse_args()
    if args.force_encryption and not args.tls_cert:
        parser.error("--force-encryption needs --tls-cert")
    if args.host != "127.0.0.1":
        parser.error("only 127.0.0.1 is allowed for --host")
    if not os.path.isdir(args.root):
        parser.error("--root %s is not a folder" % args.root)

    server = Server(args)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)

    def stop(*_):
        os._exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(1):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    print("PORT %d" % listener.getsockname()[1], flush=True)
    while True:
        sock, _ = listener.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=Session(server, sock).run, daemon=True).start()


if __name__ == "__main__":
    main()
