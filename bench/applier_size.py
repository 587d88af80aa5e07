#!/usr/bin/env python3
"""Where the appliers' bytes go: each applier's sections as the file holds
them, then every byte of the file by what it is for, from the linker map
the build writes beside the executable (our code by folder, SHA-256, the
LZMA decoder, the C++ runtime, the unwinder, the MinGW C runtime, the
import tables, resources). The unwind column is .eh_frame in PE32 and
.pdata with .xdata in PE32+; the .reloc column charges each base
relocation (2 bytes) to the code or data it patches. Headers, section
alignment and relocation block headers make up the last row, so that the
rows add up to the file's size.

  python3 bench/applier_size.py [--limit x86=BYTES] [--limit x64=BYTES] [BUILD ...]

BUILD is a win-x86 or win-x64 build folder (default: both of this tree's);
with --limit, an applier larger than its limit fails the run.
"""
import argparse
import bisect
import pathlib
import re
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
DEFAULT_BUILDS = [ROOT / "build/win-x86", ROOT / "build/win-x64"]

# The columns: output sections, with the unwind tables of both forms
# folded into one.
COLUMNS = [".text", ".rdata", ".data", "unwind", ".reloc", "other"]
UNWIND = {".eh_frame", ".pdata", ".xdata"}

LINKER = "linker fill, lists"
OWN_FOLDERS = ["ui", "apply", "package", "result", "runtime"]
TERMINATE = {"vterminate.o", "cp-demangle.o"}
EXCEPTIONS = {"functexcept.o", "stdexcept.o", "cow-stdexcept.o", "bad_alloc.o",
              "bad_array_new.o", "bad_cast.o", "bad_typeid.o", "class_type_info.o",
              "si_class_type_info.o", "vmi_class_type_info.o", "tinfo.o", "tinfo2.o",
              "snprintf_lite.o"}
PRINTF = re.compile(r"mingw_v?s?n?w?printf|pformat|gdtoa|[dg]misc|_a-misc|strnlen|wcsnlen")
CATEGORIES = [
    "src/ui", "src/apply", "src/package", "SHA-256", "src/result", "src/runtime",
    "LZMA decoder", "C++ strings", "C++ exceptions, type info",
    "C++ verbose terminate, demangler", "C++ library, other", "unwinder",
    "libgcc helpers", "winpthreads", "MinGW printf", "MinGW CRT",
    "import tables, GUIDs", "resources", LINKER,
]


def category(source):
    """What the input section from `source` (a map's file column) is for."""
    if source == "dll stuff":
        return LINKER
    name = source.rsplit("/", 1)[-1]
    match = re.match(r"(.+\.a)\((.+)\)$", name)
    archive, member = match.groups() if match else ("", name)
    library = re.match(r"libselfpatch_(\w+)\.a$", archive)
    if library:
        if library.group(1) == "lzma":
            return "LZMA decoder"
        if member.startswith("sha256"):
            return "SHA-256"
        return "src/" + library.group(1)
    if archive == "objects.a":  # the applier's own objects
        if member.endswith(".res"):
            return "resources"
        if member.startswith("sha256"):
            return "SHA-256"
        source = member[:-len(".obj")]
        return next(("src/" + folder for folder in OWN_FOLDERS
                     if (ROOT / "src" / folder / source).exists()), "src/ui")
    if archive in ("libstdc++.a", "libsupc++.a"):
        if member in TERMINATE:
            return "C++ verbose terminate, demangler"
        if member.startswith("eh_") or member in EXCEPTIONS:
            return "C++ exceptions, type info"
        if "string" in member:
            return "C++ strings"
        return "C++ library, other"
    if archive == "libgcc_eh.a" or (archive == "libgcc.a" and member.startswith("unwind")):
        return "unwinder"
    if archive == "libgcc.a":
        return "libgcc helpers"
    if archive in ("libpthread.a", "libwinpthread.a"):
        return "winpthreads"
    if re.match(r"lib\w+?(s\d+|h|t)\.o$", member) or archive == "libuuid.a":
        return "import tables, GUIDs"
    if archive == "libmingwex.a" and PRINTF.search(member):
        return "MinGW printf"
    if archive in ("libmingw32.a", "libmingwex.a", "libmsvcrt.a") or \
            re.match(r"crt\w*\.o$", member):
        return "MinGW CRT"
    return LINKER


def read_map(path):
    """Input sections of the map: (output section, address, size, category)."""
    pieces = []
    output = None
    pending = False
    started = False
    for line in path.read_text(errors="replace").splitlines():
        if line.startswith("Linker script and memory map"):
            started = True
            continue
        if not started:
            continue
        top = re.match(r"^(\.[\w$.]+)\s", line)
        if top:
            output = top.group(1)
            continue
        fill = re.match(r"^ \*fill\*\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)", line)
        if fill:
            pieces.append((output, int(fill.group(1), 16), int(fill.group(2), 16), LINKER))
            continue
        whole = re.match(r"^ (\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.+)$", line)
        if whole:
            pieces.append((output, int(whole.group(2), 16), int(whole.group(3), 16),
                           category(whole.group(4))))
            pending = False
            continue
        if re.match(r"^ \.\S+$", line):
            pending = True  # a long section name: the rest is on the next line
            continue
        rest = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.+)$", line)
        if rest and pending:
            pieces.append((output, int(rest.group(1), 16), int(rest.group(2), 16),
                           category(rest.group(3))))
            pending = False
        elif rest and re.match(r"(LONG|QUAD|SHORT|BYTE) ", rest.group(3)):
            pieces.append((output, int(rest.group(1), 16), int(rest.group(2), 16), LINKER))
    return [piece for piece in pieces if piece[2] > 0]


