# SPDX-License-Identifier: MIT
"""Checks the fake SQL Server with clients we did not write: FreeTDS tsql and ODBC (pyodbc over FreeTDS)."""
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from fakesql_helper import FakeSql, make_certificate, make_database, message_numbers, tsql, wait_until

import pyodbc  # Debian's python3-pyodbc: run the tests with /usr/bin/python3

PAGE = 8192


def pattern(n, seed):
    """n bytes without zero pages, different per seed."""
    block = bytes((i * 7 + seed) % 251 + 1 for i in range(PAGE))
    return (block * (n // PAGE + 1))[:n]


def sales_files(seed=1):
    # data: 128 used pages; second data file: 8 used + 16 empty pages; log: 16 used + 48 empty pages (25 %)
    return {"Sales.mdf": pattern(128 * PAGE, seed),
            "Sales_2.ndf": pattern(8 * PAGE, seed + 1) + bytes(16 * PAGE),
            "Sales_log.ldf": pattern(16 * PAGE, seed + 2) + bytes(48 * PAGE)}


class FakeSqlCase(unittest.TestCase):
    options = ("--progress-delay", "0.01")

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="fakesql-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.sales = make_database(self.root, "Sales", sales_files())
        self.server = FakeSql(self.root, *self.options)
        self.addCleanup(self.server.stop)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def run_tsql(self, script, **kw):
        return tsql(self.server.port, script, **kw)

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()


class TsqlTest(FakeSqlCase):
    def test_session_on_each_tds_version_and_packet_size(self):
        make_database(self.root, "Sa]les", {"Odd.mdf": b"x", "Odd_log.ldf": b"y"})
        script = "\n".join([
            "SELECT 1", "go", "SELECT 'O''Hara'", "go",
            "USE [Sa]]les]", "go", "SELECT DB_NAME()", "go",
            "USE [Sales]; sp_spaceused", "go",
            "DBCC sqlperf(logspace)", "go",
            "SELECT name AS CATALOG_NAME FROM master.sys.databases ORDER BY name", "go",
            "BACKUP DATABASE [Sales] TO DISK = 'v.bak' WITH INIT, STATS = 25", "go", ""])
        small = FakeSql(self.root, "--packet-size", "512")  # replies span many packets
        self.addCleanup(small.stop)
        for version, port in (("7.2", self.server.port), ("7.3", self.server.port), ("7.4", small.port)):
            with self.subTest(version=version, port=port):
                code, out = tsql(port, script, tds_version=version)
                self.assertEqual(code, 0, out)
                lines = out.replace("\r", "").split("\n")
                self.assertIn("O'Hara", out)
                self.assertTrue(any(line.endswith("Sa]les") for line in lines), out)
                # 152 data pages (136 used), 64 log pages
                self.assertIn("Sales\t1.69 MB\t0.13 MB", out)
                self.assertIn("1088 KB\t888 KB\t136 KB\t64 KB", out)
                self.assertIn("Sales\t0.5\t25\t0", out)
                names = out[out.index("CATALOG_NAME"):].split("\n")[1:7]
                self.assertEqual([n.strip() for n in names], ["master", "model", "msdb", "Sa]les", "Sales", "tempdb"])
                self.assertEqual(message_numbers(out), [2528, 3211, 3211, 3211, 4035, 4035, 3211, 4035, 3014])
                self.assertIn("Processed 24 pages for database 'Sales', file 'Sales_2' on file 1.", out)
                self.assertIn("BACKUP DATABASE successfully processed 216 pages in ", out)
                self.assertTrue(os.path.isfile(self.path("v.bak")))
                code, out = tsql(port, "RESTORE HEADERONLY FROM DISK = 'v.bak'\ngo\n", tds_version=version)
                self.assertIn("\tSales\t957\t", out)

    def test_errors_worded_as_the_server(self):
        code, out = self.run_tsql("SELECT 1\ngo\n", password="wrong")
        self.assertNotEqual(code, 0)
        self.assertIn("Login failed for user 'sa'.", out)

        self.assertEqual(self.run_tsql("BACKUP DATABASE [Sales] TO DISK = 'good.bak'\ngo\n")[0], 0)
        good = self.path("good.bak")
        os.mkdir(self.path("target"))
        moves = ", ".join("MOVE '%s' TO '%s'" % (name, self.path("target", "x" + name)) for name in
                          ("Sales", "Sales_2"))
        cases = [
            ("USE [Nope]", [911], "Database 'Nope' does not exist. Make sure that the name is entered correctly."),
            ("BACKUP DATABASE [Nope] TO DISK = 'n.bak'", [911, 3013], "BACKUP DATABASE is terminating abnormally."),
            ("BACKUP DATABASE [Sales] TO DISK = '%s'" % self.path("no", "x.bak"), [3201, 3013],
             "Cannot open backup device '%s'. Operating system error 3(The system cannot find the path specified.)."
             % self.path("no", "x.bak")),
            ("RESTORE FILELISTONLY FROM DISK = 'missing.bak'", [3201, 3013],
             "Operating system error 2(The system cannot find the file specified.)."),
            ("RESTORE FILELISTONLY FROM DISK = '%s' WITH FILE = 2" % good, [4038, 3013],
             "RESTORE FILELIST is terminating abnormally."),
            ("RESTORE DATABASE [S2] FROM DISK = '%s' WITH MOVE 'Nope' TO 'x.mdf'" % good, [3234, 3013],
             "Logical file 'Nope' is not part of database 'S2'. Use RESTORE FILELISTONLY to list the logical file "
             "names."),
            ("RESTORE DATABASE [S2] FROM DISK = '%s' WITH %s, MOVE 'Sales_log' TO '/nonexistent/S2.ldf'"
             % (good, moves), [5133, 3156, 3119, 3013],
             "File 'Sales_log' cannot be restored to '/nonexistent/S2.ldf'. Use WITH MOVE to identify a valid "
             "location for the file."),
            # without MOVE the files would land on the files of Sales
            ("RESTORE DATABASE [S2] FROM DISK = '%s' WITH REPLACE" % good, [1834, 3156] * 3 + [3119, 3013],
             "It is being used by database 'Sales'."),
            ("RESTORE DATABASE [Sales] FROM DISK = '%s'" % good, [3159, 3013], "WITH REPLACE"),
            ("SELEC 1", [102], "Incorrect syntax near 'SELEC'."),
            ("SELECT 'abc", [105, 102], "Unclosed quotation mark after the character string 'abc"),
        ]
        for statement, numbers, text in cases:
            with self.subTest(statement=statement):
                code, out = self.run_tsql(statement + "\ngo\n")
                self.assertEqual(message_numbers(out), numbers, out)
                self.assertIn(text, out)
        self.assertFalse(os.path.exists(self.path("n.bak")))
        self.assertEqual(os.listdir(self.path("target")), [])
        self.assertEqual(self.read(self.sales["Sales.mdf"]), sales_files()["Sales.mdf"])

    def test_checksums_verification_and_user_access(self):
        script = "\n".join([
            "BACKUP DATABASE [Sales] TO DISK = 'c.bak' WITH NAME = 'Sales Backup', COPY_ONLY, CHECKSUM, INIT", "go",
            "RESTORE VERIFYONLY FROM DISK = 'c.bak' WITH CHECKSUM, STATS = 50", "go",
            "BACKUP DATABASE [Sales] TO DISK = 'plain.bak' WITH INIT", "go",
            "RESTORE VERIFYONLY FROM DISK = 'plain.bak' WITH CHECKSUM", "go",
            "ALTER DATABASE [Sales] SET SINGLE_USER WITH ROLLBACK IMMEDIATE", "go",
            "ALTER DATABASE [Sales] SET MULTI_USER", "go",
            "ALTER DATABASE [Nope] SET MULTI_USER", "go", ""])
        code, out = self.run_tsql(script)
        numbers = message_numbers(out)
        verify = out[out.index("BACKUP DATABASE successfully processed"):]
        self.assertIn("50 percent processed.", verify)
        self.assertIn("The backup set on file 1 is valid.", verify)
        self.assertIn(3262, numbers)
        self.assertEqual(numbers[-4:], [3187, 3013, 5011, 5069], out)
        self.assertIn("RESTORE WITH CHECKSUM cannot be specified because the backup set does not contain checksum "
                      "information.", out)
        # one flipped bit in the middle of the set's pages
        path = self.path("c.bak")
        data = bytearray(self.read(path))
        data[len(data) // 2] ^= 0x01
        with open(path, "wb") as f:
            f.write(data)
        code, out = self.run_tsql("RESTORE VERIFYONLY FROM DISK = 'c.bak' WITH FILE = 1, CHECKSUM\ngo\n")
        self.assertEqual(message_numbers(out), [3189, 3013], out)
        self.assertIn("Damage to the backup set was detected.", out)
        self.assertIn("VERIFY DATABASE is terminating abnormally.", out)
        code, out = self.run_tsql("RESTORE HEADERONLY FROM DISK = 'c.bak'\ngo\n")
        # HasBackupChecksums and IsCopyOnly
        self.assertIn("\t0\t0\t0\t0\t1\t0\t0\t0\t0\t1\t", out)


class OdbcTest(FakeSqlCase):
    options = ("--progress-delay", "0.25", "--user", "sa:Secret1")

    def connect(self, **kw):
        kw.setdefault("password", "Secret1")
        return pyodbc.connect(self.server.odbc(**kw), autocommit=True)

    def drain(self, cursor, on_message=None):
        """Reads every result of the statement; returns [(seconds since start, native number, text)]."""
        start = time.monotonic()
        seen = []
        while True:
            for state, text in cursor.messages:
                number = int(state[state.index("(") + 1:state.index(")")])
                seen.append((time.monotonic() - start, number, text.split("]")[-1]))
                if on_message:
                    on_message(seen[-1])
            if not cursor.nextset():
                return seen

    def test_backup_progress_arrives_while_running(self):
        backup = self.connect().cursor()
        other = self.connect().cursor()
        answered_during_backup = []

        def on_message(message):
            if message[2] == "10 percent processed.":  # another connection is served meanwhile
                answered_during_backup.append(other.execute("SELECT DB_NAME()").fetchone()[0])

        backup.execute("BACKUP DATABASE [Sales] TO DISK = 'p.bak' WITH INIT, STATS = 10")
        seen = self.drain(backup, on_message)
        self.assertEqual([m[1] for m in seen], [3211] * 9 + [4035, 4035, 3211, 4035, 3014])
        self.assertEqual([m[2] for m in seen[:9]], ["%d percent processed." % p for p in range(10, 100, 10)])
        self.assertEqual(answered_during_backup, ["master"])
        # one message per result, each as the server sent it: 9 pauses of 0.25 s lie between the first and the last
        self.assertGreater(seen[8][0] - seen[0][0], 1.0)
        self.assertTrue(os.path.isfile(self.path("p.bak")))

    def test_restore_under_another_name_with_move(self):
        cursor = self.connect().cursor()
        first = {name: self.read(path) for name, path in self.sales.items()}
        cursor.execute("BACKUP DATABASE [Sales] TO DISK = 'two.bak' WITH NAME = 'Sales Backup', INIT, STATS = 50")
        self.drain(cursor)
        make_database(self.root, "Sales", sales_files(seed=9))
        cursor.execute("BACKUP DATABASE [Sales] TO DISK = 'two.bak' WITH COMPRESSION, NOINIT, STATS = 50")
        self.drain(cursor)

        headers = cursor.execute("RESTORE HEADERONLY FROM DISK = 'two.bak'").fetchall()
        self.assertEqual([(h.Position, h.BackupName, h.DatabaseName, h.Compressed, h.BackupType) for h in headers],
                         [(1, "Sales Backup", "Sales", 0, 1), (2, None, "Sales", 1, 1)])
        self.assertLess(headers[1].CompressedBackupSize, headers[1].BackupSize)

        rows = cursor.execute("RESTORE FILELISTONLY FROM DISK = 'two.bak' WITH FILE = 2").fetchall()
        self.assertEqual([(r.LogicalName, r.PhysicalName, r.Type, r.FileGroupName, int(r.Size), r.FileId)
                          for r in rows],
                         [("Sales", self.sales["Sales.mdf"], "D", "PRIMARY", 128 * PAGE, 1),
                          ("Sales_log", self.sales["Sales_log.ldf"], "L", None, 64 * PAGE, 2),
                          ("Sales_2", self.sales["Sales_2.ndf"], "D", "PRIMARY", 24 * PAGE, 3)])

        os.mkdir(self.path("copy"))
        target = {"Sales": self.path("copy", "Copy_data.mdf"), "Sales_2": self.path("copy", "Copy_2.ndf"),
                  "Sales_log": self.path("copy", "Copy_log.ldf")}
        moves = ",".join("MOVE '%s' TO '%s'" % item for item in target.items())
        sizes = set()
        watching = threading.Event()
        watching.set()

        def watch():
            while watching.is_set():
                if os.path.exists(target["Sales"]):
                    sizes.add(os.path.getsize(target["Sales"]))
                time.sleep(0.01)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            for position, expected in ((1, first), (2, {n: self.read(p) for n, p in self.sales.items()})):
                cursor.execute("USE master")
                cursor.execute("RESTORE DATABASE [Copy] FROM DISK = 'two.bak' WITH FILE = %d, REPLACE, %s, STATS = 10"
                               % (position, moves))
                seen = self.drain(cursor)
                self.assertEqual([m[1] for m in seen], [3211] * 10 + [4035] * 3 + [3014])
                self.assertIn("RESTORE DATABASE successfully processed 216 pages in ", seen[-1][2])
                for name, logical in (("Sales.mdf", "Sales"), ("Sales_2.ndf", "Sales_2"),
                                      ("Sales_log.ldf", "Sales_log")):
                    self.assertEqual(self.read(target[logical]), expected[name], (position, name))
        finally:
            watching.clear()
            watcher.join()
        self.assertGreater(len([s for s in sizes if 0 < s < 128 * PAGE]), 2, sizes)

        cursor.execute("USE [Copy]")
        self.assertEqual(cursor.execute("SELECT DB_NAME()").fetchone()[0], "Copy")
        rows = cursor.execute("sp_spaceused").fetchall()
        self.assertEqual(rows[0].database_name, "Copy")
        # the restored database is remembered across a restart of the server
        self.server.stop()
        with FakeSql(self.root) as again:
            with pyodbc.connect(again.odbc(database="copy"), autocommit=True) as conn:
                self.assertEqual(conn.execute("SELECT DB_NAME()").fetchone()[0], "Copy")
                names = [r[0] for r in conn.execute("SELECT name AS CATALOG_NAME FROM master.sys.databases")]
                self.assertEqual(names, ["master", "tempdb", "model", "msdb", "Copy", "Sales"])

    def test_cancel_in_the_middle(self):
        cursor = self.connect().cursor()
        cursor.execute("BACKUP DATABASE [Sales] TO DISK = 'old.bak' WITH INIT, STATS = 50")
        self.drain(cursor)
        old = self.read(self.path("old.bak"))
        os.mkdir(self.path("r"))
        cases = [
            ("new backup file", "BACKUP DATABASE [Sales] TO DISK = 'new.bak' WITH INIT, STATS = 5",
             self.path("new.bak"), 0, None),
            ("appended set", "BACKUP DATABASE [Sales] TO DISK = 'old.bak' WITH NOINIT, STATS = 5",
             self.path("old.bak"), len(old), old),
            ("restore", "RESTORE DATABASE [R] FROM DISK = 'old.bak' WITH MOVE 'Sales' TO '%s', MOVE 'Sales_2' TO "
                        "'%s', MOVE 'Sales_log' TO '%s', STATS = 5"
             % (self.path("r", "R.mdf"), self.path("r", "R.ndf"), self.path("r", "R.ldf")),
             self.path("r", "R.mdf"), 0, None),
        ]
        for name, statement, output, started_size, remains in cases:
            with self.subTest(name):
                failure = []

                def run():
                    try:
                        cursor.execute(statement)
                        self.drain(cursor)
                    except pyodbc.Error as e:
                        failure.append(e)

                worker = threading.Thread(target=run)
                worker.start()
                grown = wait_until(lambda: os.path.exists(output) and os.path.getsize(output) > started_size)
                cursor.cancel()
                worker.join(30)
                self.assertTrue(grown)
                self.assertEqual(len(failure), 1)
                self.assertEqual(failure[0].args[0], "HY008")
                if remains is None:
                    self.assertFalse(os.path.exists(output))
                else:
                    self.assertEqual(self.read(output), remains)
                self.assertEqual(cursor.execute("SELECT 1").fetchone()[0], 1)
        self.assertEqual(os.listdir(self.path("r")), [])

    def test_logins_and_use(self):
        with self.assertRaises(pyodbc.Error):
            self.connect(password="sa")
        with self.assertRaises(pyodbc.Error):
            self.connect(database="Nope")
        conn = self.connect(database="sales")
        self.assertEqual(conn.execute("SELECT DB_NAME()").fetchone()[0], "Sales")
        with self.assertRaises(pyodbc.Error) as caught:
            conn.execute("USE [Nope]")
        self.assertIn("Database 'Nope' does not exist. Make sure that the name is entered correctly. (911)",
                      str(caught.exception))
        self.assertEqual(conn.execute("SELECT DB_NAME()").fetchone()[0], "Sales")
        conn.execute("USE master")
        self.assertEqual(conn.getinfo(pyodbc.SQL_DATABASE_NAME), "master")


class KnobsTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="fakesql-")
        self.addCleanup(shutil.rmtree, self.root, True)
        make_database(self.root, "Sales", sales_files())

    def test_options(self):
        with FakeSql(self.root, "--refuse-logins") as server:
            code, out = tsql(server.port, "SELECT 1\ngo\n")
            self.assertNotEqual(code, 0)
            self.assertIn("Login failed for user 'sa'.", out)
        with FakeSql(self.root, "--no-compression") as server:
            code, out = tsql(server.port, "BACKUP DATABASE [Sales] TO DISK = 'c.bak' WITH COMPRESSION\ngo\n")
            self.assertEqual(message_numbers(out), [1844, 3013])
            self.assertIn("BACKUP DATABASE WITH COMPRESSION is not supported on Express Edition (64-bit).", out)
            self.assertFalse(os.path.exists(os.path.join(self.root, "c.bak")))
        with FakeSql(self.root, "--user", "op:pa:ss", "--login-delay", "1.5") as server:
            self.assertNotEqual(tsql(server.port, "SELECT 1\ngo\n")[0], 0)  # sa:sa only when no --user
            started = time.monotonic()
            code, out = tsql(server.port, "SELECT DB_NAME()\ngo\n", user="OP", password="pa:ss")
            self.assertEqual(code, 0, out)
            self.assertIn("master", out)
            self.assertGreater(time.monotonic() - started, 1.0)
        with FakeSql(self.root, "--drop-after-progress", "2", "--progress-delay", "0.01") as server:
            code, out = tsql(server.port, "BACKUP DATABASE [Sales] TO DISK = 'd.bak' WITH STATS = 10\ngo\n")
            # The reset may overtake the last message in the client's buffer, so it sees one or both.
            self.assertIn(message_numbers(out), ([3211], [3211, 3211]), out)
            self.assertTrue(wait_until(lambda: not os.path.exists(os.path.join(self.root, "d.bak"))))
            self.assertEqual(tsql(server.port, "SELECT 1\ngo\n")[0], 0)

    def test_ends_with_its_parent(self):
        server = FakeSql(self.root)
        self.assertEqual(server.stop(), 0)  # stdin closed
        server = FakeSql(self.root)
        server.proc.send_signal(signal.SIGTERM)
        self.assertEqual(server.proc.wait(10), 0)
        server.stop()


class TlsTest(unittest.TestCase):
    """TLS inside TDS as SQL Server does it, seen by FreeTDS: the login packet only, or the whole link."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="fakesql-")
        self.addCleanup(shutil.rmtree, self.root, True)
        make_database(self.root, "Sales", sales_files())
        self.cert, self.key = make_certificate(self.root, "server")
        self.other, _ = make_certificate(self.root, "other")
        self.saved_conf = os.environ.get("FREETDSCONF")
        self.addCleanup(self.restore_conf)

    def restore_conf(self):
        if self.saved_conf is None:
            os.environ.pop("FREETDSCONF", None)
        else:
            os.environ["FREETDSCONF"] = self.saved_conf

    def start(self, *options):
        log = tempfile.NamedTemporaryFile("w+", dir=self.root, suffix=".log")
        self.addCleanup(log.close)
        server = FakeSql(self.root, *options, log=log)
        self.addCleanup(server.stop)
        return server, log

    def links(self, log):
        """The link of each login so far, from the server's log."""
        log.flush()
        with open(log.name) as f:
            return [line.rsplit("link ", 1)[1].strip() for line in f if "login sa" in line]

    def odbc(self, server, extra=""):
        conn = pyodbc.connect(server.odbc(database="Sales") + extra, timeout=10)
        try:
            return conn.execute("SELECT DB_NAME()").fetchone()[0]
        finally:
            conn.close()

    def use_ca_file(self, server, ca_file):
        """A FreeTDS configuration whose section "fakesql" checks the server's certificate against ca_file
        (the ODBC driver reads a configuration file only for SERVERNAME=, tsql for -S)."""
        conf = os.path.join(self.root, "freetds.conf")
        with open(conf, "w") as f:
            f.write("[fakesql]\n\thost = 127.0.0.1\n\tport = %d\n\tencryption = require\n"
                    "\tca file = %s\n\tcheck certificate hostname = yes\n" % (server.port, ca_file))
        os.environ["FREETDSCONF"] = conf

    def checked(self, server, ca_file):
        """Logins through the checking section: (ODBC worked, tsql worked)."""
        self.use_ca_file(server, ca_file)
        try:
            self.assertEqual(pyodbc.connect("DRIVER={FreeTDS};SERVERNAME=fakesql;TDS_Version=7.4;UID=sa;PWD=sa",
                                            timeout=10).execute("SELECT 1").fetchone()[0], 1)
            odbc = True
        except pyodbc.Error:
            odbc = False
        run = subprocess.run(["tsql", "-S", "fakesql", "-U", "sa", "-P", "sa"], input=b"SELECT 1\ngo\n",
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        return odbc, run.returncode == 0

    def test_login_only_and_whole_link(self):
        tls = ("--tls-cert", self.cert, "--tls-key", self.key)
        for options, expected in [((), ["clear", "clear"]),
                                  (tls, ["login encrypted", "login encrypted", "encrypted"]),
                                  (tls + ("--force-encryption",), ["encrypted", "encrypted", "encrypted"])]:
            with self.subTest(options=options):
                server, log = self.start(*options)
                code, out = tsql(server.port, "SELECT DB_NAME()\ngo\n")
                self.assertEqual(code, 0, out)
                self.assertIn("master", out)
                self.assertEqual(self.odbc(server), "Sales")
                if options:
                    self.assertEqual(self.odbc(server, ";Encryption=require"), "Sales")
                self.assertEqual(self.links(log), expected)
        server, _ = self.start()
        with self.assertRaises(pyodbc.Error):  # encryption demanded, none offered
            self.odbc(server, ";Encryption=require")

    def test_certificate_checked_when_a_ca_file_is_named(self):
        server, log = self.start("--tls-cert", self.cert, "--tls-key", self.key)
        self.assertEqual(self.checked(server, self.cert), (True, True))
        self.assertEqual(self.checked(server, self.other), (False, False))
        self.assertEqual(self.links(log), ["encrypted", "encrypted"])

if __name__ == "__main__":
    unittest.main()
