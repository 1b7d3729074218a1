#!/usr/bin/env python3
"""Compares the record layouts of two layout probes (layout_probe.cpp).

Each probe object holds, in its section .tlayout, one 32-bit little-endian number per entry of
the record files, in their order. Prints every entry whose number differs between the emulated
headers and the platform's, and exits 1 if there is one.

    compare_layouts.py EMULATED.o PLATFORM.o --records A.inc [B.inc ...]
                       [--objcopy TOOL] [--platform-objcopy TOOL]
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

ENTRY = re.compile(r"^LAYOUT_(RECORD|FIELD|BIT)\(([^)]*)\)\s*$")
KIND = {"RECORD": "size", "FIELD": "offset", "BIT": "bit"}


def read_entries(path):
    """(kind, label) of each entry, in the order the probe emits them."""
    entries = []
    with open(path, encoding="utf-8") as records:
        for line in records:
            match = ENTRY.match(line.strip())
            if match:
                kind, arguments = match.groups()
                label = ".".join(part.strip() for part in arguments.split(",", 1))
                entries.append((KIND[kind], label))
    return entries


def read_table(objcopy, obj, count):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "table.bin")
        subprocess.run([objcopy, "-O", "binary", "--only-section=.tlayout", obj, out], check=True)
        with open(out, "rb") as table:
            data = table.read()
    if len(data) < 4 * count:
        sys.exit(f"{obj}: .tlayout holds {len(data)} bytes, the records need {4 * count}")
    return struct.unpack_from(f"<{count}I", data)


def compare(entries, emulated, platform):
    """Lines naming each entry that differs."""
    return [f"{label}: {kind} {mine} in the emulated headers, {theirs} on the platform"
            for (kind, label), mine, theirs in zip(entries, emulated, platform) if mine != theirs]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("emulated")
    parser.add_argument("platform")
    parser.add_argument("--records", nargs="+", required=True)
    parser.add_argument("--objcopy", default="objcopy")
    parser.add_argument("--platform-objcopy", default="i686-w64-mingw32-objcopy")
    args = parser.parse_args()
    entries = [entry for records in args.records for entry in read_entries(records)]
    if not entries:
        sys.exit("the record files hold no entries")
    emulated = read_table(args.objcopy, args.emulated, len(entries))
    platform = read_table(args.platform_objcopy, args.platform, len(entries))
    differences = compare(entries, emulated, platform)
    for line in differences:
        print(line)
    records = sum(1 for kind, _ in entries if kind == "size")
    print(f"{records} records, {len(entries)} entries: {len(differences)} differ")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
