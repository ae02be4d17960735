"""The source lines of an executable's instructions, as cachegrind names
them: from the line tables in its DWARF 5 debug information.

As Valgrind reads them, every row of a line program counts, statement or
not, line 0 included: a row ends the range of the one before, so an
address belongs to the last row at or below it in its sequence, and a
range of no bytes names nothing.  A file is named "DIR/NAME" by its
directory's entry and its name, a relative directory standing under the
unit's compilation folder where Valgrind reads that.
"""
import struct

from .symbols import Error, named_sections

# The forms read as strings, and the one signed number.
DW_FORM_string, DW_FORM_strp, DW_FORM_line_strp, DW_FORM_sdata = 0x08, 0x0e, \
    0x1f, 0x0d
DW_LNCT_path, DW_LNCT_directory_index = 1, 2


class Reader:
    """Little-endian fields of a byte string, read in turn."""

    def __init__(self, data, at, end):
        self.data, self.at, self.end = data, at, end

    def fixed(self, fmt):
        v, = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize(fmt)
        if self.at > self.end:
            raise Error("a line table runs past its end")
        return v

    def leb(self, signed=False):
        v = shift = 0
        while True:
            if self.at >= self.end:
                raise Error("a line table runs past its end")
            b = self.data[self.at]
            self.at += 1
            v |= (b & 0x7f) << shift
            shift += 7
            if not b & 0x80:
                break
        if signed and b & 0x40:
            v -= 1 << shift
        return v

    def cstring(self):
        end = self.data.index(b"\0", self.at)
        text = self.data[self.at:end].decode(errors="replace")
        self.at = end + 1
        return text


def string_at(data, section, offset):
    if section is None or offset >= section[1]:
        raise Error("a line table names a string outside its section")
    at = section[0] + offset
    return data[at:data.index(b"\0", at)].decode(errors="replace")


def entries(r, data, strs):
    """A DWARF 5 directory or file table: per entry, its path and its
    directory's number."""
    formats = [(r.leb(), r.leb()) for _ in range(r.fixed("B"))]
    out = []
    for _ in range(r.leb()):
        path, folder = None, 0
        for content, form in formats:
            v = form_value(r, data, form, strs)
            if content == DW_LNCT_path:
                path = v
            elif content == DW_LNCT_directory_index:
                folder = v
        out.append((path, folder))
    return out


# The bytes that a value of each fixed-size form takes in a DIE.
FORM_SIZE = {0x01: 8, 0x05: 2, 0x06: 4, 0x07: 8, 0x0b: 1, 0x0c: 1, 0x0e: 4,
             0x10: 4, 0x11: 1, 0x12: 2, 0x13: 4, 0x14: 8, 0x17: 4, 0x19: 0,
             0x1c: 4, 0x1d: 4, 0x1e: 16, 0x1f: 4, 0x20: 8, 0x21: 0, 0x24: 8,
             0x25: 1, 0x26: 2, 0x27: 3, 0x28: 4, 0x29: 1, 0x2a: 2, 0x2b: 3,
             0x2c: 4}
FORM_LEB = {0x0d, 0x0f, 0x15, 0x1a, 0x1b, 0x22, 0x23}  # a LEB128 value
FORM_BLOCK = {0x09: None, 0x0a: "B", 0x03: "H", 0x04: "I", 0x18: None}
DW_AT_stmt_list, DW_AT_comp_dir = 0x10, 0x1b


def compilation_folders(data, sections, strs):
    """{line table offset: its unit's compilation folder}, for the folders
    named by a string in place or by an offset into a string section; one
    named by a string index (DW_FORM_strx, as clang writes it) is not read,
    and Valgrind names files as if there were none."""
    if ".debug_info" not in sections or ".debug_abbrev" not in sections:
        return {}
    at, size = sections[".debug_info"]
    end, out = at + size, {}
    while at < end:
        r = Reader(data, at, end)
        length = r.fixed("I")
        next_unit = r.at + length
        version = r.fixed("H")
        if version >= 5:
            r.fixed("B")  # unit type
            r.fixed("B")  # address size
        abbrevs = r.fixed("I")
        if version < 5:
            r.fixed("B")
        code = r.leb()
        form_list = first_abbrev(data, sections[".debug_abbrev"], abbrevs,
                                 code)
        stmt = folder = None
        for name, form in form_list:
            value = form_value(r, data, form, strs)
            if name == DW_AT_stmt_list:
                stmt = value
            elif name == DW_AT_comp_dir and isinstance(value, str):
                folder = value
        if stmt is not None and folder:
            out[stmt] = folder
        at = next_unit
    return out


def first_abbrev(data, section, offset, code):
    """The (attribute, form) pairs of abbreviation code at offset."""
    r = Reader(data, section[0] + offset, section[0] + section[1])
    while True:
        number = r.leb()
        if number == 0:
            raise Error("a unit's abbreviation is missing")
        r.leb()  # tag
        r.fixed("B")  # children
        pairs = []
        while True:
            name, form = r.leb(), r.leb()
            if (name, form) == (0, 0):
                break
            if form == 0x21:  # implicit_const: its value stands here
                r.leb(signed=True)
            pairs.append((name, form))
        if number == code:
            return pairs


