"""Reads what the release tests check in a 32-bit PE file: headers, imported
DLLs, resources and the version resource. Standard library only; raises
ValueError on anything malformed rather than guessing."""

import struct

DIR_IMPORT, DIR_RESOURCE, DIR_SECURITY, DIR_DELAY_IMPORT = 1, 2, 4, 13
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def _unpack(fmt, data, offset):
    try:
        return struct.unpack_from(fmt, data, offset)
    except struct.error as e:
        raise ValueError(f"truncated at offset {offset:#x}") from e


def _cstring(data, offset):
    end = data.find(b"\0", offset)
    if end < 0:
        raise ValueError(f"unterminated string at {offset:#x}")
    return data[offset:end].decode("ascii")


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = _unpack("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.timestamp, _, _, optional_size,
         self.characteristics) = _unpack("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = _unpack("<H", data, opt)[0]
        if self.magic != 0x10B:
            raise ValueError(f"optional header magic {self.magic:#x}, not PE32")
        self.os_version = _unpack("<HH", data, opt + 40)
        self.subsystem_version = _unpack("<HH", data, opt + 48)
        self.subsystem = _unpack("<H", data, opt + 68)[0]
        count = _unpack("<I", data, opt + 92)[0]
        self.directories = [_unpack("<II", data, opt + 96 + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, raw_size, raw_ptr = _unpack("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, raw_size),
                                  raw_ptr, raw_size))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, va, size, raw_ptr, raw_size in self.sections:
            if va <= rva < va + size:
                if rva - va >= raw_size:
                    raise ValueError(f"RVA {rva:#x} lies in uninitialised data")
                return raw_ptr + rva - va
        raise ValueError(f"RVA {rva:#x} is in no section")

    def imported_dlls(self):
        """Names of the DLLs in the import directory, as written."""
        rva, _ = self.directory(DIR_IMPORT)
        names = []
        pos = self.offset(rva) if rva else None
        while pos is not None:
            lookup, _, _, name_rva, thunks = _unpack("<IIIII", self.data, pos)
            if not (lookup or name_rva or thunks):
                break
            names.append(_cstring(self.data, self.offset(name_rva)))
            pos += 20
        return names

    def resources(self):
        """{(type, name, language): bytes}; names are ids or strings."""
        rva, _ = self.directory(DIR_RESOURCE)
        if not rva:
            return {}
        base = self.offset(rva)
        found = {}

        def entries(table):
            named, ids = _unpack("<HH", self.data, base + table + 12)
            for i in range(named + ids):
                key, target = _unpack("<II", self.data, base + table + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = _unpack("<H", self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
                yield key, target

        for rtype, to_names in entries(0):
            for name, to_langs in entries(to_names & 0x7FFFFFFF):
                for lang, leaf in entries(to_langs & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise ValueError("resource tree deeper than three levels")
                    data_rva, size = _unpack("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found[(rtype, name, lang)] = self.data[start:start + size]
        return found


class VersionBlock:
    """One node of a VS_VERSIONINFO tree."""

    def __init__(self, data, pos=0):
        length, value_length, self.type = _unpack("<HHH", data, pos)
        if length < 6 or pos + length > len(data):
            raise ValueError(f"bad version block length {length} at {pos:#x}")
        end = pos + length
        key_end = pos + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= end:
                raise ValueError("unterminated version block key")
        self.key = data[pos + 6:key_end].decode("utf-16-le")
        at = _align(key_end + 2)
        size = value_length * 2 if self.type == 1 else value_length
        self.value = data[at:at + size]
        at = _align(at + size)
        self.children = []
        while at < end:
            child = VersionBlock(data, at)
            self.children.append(child)
            at = _align(child.end)
        self.end = end

    def text(self):
        return self.value.decode("utf-16-le").split("\0")[0]

    def child(self, key):
        matches = [c for c in self.children if c.key == key]
        if len(matches) != 1:
            raise ValueError(f"{len(matches)} blocks named {key!r} under {self.key!r}")
        return matches[0]


def _align(pos):
    return (pos + 3) & ~3
