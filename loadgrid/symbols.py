"""The function names of an executable, as cachegrind gives them: from the
ELF symbol table, by the address of each instruction.

Function, indirect-function and object symbols in executable sections
count if their size is above 0; zero-sized and typeless ones do not.
Where several names share an address the shortest wins, ties going to the
lowest in byte order.  The C library's start-up functions are all
"(below main)", and an address that no symbol holds is "???".  And the
build an executable comes from, in its own words.
"""
import os
import struct

BELOW_MAIN = {"_start", "__libc_start_main", "__libc_start_call_main",
              "generic_start_main"}
UNKNOWN = "???"
STT_OBJECT, STT_FUNC, STT_GNU_IFUNC = 1, 2, 10
SHT_SYMTAB, SHF_EXECINSTR, PT_INTERP = 2, 4, 3


class Error(Exception):
    pass


def _sections(data):
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise Error("not a 64-bit little-endian ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3a)
    if shentsize != 64 or shoff + shnum * 64 > len(data):
        raise Error("its section headers lie outside it")
    out = []
    for k in range(shnum):
        (_, kind, flags, _, offset, size, link, _, _,
         entsize) = struct.unpack_from("<IIQQQQIIQQ", data, shoff + 64 * k)
        if offset + size > len(data) and kind != 8:  # 8: no bits in the file
            raise Error(f"section {k} lies outside it")
        out.append((kind, flags, offset, size, link, entsize))
    return out


def named_sections(data):
    """{name: (offset, size)} of an ELF file's sections that hold bytes."""
    sections = _sections(data)
    shstrndx, = struct.unpack_from("<H", data, 0x3e)
    if shstrndx >= len(sections):
        raise Error("no section names")
    names = sections[shstrndx][2]
    shoff, = struct.unpack_from("<Q", data, 0x28)
    out = {}
    for k, (kind, _, offset, size, _, _) in enumerate(sections):
        if kind == 8:  # no bits in the file
            continue
        name, = struct.unpack_from("<I", data, shoff + 64 * k)
        start = names + name
        out[data[start:data.index(b"\0", start)].decode(errors="replace")] = \
            (offset, size)
    return out


def dynamic(data):
    """Whether an ELF executable's bytes name a program interpreter: a
    dynamically linked program, whose run depends on other files too."""
    try:
        phoff, = struct.unpack_from("<Q", data, 0x20)
        phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
        return any(struct.unpack_from("<I", data, phoff + k * phentsize)[0]
                   == PT_INTERP for k in range(phnum))
    except struct.error:
        raise Error("its program headers lie outside it") from None


def functions(path):
    """[(start, end, name)] in address order, no two overlapping starts."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        sections = _sections(data)
        symtab = [s for s in sections if s[0] == SHT_SYMTAB]
        if len(symtab) != 1:
            raise Error("no symbol table")
        _, _, offset, size, link, entsize = symtab[0]
        strings = sections[link]
        best = {}
        for at in range(offset, offset + size, entsize or 24):
            name, info, _, shndx, value, length = struct.unpack_from(
                "<IBBHQQ", data, at)
            kind = info & 0xf
            if kind not in (STT_OBJECT, STT_FUNC, STT_GNU_IFUNC) or \
                    not length or not 0 < shndx < len(sections) or \
                    not sections[shndx][1] & SHF_EXECINSTR:
                continue
            start = strings[2] + name
            text = data[start:data.index(b"\0", start)].decode(
                errors="replace")
            key = (len(text), text.encode())
            if value not in best or key < best[value][0]:
                best[value] = (key, value + length, text)
    except (struct.error, ValueError, IndexError) as e:
        raise Error(f"a damaged symbol table ({e})") from None
    return [(start, end, "(below main)" if name in BELOW_MAIN else name)
            for start, (_, end, name) in sorted(best.items())]


def build(path):
    """The build of an executable, in its own words: the compilers named in
    its .comment section (in a static link the C library's too), and the C
    library of this system, which a static link took its code from."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Error(e.strerror) from None
    comment = named_sections(data).get(".comment")
    if comment is None:
        raise Error("no .comment section: not a compiler's executable")
    offset, size = comment
    names = sorted({c.decode(errors="replace")
                    for c in data[offset:offset + size].split(b"\0") if c})
    return "; ".join(names + [os.confstr("CS_GNU_LIBC_VERSION")])
