# SPDX-License-Identifier: MIT
"""The fake server's "disk": databases as folders of files, the restore catalog and the backup file format.

Backup file layout (all integers little-endian):
    media record   b"VNDRLMED" u32 n  JSON(n)          once, at the start of the file
    per backup set:
      set header   b"VNDRLSET" u32 n  JSON(n)          position, names, flags, file list
      per file:    (u32 len>0, bytes)* u32 0           the file's bytes; one zlib stream per file if compressed
      set trailer  b"VNDRLEND" u32 n  JSON(n)          finish time and sizes; a set without it is incomplete
A set written WITH CHECKSUM records "checksums": true in its header and in its trailer the CRC-32 of its file
bytes as stored ("checksum"), which RESTORE and RESTORE VERIFYONLY check.
"""
import datetime
import json
import os
import struct
import threading
import uuid
import zlib

MAGIC_MEDIA = b"VNDRLMED"
MAGIC_SET = b"VNDRLSET"
MAGIC_END = b"VNDRLEND"
SYSTEM_DATABASES = ("master", "tempdb", "model", "msdb")
PAGE = 8192


class BadMedia(Exception):
    """The file is not a backup of ours, or it is cut short."""


class DbFile:
    def __init__(self, logical, physical, ftype, file_id):
        self.logical = logical
        self.physical = physical
        self.type = ftype  # "D" or "L"
        self.file_id = file_id

    def size(self):
        try:
            return os.path.getsize(self.physical)
        except OSError:
            return 0

    def as_json(self):
        return {"logical": self.logical, "physical": self.physical, "type": self.type}


class Database:
    def __init__(self, name, files, system=False):
        self.name = name
        self.files = files
        self.system = system


def _numbered(entries):
    """DbFile objects with file ids as the server numbers them: primary data 1, log 2, then the rest."""
    data_first = [e for e in entries if e["type"] == "D"][:1]
    logs = [e for e in entries if e["type"] == "L"]
    rest = [e for e in entries if e not in data_first and e not in logs]
    ordered = data_first + logs + rest
    return [DbFile(e["logical"], e["physical"], e["type"], i + 1) for i, e in enumerate(ordered)]


class Store:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        self.lock = threading.RLock()
        self.catalog_path = os.path.join(self.root, ".catalog.json")

    # ------------------------------------------------------------ databases

    def _catalog(self):
        try:
            with open(self.catalog_path, encoding="utf-8") as f:
                data = json.load(f)
            return data if isinstance(data, dict) else {}
        except (OSError, ValueError):
            return {}

    def _folder_databases(self):
        result = {}
        try:
            names = sorted(os.listdir(self.root))
        except OSError:
            return result
        for name in names:
            folder = os.path.join(self.root, name)
            if name.startswith(".") or not os.path.isdir(folder):
                continue
            entries = []
            for file_name in sorted(os.listdir(folder)):
                path = os.path.join(folder, file_name)
                stem, ext = os.path.splitext(file_name)
                ext = ext.lower()
                if ext in (".mdf", ".ndf", ".ldf") and os.path.isfile(path):
                    entries.append({"logical": stem, "physical": path, "type": "L" if ext == ".ldf" else "D",
                                    "primary": ext == ".mdf"})
            if entries:
                entries.sort(key=lambda e: (not e["primary"], e["type"] == "L"))
                result[name] = Database(name, _numbered(entries))
        return result

    def databases(self):
        """name -> Database, system databases first, then the others by name (case-insensitive)."""
        with self.lock:
            found = {}
            catalog = {name: entries for name, entries in self._catalog().items()
                       if isinstance(entries, list) and any(os.path.isfile(e.get("physical", "")) for e in entries)}
            # a file restored into a database's folder belongs to the restored database, not to the folder's
            restored = {os.path.realpath(e.get("physical", "")) for entries in catalog.values() for e in entries}
            for name, db in self._folder_databases().items():
                files = [f for f in db.files if os.path.realpath(f.physical) not in restored]
                if len(files) != len(db.files):
                    files = _numbered([f.as_json() for f in files]) if files else []
                if files:
                    found[name.lower()] = Database(name, files)
            for name, entries in catalog.items():
                found[name.lower()] = Database(name, _numbered(entries))
            for name in SYSTEM_DATABASES:
                found[name] = Database(name, [], system=True)
            ordered = [found[n] for n in SYSTEM_DATABASES]
            ordered += sorted((db for key, db in found.items() if key not in SYSTEM_DATABASES),
                              key=lambda db: db.name.lower())
            return ordered

    def find(self, name):
        for db in self.databases():
            if db.name.lower() == name.lower():
                return db
        return None

    def register(self, name, files):
        with self.lock:
            catalog = {k: v for k, v in self._catalog().items() if k.lower() != name.lower()}
            catalog[name] = [f.as_json() for f in files]
            self._write_catalog(catalog)

    def unregister(self, name):
        with self.lock:
            catalog = self._catalog()
            kept = {k: v for k, v in catalog.items() if k.lower() != name.lower()}
            if kept != catalog:
                self._write_catalog(kept)

    def _write_catalog(self, catalog):
        tmp = self.catalog_path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(catalog, f, indent=1)
        os.replace(tmp, self.catalog_path)

    def resolve(self, path):
        """A path as the server opens it: relative paths are relative to the root folder."""
        return path if os.path.isabs(path) else os.path.join(self.root, path)


# ---------------------------------------------------------------- backup files