def read_pe(path):
    """Image base, size of headers, sections (name, rva, virtual size, raw
    size) and the RVAs that base relocations patch."""
    data = path.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x20B:
        image_base = struct.unpack_from("<Q", data, optional + 24)[0]
        directories = optional + 112
    else:
        image_base = struct.unpack_from("<I", data, optional + 28)[0]
        directories = optional + 96
    headers = struct.unpack_from("<I", data, optional + 60)[0]
    sections = []
    table = optional + optional_size
    for i in range(count):
        raw_name, vsize, rva, raw_size, raw_at = struct.unpack_from("<8sIIII", data, table + 40 * i)
        sections.append((raw_name.rstrip(b"\0").decode(), rva, vsize, raw_size, raw_at))
    reloc_rva, reloc_size = struct.unpack_from("<II", data, directories + 5 * 8)
    patched = []
    for name, rva, vsize, raw_size, raw_at in sections:
        if rva <= reloc_rva < rva + max(vsize, raw_size):
            at = raw_at + reloc_rva - rva
            end = at + reloc_size
            while at + 8 <= end:
                page, block = struct.unpack_from("<II", data, at)
                if block < 8:
                    break
                for j in range((block - 8) // 2):
                    entry = struct.unpack_from("<H", data, at + 8 + 2 * j)[0]
                    if entry >> 12:  # type 0 pads a block
                        patched.append(page + (entry & 0xFFF))
                at += block
    return image_base, headers, sections, patched, len(data)


def column(section):
    if section in UNWIND:
        return "unwind"
    if section in (".text", ".rdata", ".data", ".reloc"):
        return section
    return "other"


def report(build):
    exe = next(build.glob("src/ui/selfpatch-stub-*.exe"), None)
    if exe is None or not exe.with_suffix(".map").exists():
        sys.exit("no applier with its linker map in %s: make win-x86 win-x64" % build)
    arch = exe.stem.rsplit("-", 1)[-1]
    image_base, headers, sections, patched, size = read_pe(exe)
    pieces = read_map(exe.with_suffix(".map"))
    # The file holds only the sections with raw data; the map names
    # .eh_frame in full where the section table cuts it to 8 characters.
    in_file = {name for name, _, _, raw_size, _ in sections if raw_size > 0}
    table = {}
    for output, _, length, what in pieces:
        if output[:8] in in_file and output != ".reloc":
            row = table.setdefault(what, dict.fromkeys(COLUMNS, 0))
            row[column(output)] += length
    starts = sorted((address, address + length, what) for _, address, length, what in pieces)
    addresses = [start for start, _, _ in starts]
    for rva in patched:
        index = bisect.bisect_right(addresses, image_base + rva) - 1
        what = starts[index][2] if index >= 0 and image_base + rva < starts[index][1] else LINKER
        table.setdefault(what, dict.fromkeys(COLUMNS, 0))[".reloc"] += 2
    counted = sum(sum(row.values()) for row in table.values())

    print("%s applier %s: %s bytes" % (arch, exe.relative_to(ROOT) if exe.is_relative_to(ROOT)
                                        else exe, format(size, ",")))
    print("  %-10s %10s %10s" % ("section", "in file", "in memory"))
    print("  %-10s %10s %10s" % ("headers", format(headers, ","), ""))
    for name, _, vsize, raw_size, _ in sections:
        print("  %-10s %10s %10s" % (name, format(raw_size, ","), format(vsize, ",")))
    print()
    print("  %-33s" % "what" + "".join("%9s" % c for c in COLUMNS) + "%10s" % "total")
    totals = dict.fromkeys(COLUMNS, 0)
    for what in CATEGORIES:
        row = table.get(what)
        if row is None or sum(row.values()) == 0:
            continue
        for c in COLUMNS:
            totals[c] += row[c]
        print("  %-33s" % what + "".join("%9s" % format(row[c], ",") for c in COLUMNS) +
              "%10s" % format(sum(row.values()), ","))
    print("  %-33s" % "headers, alignment, reloc blocks" + " " * (9 * len(COLUMNS)) +
          "%10s" % format(size - counted, ","))
    print("  %-33s" % "total" + "".join("%9s" % format(totals[c], ",") for c in COLUMNS) +
          "%10s" % format(size, ","))
    print()
    return arch, size


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="*", type=pathlib.Path, default=DEFAULT_BUILDS)
    parser.add_argument("--limit", action="append", default=[], metavar="ARCH=BYTES")
    args = parser.parse_args()
    limits = dict((arch, int(bytes_)) for arch, bytes_ in
                  (limit.split("=") for limit in args.limit))
    over = []
    for build in args.builds:
        arch, size = report(build.resolve())
        if arch in limits and size > limits[arch]:
            over.append("%s applier: %s bytes, over its limit of %s" %
                        (arch, format(size, ","), format(limits[arch], ",")))
    for line in over:
        print(line, file=sys.stderr)
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
