"""The parts of the linked image that the check reads, through pyelftools."""

import io
import struct

from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile

FLASH_BASE = 0x08000000
RAM_BASE = 0x20000000
SHF_ALLOC = 2


class Elf:
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        try:
            self.file = ELFFile(io.BytesIO(data))
        except ELFError as e:
            raise SystemExit("%s: not an ELF file (%s)" % (path, e))
        if self.file.elfclass != 32 or not self.file.little_endian or self.file["e_machine"] != "EM_ARM":
            raise SystemExit("%s: not a 32-bit little-endian ARM image" % path)
        self.sections = [dict(name=sec.name, nobits=sec["sh_type"] == "SHT_NOBITS", flags=sec["sh_flags"],
                              addr=sec["sh_addr"], size=sec["sh_size"]) for sec in self.file.iter_sections()]
        self.segments = [dict(load=seg["p_type"] == "PT_LOAD", paddr=seg["p_paddr"], filesz=seg["p_filesz"])
                         for seg in self.file.iter_segments()]

    def section(self, name):
        for s in self.sections:
            if s["name"] == name:
                return s
        return None

    def section_bytes(self, name):
        sec = self.file.get_section_by_name(name)
        if sec is None or sec["sh_type"] == "SHT_NOBITS":
            return b""
        return sec.data()

    def words(self, name):
        """A section read as little-endian 32-bit words."""
        return [v for (v,) in struct.iter_unpack("<I", self.section_bytes(name))]

    def functions(self):
        """Function symbols: name -> list of (start, size)."""
        out = {}
        symtab = self.file.get_section_by_name(".symtab")
        if symtab is None:
            raise SystemExit("the image has no symbol table")
        for sym in symtab.iter_symbols():
            if sym["st_info"]["type"] == "STT_FUNC" and sym["st_shndx"] != "SHN_UNDEF":
                out.setdefault(sym.name, []).append((sym["st_value"] & ~1, sym["st_size"]))
        return out

    def flash_used(self):
        """From the start of flash to the last byte loaded there (the initial
        values of .data included)."""
        end = FLASH_BASE
        for seg in self.segments:
            if seg["load"] and seg["filesz"] and FLASH_BASE <= seg["paddr"] < RAM_BASE:
                end = max(end, seg["paddr"] + seg["filesz"])
        return end - FLASH_BASE

    def static_ram(self):
        """.data and .bss: every allocated section in RAM but the stack."""
        return sum(s["size"] for s in self.sections
                   if s["flags"] & SHF_ALLOC and s["addr"] >= RAM_BASE and s["name"] != ".stack")
