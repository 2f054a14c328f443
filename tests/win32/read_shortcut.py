#!/usr/bin/env python3
"""Prints what a shell link (.lnk) file points at, one "key=value" line each:
target, working, arguments, icon, description. Reads the file's own structures
(the shell link binary format), so it needs no Windows program to run.
Exits 1 when the file is no shell link."""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH, HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON = (
    1 << 0, 1 << 1, 1 << 2, 1 << 3, 1 << 4, 1 << 5, 1 << 6)
IS_UNICODE = 1 << 7
LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")


def utf16z(data, at):
    """The NUL-terminated UTF-16 text at offset at."""
    end = at
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[at:end].decode("utf-16-le")


def main(path):
    data = open(path, "rb").read()
    if len(data) < 0x4C or struct.unpack_from("<I", data, 0)[0] != 0x4C or data[4:20] != LINK_CLSID:
        print("not a shell link: " + path, file=sys.stderr)
        return 1
    flags = struct.unpack_from("<I", data, 20)[0]
    at = 0x4C
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = ""
    if flags & HAS_LINK_INFO:
        size, header, info_flags, _volume, base = struct.unpack_from("<IIIII", data, at)
        if info_flags & 1:  # VolumeIDAndLocalBasePath
            if header >= 0x24:
                target = utf16z(data, at + struct.unpack_from("<I", data, at + 28)[0])
            else:
                end = data.index(b"\0", at + base)
                target = data[at + base:end].decode("cp1252")
        at += size
    strings = {}
    for flag, key in ((HAS_NAME, "description"), (HAS_RELATIVE_PATH, "relative"),
                      (HAS_WORKING_DIR, "working"), (HAS_ARGUMENTS, "arguments"), (HAS_ICON, "icon")):
        if flags & flag:
            count = struct.unpack_from("<H", data, at)[0]
            at += 2
            width = 2 if flags & IS_UNICODE else 1
            raw = data[at:at + count * width]
            strings[key] = raw.decode("utf-16-le" if width == 2 else "cp1252").rstrip("\0")
            at += count * width
    print("target=" + target)
    for key in ("working", "arguments", "icon", "description"):
        print(key + "=" + strings.get(key, ""))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