def form_value(r, data, form, strs):
    """A value of a form, in a DIE or a line table's directory and file
    tables: a string for the string forms read here, a number for the
    numbers, None for the rest (skipped)."""
    if form == DW_FORM_string:
        return r.cstring()
    if form in (DW_FORM_strp, DW_FORM_line_strp):
        return string_at(data, strs[form], r.fixed("I"))
    if form in FORM_SIZE:
        n = FORM_SIZE[form]
        if n in (1, 2, 4, 8):
            return r.fixed({1: "B", 2: "H", 4: "I", 8: "Q"}[n])
        r.at += n
        return None
    if form in FORM_LEB:
        return r.leb(signed=form == DW_FORM_sdata)
    if form in FORM_BLOCK:
        fmt = FORM_BLOCK[form]
        r.at += r.leb() if fmt is None else r.fixed(fmt)
        return None
    raise Error(f"form {form:#x} is not read here")


def program(data, at, strs, folder):
    """One unit's line table: its ranges [(start, end, file, line)], and
    where the next unit begins; folder is its compilation folder, if
    known."""
    r = Reader(data, at, len(data))
    length = r.fixed("I")
    if length >= 0xfffffff0:
        raise Error("a 64-bit DWARF line table is not read here")
    end = r.at + length
    r.end = end
    version = r.fixed("H")
    if version != 5:
        raise Error(f"a line table of DWARF version {version}; only 5 is "
                    "read here (build with -gdwarf-5)")
    if r.fixed("B") != 8:
        raise Error("a line table of addresses not 8 bytes wide")
    r.fixed("B")  # segment selector size
    header_end = r.fixed("I") + r.at
    min_length = r.fixed("B")
    r.fixed("B")  # operations per instruction
    r.fixed("B")  # whether rows are statements at first
    line_base = r.fixed("b")
    line_range = r.fixed("B")
    opcode_base = r.fixed("B")
    arg_counts = [r.fixed("B") for _ in range(opcode_base - 1)]
    dirs = entries(r, data, strs)
    files = entries(r, data, strs)
    r.at = header_end
    names = []
    for path, index in files:
        # As Valgrind names them: a relative directory under the
        # compilation folder where that is known, and the directory
        # joined even to a name that is absolute itself.
        d = dirs[index][0] if index < len(dirs) else None
        if d and folder and not d.startswith("/"):
            d = f"{folder}/{d}"
        names.append(f"{d}/{path}" if d else path)
    out = []

    def reset():
        return {"address": 0, "file": 1, "line": 1}
    state, last = reset(), None

    def row(ends=False):
        nonlocal last
        if last and state["address"] > last[0]:
            out.append((last[0], state["address"], last[1], last[2]))
        f = state["file"]
        last = None if ends else (
            state["address"], names[f] if f < len(names) else "???",
            state["line"])

    while r.at < end:
        op = r.fixed("B")
        if op >= opcode_base:
            adjusted = op - opcode_base
            state["address"] += (adjusted // line_range) * min_length
            state["line"] += line_base + adjusted % line_range
            row()
        elif op == 0:
            size = r.leb()
            next_at = r.at + size
            sub = r.fixed("B")
            if sub == 1:  # end of a sequence
                row(ends=True)
                state, last = reset(), None
            elif sub == 2:
                state["address"] = r.fixed("Q")
            r.at = next_at
        elif op == 1:
            row()
        elif op == 2:
            state["address"] += r.leb() * min_length
        elif op == 3:
            state["line"] += r.leb(signed=True)
        elif op == 4:
            state["file"] = r.leb()
        elif op == 8:
            state["address"] += ((255 - opcode_base) // line_range) * \
                min_length
        elif op == 9:
            state["address"] += r.fixed("H")
        else:  # column, basic block, prologue and epilogue marks, ISA
            for _ in range(arg_counts[op - 1]):
                r.leb()
    return out, end


def source_lines(path):
    """[(start, end, file, line)] in address order, none overlapping; []
    for an executable without a line table."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        sections = named_sections(data)
        if ".debug_line" not in sections:
            return []
        at, size = sections[".debug_line"]
        strs = {DW_FORM_line_strp: sections.get(".debug_line_str"),
                DW_FORM_strp: sections.get(".debug_str")}
        folders = compilation_folders(data, sections, strs)
        start, ranges = at, []
        while at < start + size:
            found, at = program(data, at, strs, folders.get(at - start))
            ranges += found
    except (struct.error, ValueError, IndexError) as e:
        raise Error(f"a damaged line table ({e})") from None
    ranges.sort()
    out = []
    for r in ranges:  # where two overlap, the later start cuts the earlier
        if out and out[-1][1] > r[0]:
            start, _, file, line = out.pop()
            if r[0] > start:
                out.append((start, r[0], file, line))
        out.append(r)
    return out
