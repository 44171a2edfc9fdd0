#!/usr/bin/env python3
"""Checks, from a KMDF 1.9 driver image alone, that the framework loader can
copy its function table into the driver without overwriting anything.

A 1.9 client owns its table: the loader copies FuncCount entries to the
address in the bind information's FuncTable. So in the image:
  - WdfBindInfo (found through the image's COFF symbol table) is 48 bytes,
    names FuncCount entries, and its FuncTable is an address inside the image
    (a 64-bit base relocation sits on the field);
  - that address starts FuncCount pointers of storage inside one writable,
    non-executable section;
  - no other symbol starts inside that storage and no base relocation lands in
    it: nothing else shares the bytes the loader writes.

usage: check_kmdf_function_table.py IMAGE
"""
import struct
import sys

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_REL_BASED_DIR64 = 10
COFF_SYMBOL_SIZE = 18
BIND_INFO_SIZE = 48
FUNC_COUNT_OFFSET = 28
FUNC_TABLE_OFFSET = 32


class Failure(Exception):
    pass


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise Failure("not a PE image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise Failure("not a PE image")
        (_, sections, _, self.symtab, self.nsyms, optsize, _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            raise Failure("not PE32+")
        self.base = struct.unpack_from("<Q", data, opt + 24)[0]
        ndirs = struct.unpack_from("<I", data, opt + 108)[0]
        dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(ndirs)]
        self.reloc_dir = dirs[5] if ndirs > 5 else (0, 0)
        self.sections = []
        at = opt + optsize
        for i in range(sections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, at + 40 * i)
            flags = struct.unpack_from("<I", data, at + 40 * i + 36)[0]
            self.sections.append(dict(name=name.rstrip(b"\0").decode(errors="replace"), vsize=vsize, va=va,
                                      rawsize=rawsize, rawptr=rawptr, flags=flags))

    def section_of(self, rva):
        for s in self.sections:
            if s["va"] <= rva < s["va"] + max(s["vsize"], s["rawsize"]):
                return s
        return None

    def read(self, rva, size):
        s = self.section_of(rva)
        if s is None:
            raise Failure("RVA 0x%x is in no section" % rva)
        offset = rva - s["va"]
        raw = self.data[s["rawptr"] + offset:s["rawptr"] + min(offset + size, s["rawsize"])]
        return raw + b"\0" * (size - len(raw))   # past the raw data: zero-filled

    def symbols(self):
        """(name, rva) of every symbol defined in a section, from the COFF symbol table."""
        if not self.symtab or not self.nsyms:
            raise Failure("no COFF symbol table (stripped image)")
        strings = self.symtab + self.nsyms * COFF_SYMBOL_SIZE
        out = []
        i = 0
        while i < self.nsyms:
            at = self.symtab + i * COFF_SYMBOL_SIZE
            raw, value, secnum, _, storage, naux = struct.unpack_from("<8sIhHBB", self.data, at)
            if raw[:4] == b"\0\0\0\0":
                offset = struct.unpack_from("<I", raw, 4)[0]
                end = self.data.index(b"\0", strings + offset)
                name = self.data[strings + offset:end].decode(errors="replace")
            else:
                name = raw.rstrip(b"\0").decode(errors="replace")
            # Section definitions (a static symbol with an auxiliary record) name
            # no storage of their own; file records and absolute symbols neither.
            section_record = storage == 3 and naux > 0 and value == 0
            if secnum > 0 and storage != 103 and not section_record:
                out.append((name, self.sections[secnum - 1]["va"] + value))
            i += 1 + naux
        return out

    def relocations(self):
        """RVAs of the 64-bit base relocations."""
        rva, size = self.reloc_dir
        out = []
        if not size:
            return out
        block = self.read(rva, size)
        at = 0
        while at + 8 <= size:
            page, length = struct.unpack_from("<II", block, at)
            if length < 8:
                break
            for k in range((length - 8) // 2):
                entry = struct.unpack_from("<H", block, at + 8 + 2 * k)[0]
                if entry >> 12 == IMAGE_REL_BASED_DIR64:
                    out.append(page + (entry & 0xFFF))
            at += length
        return out


def check(path):
    with open(path, "rb") as f:
        image = Image(f.read())
    symbols = image.symbols()
    bind = [rva for name, rva in symbols if name == "WdfBindInfo"]
    if not bind:
        raise Failure("no WdfBindInfo symbol")
    bind = bind[0]
    info = image.read(bind, BIND_INFO_SIZE)
    size = struct.unpack_from("<I", info, 0)[0]
    count = struct.unpack_from("<I", info, FUNC_COUNT_OFFSET)[0]
    table_va = struct.unpack_from("<Q", info, FUNC_TABLE_OFFSET)[0]
    if size != BIND_INFO_SIZE:
        raise Failure("WdfBindInfo.Size is %d, not %d" % (size, BIND_INFO_SIZE))
    if count == 0:
        raise Failure("WdfBindInfo.FuncCount is 0")
    relocations = image.relocations()
    if bind + FUNC_TABLE_OFFSET not in relocations:
        raise Failure("WdfBindInfo.FuncTable (0x%x) is not an address in the image (no base relocation)" % table_va)
    table = table_va - image.base
    end = table + 8 * count
    section = image.section_of(table)
    if section is None:
        raise Failure("FuncTable 0x%x points outside the image" % table_va)
    inside = sorted((rva, name) for name, rva in symbols if table < rva < end)
    if inside:
        rva, name = inside[0]
        raise Failure("the %d-byte table at 0x%x overlaps %s at +%d" % (8 * count, table_va, name, rva - table))
    section_end = section["va"] + max(section["vsize"], section["rawsize"])
    if end > section_end:
        raise Failure("FuncTable at 0x%x needs %d bytes for %d entries, but %s ends %d bytes after it" %
                      (table_va, 8 * count, count, section["name"], section_end - table))
    if not section["flags"] & IMAGE_SCN_MEM_WRITE or section["flags"] & IMAGE_SCN_MEM_EXECUTE:
        raise Failure("FuncTable lies in %s, which is not writable data" % section["name"])
    relocated = [rva for rva in relocations if table <= rva < end]
    if relocated:
        raise Failure("the table at 0x%x holds relocated data at +%d" % (table_va, relocated[0] - table))
    owner = sorted((name.startswith("."), name) for name, rva in symbols if rva == table)
    return "FuncTable %s at 0x%x: %d entries (%d bytes) of its own in %s" % (
        owner[0][1] if owner else "(unnamed)", table_va, count, 8 * count, section["name"])


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    try:
        print("check_kmdf_function_table: %s: %s" % (sys.argv[1], check(sys.argv[1])))
        return 0
    except (Failure, OSError, struct.error, ValueError) as e:
        print("check_kmdf_function_table: %s: %s" % (sys.argv[1], e), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
