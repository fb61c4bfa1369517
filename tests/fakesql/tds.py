# SPDX-License-Identifier: MIT
"""TDS 7.2-7.4 building blocks of the fake SQL Server: packets, tokens and column types."""
import datetime
import select
import socket
import ssl
import struct
import time

# Packet types
PKT_BATCH = 0x01
PKT_RPC = 0x03
PKT_REPLY = 0x04
PKT_ATTENTION = 0x06
PKT_LOGIN7 = 0x10
PKT_TRANSACTION = 0x0E
PKT_PRELOGIN = 0x12

STATUS_EOM = 0x01

# PRELOGIN ENCRYPTION values
ENCRYPT_OFF = 0x00  # only the login packet is encrypted
ENCRYPT_ON = 0x01  # the whole link is encrypted
ENCRYPT_NOT_SUP = 0x02  # no encryption at all
ENCRYPT_REQ = 0x03  # the server requires encryption

# DONE status bits
DONE_FINAL = 0x0000
DONE_MORE = 0x0001
DONE_ERROR = 0x0002
DONE_COUNT = 0x0010
DONE_ATTN = 0x0020

CMD_SELECT = 0xC1
CMD_EXECUTE = 0xE0

SERVER_NAME = "FAKESQL"
SPID = 53
# SQL_Latin1_General_CP1_CI_AS
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])


class ConnectionGone(Exception):
    """The client closed the connection (or we dropped it on purpose)."""


