# SPDX-License-Identifier: MIT
"""Reads the Transact-SQL the fake server understands into statement tuples.

A batch is a sequence of statements; like the real parser, a statement ends where its grammar ends, so
statements may follow each other on one line, on new lines or after ";".
"""
import re

TOKEN_RE = re.compile(r"""
 (?P<ws>\s+|--[^\n]*|/\*.*?\*/)
|(?P<str>[Nn]?'(?:[^']|'')*')
|(?P<unclosed>[Nn]?'(?:[^']|'')*$)
|(?P<bracket>\[(?:[^\]]|\]\])*\])
|(?P<dquote>"(?:[^"]|"")*")
|(?P<num>\d+)
|(?P<ident>[A-Za-z_@#][\w@#$]*)
|(?P<punct>.)
""", re.S | re.X)

STATEMENT_STARTS = {"USE", "SELECT", "SET", "BACKUP", "RESTORE", "DBCC", "EXEC", "EXECUTE", "SP_SPACEUSED", "IF",
                    "SP_DATATYPE_INFO", "SP_DATATYPE_INFO_100", "ALTER"}

BACKUP_OPTIONS = {"INIT", "NOINIT", "FORMAT", "NOFORMAT", "SKIP", "NOSKIP", "COMPRESSION", "NO_COMPRESSION",
                  "STATS", "NAME", "DESCRIPTION", "MEDIADESCRIPTION", "MEDIANAME", "COPY_ONLY", "CHECKSUM",
                  "NO_CHECKSUM", "CONTINUE_AFTER_ERROR", "STOP_ON_ERROR", "REWIND", "NOREWIND", "UNLOAD",
                  "NOUNLOAD", "BUFFERCOUNT", "MAXTRANSFERSIZE", "BLOCKSIZE", "EXPIREDATE", "RETAINDAYS"}
RESTORE_OPTIONS = {"FILE", "REPLACE", "MOVE", "STATS", "RECOVERY", "NORECOVERY", "CHECKSUM", "NO_CHECKSUM",
                   "CONTINUE_AFTER_ERROR", "STOP_ON_ERROR", "REWIND", "NOREWIND", "UNLOAD", "NOUNLOAD",
                   "KEEP_REPLICATION", "RESTRICTED_USER", "MEDIANAME", "BUFFERCOUNT", "MAXTRANSFERSIZE",
                   "BLOCKSIZE", "PASSWORD", "MEDIAPASSWORD", "LOADHISTORY"}


class SqlSyntaxError(Exception):
    def __init__(self, near, unclosed=None):
        super().__init__(near)
        self.near = near
        self.unclosed = unclosed


class Token:
    def __init__(self, kind, value, text):
        self.kind = kind  # ident, name (quoted identifier), str, num, punct, eof
        self.value = value
        self.text = text

    def word(self):
        return self.value.upper() if self.kind == "ident" else None


def tokenize(text):
    tokens = []
    for m in TOKEN_RE.finditer(text):
        kind, raw = m.lastgroup, m.group()
        if kind == "ws":
            continue
        if kind == "unclosed":
            raise SqlSyntaxError(raw, unclosed=raw[raw.index("'") + 1:])
        if kind == "str":
            tokens.append(Token("str", raw[raw.index("'") + 1:-1].replace("''", "'"), raw))
        elif kind == "bracket":
            tokens.append(Token("name", raw[1:-1].replace("]]", "]"), raw))
        elif kind == "dquote":
            tokens.append(Token("name", raw[1:-1].replace('""', '"'), raw))
        elif kind == "num":
            tokens.append(Token("num", int(raw), raw))
        else:
            tokens.append(Token(kind, raw, raw))
    tokens.append(Token("eof", "", ""))
    return tokens