def _write_record(f, magic, obj):
    data = json.dumps(obj).encode("utf-8")
    f.write(magic + struct.pack("<I", len(data)) + data)


def _read_exact(f, n):
    data = f.read(n)
    if len(data) != n:
        raise BadMedia("short read")
    return data


def _read_record(f, magic):
    head = _read_exact(f, 12)
    if head[:8] != magic:
        raise BadMedia("bad record")
    n = struct.unpack("<I", head[8:])[0]
    if n > 64 * 1024 * 1024:
        raise BadMedia("record too long")
    try:
        return json.loads(_read_exact(f, n).decode("utf-8"))
    except ValueError as e:
        raise BadMedia("bad record") from e


class BackupSet:
    def __init__(self, header, trailer, data_offset):
        self.header = header
        self.trailer = trailer
        self.data_offset = data_offset


def read_sets(path):
    """All complete backup sets of a backup file, in position order. Raises OSError or BadMedia."""
    sets = []
    with open(path, "rb") as f:
        _read_record(f, MAGIC_MEDIA)
        while True:
            if not f.peek(1)[:1]:
                return sets
            header = _read_record(f, MAGIC_SET)
            offset = f.tell()
            for _ in header["files"]:
                while True:
                    n = struct.unpack("<I", _read_exact(f, 4))[0]
                    if n == 0:
                        break
                    f.seek(n, os.SEEK_CUR)
            trailer = _read_record(f, MAGIC_END)
            sets.append(BackupSet(header, trailer, offset))


def now():
    return datetime.datetime.now().replace(microsecond=0)


class BackupWriter:
    """Appends one backup set to a backup file (creating the media record when the file is new)."""

    CHUNK = 256 * 1024

    def __init__(self, f, header, new_media, media_description):
        self.f = f
        self.compressed = header["compressed"]
        if new_media:
            _write_record(f, MAGIC_MEDIA, {"format": 1, "media_description": media_description})
        _write_record(f, MAGIC_SET, header)
        self.compressor = None
        self.data_bytes = 0
        self.crc = 0

    def begin_file(self):
        self.compressor = zlib.compressobj(6) if self.compressed else None

    def _chunk(self, data):
        if data:
            self.f.write(struct.pack("<I", len(data)) + data)
            self.data_bytes += len(data)
            self.crc = zlib.crc32(data, self.crc)

    def write(self, data):
        self._chunk(self.compressor.compress(data) if self.compressor else data)

    def end_file(self):
        if self.compressor:
            self._chunk(self.compressor.flush())
        self.f.write(struct.pack("<I", 0))
        self.f.flush()

    def finish(self, trailer):
        _write_record(self.f, MAGIC_END, trailer)
        self.f.flush()


def stored_checksum(path, backup_set):
    """The CRC-32 of a set's file bytes as they lie in the backup file now. Raises OSError or BadMedia."""
    crc = 0
    with open(path, "rb") as f:
        f.seek(backup_set.data_offset)
        for _ in backup_set.header["files"]:
            while True:
                n = struct.unpack("<I", _read_exact(f, 4))[0]
                if n == 0:
                    break
                crc = zlib.crc32(_read_exact(f, n), crc)
    return crc


def flip_first_data_byte(f):
    """Flips one bit of the first file byte of the set whose header starts at f's position (f open for update)."""
    if f.tell() == 0:
        _read_record(f, MAGIC_MEDIA)
    _read_record(f, MAGIC_SET)
    n = struct.unpack("<I", _read_exact(f, 4))[0]
    if n:
        where = f.tell()
        byte = _read_exact(f, 1)[0]
        f.seek(where)
        f.write(bytes([byte ^ 0x10]))


def damaged(path, backup_set):
    """True when a set written with checksums no longer matches them."""
    if not backup_set.header.get("checksums"):
        return False
    return stored_checksum(path, backup_set) != backup_set.trailer.get("checksum")


class FileReader:
    """Reads the bytes of the files of a backup set one after the other."""

    def __init__(self, f, compressed):
        self.f = f
        self.compressed = compressed
        self.pending = b""
        self.decompressor = None
        self.ended = True

    def begin_file(self):
        self.pending = b""
        self.ended = False
        self.decompressor = zlib.decompressobj() if self.compressed else None

    def read(self, limit):
        """Up to limit bytes of the current file; b"" at its end."""
        while not self.pending and not self.ended:
            n = struct.unpack("<I", _read_exact(self.f, 4))[0]
            if n == 0:
                self.ended = True
                if self.decompressor:
                    self.pending = self.decompressor.flush()
                break
            data = _read_exact(self.f, n)
            if self.decompressor:
                try:
                    data = self.decompressor.decompress(data)
                except zlib.error as e:
                    raise BadMedia("bad compressed data") from e
            self.pending = data
        out, self.pending = self.pending[:limit], self.pending[limit:]
        return out


def new_set_header(position, db, name, description, compressed, user, copy_only=False, checksums=False):
    files = []
    for f in db.files:
        files.append({"logical": f.logical, "physical": f.physical, "type": f.type, "file_id": f.file_id,
                      "size": f.size()})
    return {
        "position": position,
        "name": name,
        "description": description,
        "database": db.name,
        "compressed": bool(compressed),
        "copy_only": bool(copy_only),
        "checksums": bool(checksums),
        "start": now().isoformat(),
        "user": user,
        "backup_set_guid": str(uuid.uuid4()),
        "files": files,
    }
