#!/usr/bin/env python3
"""Checks the include rules of the source tree; prints each break, exits 1 if any.

Usage: check_includes.py SOURCE_DIR
       check_includes.py --picture SOURCE_DIR   (which folder includes which, as it is)

  - a folder of src/ includes only the folders (or single headers) below it that
    LAYERS names; src/run, the top, may include every folder;
  - system headers (#include <...>) stand only in src/os; elsewhere only the C and
    C++ standard headers of STANDARD_HEADERS, and an optional library's own header in
    the folder of its adapter (OPTIONAL_LIBRARY_HEADERS);
  - vtarget/ includes nothing from src/.
"""
import os
import re
import sys

# folder -> what it may include: "folder" for every header of it, "folder/file.h" for one
LAYERS = {
    "os": ["os"],
    "base": ["base", "os"],
    "adapters": ["adapters", "base", "os"],
    "ftdi": ["ftdi", "adapters/spi.h", "adapters/pin_map.h", "adapters/adapter_settings.h", "base", "os"],
    "avr": ["avr", "adapters/spi.h", "base", "os"],
    "image": ["image", "avr", "base", "os"],
    "run": ["run", "image", "avr", "ftdi", "adapters", "base", "os"],
}

# Headers of optional libraries, loaded at run time, that their adapter's folder may use.
OPTIONAL_LIBRARY_HEADERS = {
    "ftdi": ["libftdi1/ftdi.h"],
}

STANDARD_HEADERS = set("""
    algorithm any array atomic bitset cassert cctype cerrno cfloat charconv chrono cinttypes
    climits clocale cmath codecvt complex condition_variable csetjmp csignal cstdarg cstddef
    cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution
    filesystem forward_list fstream functional future initializer_list iomanip ios iosfwd
    iostream istream iterator limits list locale map memory memory_resource mutex new numeric
    optional ostream queue random ratio regex scoped_allocator set shared_mutex sstream stack
    stdexcept streambuf string string_view system_error thread tuple type_traits typeindex
    typeinfo unordered_map unordered_set utility valarray variant vector
""".split())

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp")


def sources(folder):
    for root, _, files in os.walk(folder):
        for name in sorted(files):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.join(root, name)


def includes(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m:
                yield number, m.group(1) == "<", m.group(2)


def allowed(layer, header):
    """True when a file of src/<layer> may include the quoted header."""
    if "/" not in header:
        return True  # a header beside the file, in its own folder
    for entry in LAYERS[layer]:
        if header == entry or ("/" not in entry and header.startswith(entry + "/")):
            return True
    return False


def check(top):
    breaks = []
    src = os.path.join(top, "src")
    for layer in sorted(os.listdir(src)):
        folder = os.path.join(src, layer)
        if not os.path.isdir(folder):
            continue
        for path in sources(folder):
            where = os.path.relpath(path, top)
            if layer not in LAYERS:
                breaks.append("%s: src/%s is a folder without include rules" % (where, layer))
                break
            for number, system, header in includes(path):
                if system:
                    if layer == "os" or header in STANDARD_HEADERS:
                        continue
                    if header in OPTIONAL_LIBRARY_HEADERS.get(layer, []):
                        continue
                    breaks.append("%s:%d: <%s>: system headers belong in src/os" % (where, number, header))
                elif not allowed(layer, header):
                    breaks.append("%s:%d: \"%s\": src/%s may include only %s" %
                                  (where, number, header, layer, ", ".join(LAYERS[layer])))
    vtarget = os.path.join(top, "vtarget")
    if os.path.isdir(vtarget):
        for path in sources(vtarget):
            for number, system, header in includes(path):
                if not system and (header.split("/")[0] in LAYERS or "src/" in header):
                    breaks.append("%s:%d: \"%s\": the virtual target includes nothing from src" %
                                  (os.path.relpath(path, top), number, header))
    return breaks


def picture(top):
    """Which folder of src/ includes which others, as it is: one line a folder."""
    src = os.path.join(top, "src")
    lines = []
    for layer in sorted(os.listdir(src)):
        folder = os.path.join(src, layer)
        if not os.path.isdir(folder):
            continue
        used = {}
        for path in sources(folder):
            for _, system, header in includes(path):
                if not system and "/" in header and header.split("/")[0] != layer:
                    used.setdefault(header.split("/")[0], set()).add(header.split("/", 1)[1])
        lines.append("%s: %s" % (layer, ", ".join(
            name if len(files) > 3 else "%s (%s)" % (name, ", ".join(sorted(files)))
            for name, files in sorted(used.items())) or "-"))
    return lines


def main(argv):
    if len(argv) == 3 and argv[1] == "--picture" and os.path.isdir(os.path.join(argv[2], "src")):
        print("\n".join(picture(argv[2])))
        return 0
    if len(argv) != 2 or not os.path.isdir(os.path.join(argv[1], "src")):
        sys.stderr.write("usage: check_includes.py [--picture] SOURCE_DIR (the folder that holds src/)\n")
        return 2
    breaks = check(argv[1])
    for line in breaks:
        print(line)
    if breaks:
        print("%d include rule break%s" % (len(breaks), "" if len(breaks) == 1 else "s"))
        return 1
    print("include rules hold")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