def b_varchar(text):
    data = text.encode("utf-16-le")
    return struct.pack("<B", len(data) // 2) + data


def us_varchar(text):
    data = text.encode("utf-16-le")
    return struct.pack("<H", len(data) // 2) + data


# ---------------------------------------------------------------- tokens

def token_done(status, curcmd=0, rowcount=0, token=0xFD):
    return struct.pack("<BHHQ", token, status, curcmd, rowcount)


def token_doneproc(status, curcmd=CMD_EXECUTE, rowcount=0):
    return token_done(status, curcmd, rowcount, 0xFE)


def token_doneinproc(status, curcmd=CMD_SELECT, rowcount=0):
    return token_done(status, curcmd, rowcount, 0xFF)


def token_message(number, text, cls=0, state=1, proc="", line=1):
    """INFO (class <= 10) or ERROR (class > 10) token."""
    body = (struct.pack("<iBB", number, state, cls) + us_varchar(text) + b_varchar(SERVER_NAME)
            + b_varchar(proc) + struct.pack("<i", line))
    return struct.pack("<BH", 0xAA if cls > 10 else 0xAB, len(body)) + body


def token_envchange(kind, new, old):
    body = struct.pack("<B", kind) + b_varchar(new) + b_varchar(old)
    return struct.pack("<BH", 0xE3, len(body)) + body


def token_env_collation():
    body = struct.pack("<BB", 7, len(COLLATION)) + COLLATION + b"\x00"
    return struct.pack("<BH", 0xE3, len(body)) + body


def token_loginack(tds_version):
    body = (struct.pack("<B", 1) + struct.pack(">I", tds_version) + b_varchar("Microsoft SQL Server")
            + bytes([16, 0, 0x10, 0x00]))
    return struct.pack("<BH", 0xAD, len(body)) + body


def token_returnstatus(value):
    return struct.pack("<Bi", 0x79, value)


# ---------------------------------------------------------------- column types

class NVarChar:
    def __init__(self, length):
        self.length = length

    def meta(self):
        return b"\xE7" + struct.pack("<H", self.length * 2) + COLLATION

    def value(self, v):
        if v is None:
            return b"\xFF\xFF"
        data = str(v).encode("utf-16-le")
        return struct.pack("<H", len(data)) + data


class VarChar:
    TOKEN = b"\xA7"

    def __init__(self, length):
        self.length = length

    def meta(self):
        return self.TOKEN + struct.pack("<H", self.length) + COLLATION

    def encode(self, v):
        return str(v).encode("cp1252", "replace")

    def value(self, v):
        if v is None:
            return b"\xFF\xFF"
        data = self.encode(v)
        return struct.pack("<H", len(data)) + data


class Char(VarChar):
    """Fixed length: cut or padded with blanks."""
    TOKEN = b"\xAF"

    def encode(self, v):
        return super().encode(v)[: self.length].ljust(self.length, b" ")


class IntN:
    FORMATS = {1: "<B", 2: "<h", 4: "<i", 8: "<q"}

    def __init__(self, size):
        self.size = size

    def meta(self):
        return struct.pack("<BB", 0x26, self.size)

    def value(self, v):
        if v is None:
            return b"\x00"
        return struct.pack("<B", self.size) + struct.pack(self.FORMATS[self.size], v)


class Bit:
    def meta(self):
        return b"\x68\x01"

    def value(self, v):
        return b"\x00" if v is None else struct.pack("<BB", 1, 1 if v else 0)


class Float:
    def __init__(self, size):
        self.size = size

    def meta(self):
        return struct.pack("<BB", 0x6D, self.size)

    def value(self, v):
        if v is None:
            return b"\x00"
        return struct.pack("<B", self.size) + struct.pack("<f" if self.size == 4 else "<d", v)


class Numeric:
    """numeric(p, 0): whole numbers only, which is all the fake sends."""

    def __init__(self, precision):
        self.precision = precision
        self.size = 5 if precision <= 9 else 9 if precision <= 19 else 13 if precision <= 28 else 17

    def meta(self):
        return struct.pack("<BBBB", 0x6C, self.size, self.precision, 0)

    def value(self, v):
        if v is None:
            return b"\x00"
        return struct.pack("<BB", self.size, 1 if v >= 0 else 0) + abs(int(v)).to_bytes(self.size - 1, "little")


class Guid:
    def meta(self):
        return b"\x24\x10"

    def value(self, v):
        return b"\x00" if v is None else b"\x10" + v.bytes_le


class DateTime:
    EPOCH = datetime.datetime(1900, 1, 1)

    def meta(self):
        return b"\x6F\x08"

    def value(self, v):
        if v is None:
            return b"\x00"
        delta = v - self.EPOCH
        ticks = round((delta.seconds + delta.microseconds / 1e6) * 300)
        return struct.pack("<BiI", 8, delta.days, ticks)


class VarBinary:
    def __init__(self, length):
        self.length = length

    def meta(self):
        return b"\xA5" + struct.pack("<H", self.length)

    def value(self, v):
        if v is None:
            return b"\xFF\xFF"
        return struct.pack("<H", len(v)) + bytes(v)


def result_set(columns, rows):
    """COLMETADATA + ROW tokens. columns: (name, type, nullable); rows: tuples of values."""
    out = bytearray(struct.pack("<BH", 0x81, len(columns)))
    for name, ctype, nullable in columns:
        out += struct.pack("<IH", 0, 0x0001 if nullable else 0) + ctype.meta() + b_varchar(name)
    for row in rows:
        out.append(0xD1)
        for (name, ctype, nullable), v in zip(columns, row):
            out += ctype.value(v)
    return bytes(out)


# ---------------------------------------------------------------- packets

class PacketChannel:
    """One client socket: reads whole messages, writes replies split at the packet size."""

    def __init__(self, sock):
        self.sock = sock
        self.packet_size = 4096
        self.inbuf = bytearray()
        self.out = bytearray()
        self.packet_id = 1
        # While the link is encrypted: the TLS object and its two memory buffers (socket side).
        self.tls = None
        self.tls_in = None
        self.tls_out = None

    def _take_packet(self):
        if len(self.inbuf) < 8:
            return None
        length = struct.unpack(">H", self.inbuf[2:4])[0]
        if length < 8:
            raise ConnectionGone("bad packet length")
        if len(self.inbuf) < length:
            return None
        ptype, status = self.inbuf[0], self.inbuf[1]
        payload = bytes(self.inbuf[8:length])
        del self.inbuf[:length]
        return ptype, status, payload

    def _recv(self):
        try:
            data = self.sock.recv(65536)
        except OSError as e:
            raise ConnectionGone(str(e)) from e
        if not data:
            raise ConnectionGone("closed by the client")
        if self.tls is None:
            self.inbuf += data
            return
        self.tls_in.write(data)
        self._decrypt()

    def _decrypt(self):
        """Moves what the TLS layer can decrypt so far into the input buffer."""
        while True:
            try:
                chunk = self.tls.read(65536)
            except ssl.SSLWantReadError:
                return
            except ssl.SSLZeroReturnError as e:
                raise ConnectionGone("TLS closed by the client") from e
            except ssl.SSLError as e:
                raise ConnectionGone("TLS: %s" % e) from e
            if not chunk:
                return
            self.inbuf += chunk

    def _send(self, data):
        try:
            if self.tls is not None:
                self.tls.write(data)
                data = self.tls_out.read()
            self.sock.sendall(data)
        except (OSError, ssl.SSLError) as e:
            raise ConnectionGone(str(e)) from e

    def _send_packets(self, ptype, data, eom=True):
        """data split into packets of the negotiated size; the last one carries EOM when eom is set."""
        room = self.packet_size - 8
        chunks = [data[i:i + room] for i in range(0, len(data), room)] or [b""]
        packets = bytearray()
        for i, chunk in enumerate(chunks):
            status = STATUS_EOM if eom and i == len(chunks) - 1 else 0
            packets += struct.pack(">BBHHBB", ptype, status, len(chunk) + 8, SPID, self.packet_id, 0)
            packets += chunk
            self.packet_id = (self.packet_id + 1) & 0xFF
        self._send(bytes(packets))

    def start_tls(self, context):
        """The server's side of the TLS handshake, which the client carries inside PRELOGIN packets (each
        direction's records wrapped in TDS packets); afterwards TLS records travel on the socket itself."""
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = context.wrap_bio(incoming, outgoing, server_side=True)
        while True:
            try:
                tls.do_handshake()
                done = True
            except ssl.SSLWantReadError:
                done = False
            except ssl.SSLError as e:
                if outgoing.pending:
                    self._send_packets(PKT_PRELOGIN, outgoing.read())  # the alert tells the client why
                raise ConnectionGone("TLS handshake failed: %s" % e) from e
            if outgoing.pending:
                self._send_packets(PKT_PRELOGIN, outgoing.read())
            if done:
                break
            ptype, _, payload = self.read_packet()
            if ptype != PKT_PRELOGIN:
                raise ConnectionGone("expected a TLS handshake packet, got packet type %#x" % ptype)
            incoming.write(payload)
        self.tls, self.tls_in, self.tls_out = tls, incoming, outgoing
        # Bytes already received after the handshake belong to the encrypted stream.
        pending = bytes(self.inbuf)
        self.inbuf.clear()
        if pending:
            self.tls_in.write(pending)
            self._decrypt()
        return tls.version()

    def end_tls(self):
        """Back to clear text (after an encrypted login packet, as the client does); the client sends no TLS
        close, and what follows on the socket is plain TDS."""
        self.tls = self.tls_in = self.tls_out = None

    def read_packet(self, timeout=None):
        """One packet (type, status, payload); None when timeout (seconds) passes first."""
        while True:
            packet = self._take_packet()
            if packet is not None:
                return packet
            if timeout is not None:
                ready, _, _ = select.select([self.sock], [], [], timeout)
                if not ready:
                    return None
            self._recv()

    def read_message(self):
        """A whole client message: (type, payload) of the packets up to EOM."""
        ptype, status, payload = self.read_packet()
        parts = [payload]
        while not status & STATUS_EOM and ptype != PKT_ATTENTION:
            _, status, payload = self.read_packet()
            parts.append(payload)
        return ptype, b"".join(parts)

    def write(self, data):
        self.out += data

    def flush(self, eom):
        """Sends the buffered reply; eom=False keeps the message open (a streamed part)."""
        data = bytes(self.out)
        self.out.clear()
        if not data and not eom:
            return
        self._send_packets(PKT_REPLY, data, eom)

    def close(self):
        """Closes gracefully: what was sent still reaches the client (no RST from unread input)."""
        try:
            self.sock.shutdown(socket.SHUT_WR)
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline:
                ready, _, _ = select.select([self.sock], [], [], max(0.0, deadline - time.monotonic()))
                if not ready or not self.sock.recv(65536):
                    break
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass

    def drop(self):
        """Closes abruptly (RST), as a server process that dies would."""
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass


# ---------------------------------------------------------------- client messages

def prelogin_reply(encryption=ENCRYPT_NOT_SUP):
    options = [(0x00, bytes([16, 0]) + struct.pack(">H", 1000) + b"\x00\x00"),  # version 16.0.1000
               (0x01, bytes([encryption])),
               (0x02, b"\x00"),  # instance ok
               (0x03, b""),  # thread id
               (0x04, b"\x00")]  # no MARS
    offset = len(options) * 5 + 1
    table = bytearray()
    data = bytearray()
    for token, value in options:
        table += struct.pack(">BHH", token, offset + len(data), len(value))
        data += value
    return bytes(table) + b"\xFF" + bytes(data)


def prelogin_encryption(payload):
    """The ENCRYPTION option of a client's PRELOGIN (NOT_SUP when absent or malformed)."""
    i = 0
    while i + 5 <= len(payload) and payload[i] != 0xFF:
        token, offset, length = struct.unpack(">BHH", payload[i:i + 5])
        if token == 0x01 and length >= 1 and offset < len(payload):
            return payload[offset]
        i += 5
    return ENCRYPT_NOT_SUP


def encryption_answer(client, certificate, force):
    """The server's ENCRYPTION answer to the client's, as SQL Server gives it: without a certificate none; with
    one, the whole link when the client asks for it (or the server forces it), else the login packet only."""
    if not certificate:
        return ENCRYPT_NOT_SUP
    if force:
        return ENCRYPT_REQ if client == ENCRYPT_NOT_SUP else ENCRYPT_ON
    if client in (ENCRYPT_ON, ENCRYPT_REQ):
        return ENCRYPT_ON
    if client == ENCRYPT_OFF:
        return ENCRYPT_OFF
    return ENCRYPT_NOT_SUP


def parse_login7(payload):
    """The fields the fake uses: version, packet size, user, password, app, language, database."""

    def field(offset_pos, password=False):
        offset, count = struct.unpack("<HH", payload[offset_pos:offset_pos + 4])
        raw = bytearray(payload[offset:offset + count * 2])
        if password:
            for i, b in enumerate(raw):
                b ^= 0xA5
                raw[i] = ((b << 4) | (b >> 4)) & 0xFF
        return raw.decode("utf-16-le", "replace")

    version, packet_size = struct.unpack("<II", payload[4:12])
    return {
        "version": version,
        "packet_size": packet_size,
        "host": field(36),
        "user": field(40),
        "password": field(44, True),
        "app": field(48),
        "language": field(64),
        "database": field(68),
    }


def batch_text(payload):
    """SQL text of a batch (skips ALL_HEADERS)."""
    if len(payload) >= 4:
        total = struct.unpack("<I", payload[:4])[0]
        if 4 <= total <= len(payload) and total >= 4 + 6:
            payload = payload[total:]
    return payload.decode("utf-16-le", "replace")


def rpc_name(payload):
    """Procedure name (or id) of an RPC request."""
    if len(payload) >= 4:
        total = struct.unpack("<I", payload[:4])[0]
        if 4 <= total <= len(payload):
            payload = payload[total:]
    if len(payload) < 2:
        return ""
    n = struct.unpack("<H", payload[:2])[0]
    if n == 0xFFFF:
        return "#%d" % struct.unpack("<H", payload[2:4])[0]
    return payload[2:2 + n * 2].decode("utf-16-le", "replace")