class Parser:
    def __init__(self, text):
        self.tokens = tokenize(text)
        self.i = 0

    def peek(self, k=0):
        return self.tokens[min(self.i + k, len(self.tokens) - 1)]

    def next(self):
        t = self.peek()
        self.i += 1
        return t

    def fail(self):
        t = self.peek()
        if t.kind == "eof":
            t = self.tokens[self.i - 1] if self.i > 0 else t
        raise SqlSyntaxError(t.text)

    def at(self, *words):
        return self.peek().word() in words

    def take(self, *words):
        if self.at(*words):
            return self.next().word()
        return None

    def expect(self, word):
        if not self.take(word):
            self.fail()

    def punct(self, ch):
        if self.peek().kind == "punct" and self.peek().value == ch:
            self.i += 1
            return True
        return False

    def expect_punct(self, ch):
        if not self.punct(ch):
            self.fail()

    def name(self):
        t = self.peek()
        if t.kind in ("ident", "name"):
            self.i += 1
            return t.value
        self.fail()

    def string(self):
        t = self.peek()
        if t.kind == "str":
            self.i += 1
            return t.value
        self.fail()

    def number(self):
        t = self.peek()
        if t.kind == "num":
            self.i += 1
            return t.value
        self.fail()

    # ------------------------------------------------------------ statements

    def batch(self):
        statements = []
        while True:
            while self.punct(";"):
                pass
            if self.peek().kind == "eof":
                return statements
            statements.append(self.statement())

    def statement(self):
        word = self.peek().word()
        if word == "USE":
            self.next()
            return ("use", self.name())
        if word == "SELECT":
            self.next()
            return self.select()
        if word == "SET":
            self.next()
            if self.peek().kind == "eof":
                self.fail()
            while self.peek().kind != "eof" and not self.at(*STATEMENT_STARTS) and not (
                    self.peek().kind == "punct" and self.peek().value == ";"):
                self.next()
            return ("set",)
        if word == "BACKUP":
            self.next()
            self.expect("DATABASE")
            db = self.name()
            self.expect("TO")
            path = self.disk()
            return ("backup", db, path, self.options(BACKUP_OPTIONS))
        if word == "RESTORE":
            self.next()
            kind = self.take("FILELISTONLY", "HEADERONLY", "VERIFYONLY", "DATABASE")
            if not kind:
                self.fail()
            db = self.name() if kind == "DATABASE" else None
            self.expect("FROM")
            path = self.disk()
            return ("restore_" + kind.lower(), db, path, self.options(RESTORE_OPTIONS))
        if word == "ALTER":
            # ALTER DATABASE [db] SET SINGLE_USER|RESTRICTED_USER|MULTI_USER
            #     [WITH ROLLBACK IMMEDIATE | WITH ROLLBACK AFTER n [SECONDS] | WITH NO_WAIT]
            self.next()
            self.expect("DATABASE")
            db = self.name()
            self.expect("SET")
            access = self.take("SINGLE_USER", "RESTRICTED_USER", "MULTI_USER")
            if not access:
                self.fail()
            termination = None
            if self.take("WITH"):
                if self.take("ROLLBACK"):
                    if self.take("IMMEDIATE"):
                        termination = "IMMEDIATE"
                    else:
                        self.expect("AFTER")
                        termination = self.number()
                        self.take("SECONDS")
                elif self.take("NO_WAIT"):
                    termination = "NO_WAIT"
                else:
                    self.fail()
            return ("alter_access", db, access, termination)
        if word == "DBCC":
            self.next()
            self.expect("SQLPERF")
            self.expect_punct("(")
            self.expect("LOGSPACE")
            self.expect_punct(")")
            return ("logspace",)
        if word in ("EXEC", "EXECUTE"):
            self.next()
            word = self.peek().word()
        if word == "SP_SPACEUSED":
            self.next()
            return ("spaceused",)
        if word in ("SP_DATATYPE_INFO", "SP_DATATYPE_INFO_100"):
            # what the ODBC driver sends for SQLGetTypeInfo: sp_datatype_info_100 <type>[, <odbc version>]
            self.next()
            data_type = None
            if self.peek().kind == "num" or (self.peek().value == "-" and self.peek(1).kind == "num"):
                sign = -1 if self.punct("-") else 1
                data_type = sign * self.number()
                if self.punct(","):
                    self.number()
            return ("typeinfo", data_type)
        if word == "IF":
            # what drivers send to end a transaction: IF @@TRANCOUNT > 0 COMMIT|ROLLBACK [TRAN]
            self.next()
            self.expect("@@TRANCOUNT")
            self.expect_punct(">")
            if self.number() != 0:
                self.fail()
            if not self.take("COMMIT", "ROLLBACK"):
                self.fail()
            self.take("TRAN", "TRANSACTION")
            return ("set",)
        self.fail()

    def disk(self):
        self.expect("DISK")
        self.expect_punct("=")
        return self.string()

    def options(self, allowed):
        """WITH a, b = v, MOVE 'x' TO 'y' ... -> list of (KEY, value)."""
        result = []
        if not self.take("WITH"):
            return result
        while True:
            key = self.peek().word()
            if key not in allowed:
                self.fail()
            self.next()
            if key == "MOVE":
                logical = self.string()
                self.expect("TO")
                result.append((key, (logical, self.string())))
            elif self.punct("="):
                t = self.next()
                if t.kind not in ("str", "num", "ident"):
                    self.i -= 1
                    self.fail()
                result.append((key, t.value))
            else:
                result.append((key, None))
            if not self.punct(","):
                return result

    def select(self):
        t = self.peek()
        if t.kind == "num" or t.kind == "str":
            self.next()
            return ("select_value", t.value, self.alias())
        word = t.word()
        if word in ("@@SPID", "@@VERSION", "@@SERVERNAME"):
            self.next()
            return ("select_global", word, self.alias())
        if word == "DB_NAME":
            self.next()
            self.expect_punct("(")
            self.expect_punct(")")
            return ("select_dbname", self.alias())
        if word == "NAME":
            self.next()
            alias = self.alias() or "name"
            self.expect("FROM")
            if self.take("MASTER"):
                self.expect_punct(".")
            self.expect("SYS")
            self.expect_punct(".")
            self.expect("DATABASES")
            descending = None
            if self.take("ORDER"):
                self.expect("BY")
                if self.name().lower() not in ("name", alias.lower()):
                    self.i -= 1
                    self.fail()
                descending = self.take("ASC", "DESC") == "DESC"
            return ("select_databases", alias, descending)
        self.fail()

    def alias(self):
        if self.take("AS"):
            return self.name()
        t = self.peek()
        if t.kind == "name":
            self.next()
            return t.value
        return None


def parse_batch(text):
    return Parser(text).batch()
