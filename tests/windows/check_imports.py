#!/usr/bin/env python3
"""Holds the Windows programs to what both platform families export.

Every function a shipped .exe or .dll imports, and every system function the objects of a
static library call, must be in windows/system_exports.txt as exported by Windows 2000 and by
the Windows 98/Me family; one the 98/Me family only stubs ("wide") is allowed where the list
says why the program never calls it there.

Usage: check_imports.py LIST FILE... [--objdump PROG]
Exit 0 when every import is allowed, 1 when one is not, 2 on a usage or tool error.
"""

import argparse
import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import Results, check_image  # noqa: E402

STATES = ("yes", "wide")


def parse_list(path):
    """{(dll in lower case, function): (state 2000, state 98/Me, source)}."""
    entries = {}
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split(None, 4)
            if len(fields) < 5 or fields[2] not in STATES or fields[3] not in STATES:
                raise ValueError(f"{path}:{lineno}: expected 'DLL function yes|wide yes|wide source'")
            entries[(fields[0].lower(), fields[1])] = (fields[2], fields[3], fields[4])
    return entries


def imports_of(path, objdump):
    """[(dll or None, function)]: an image's import table, or a library's undefined import
    slots (__imp__Name@N) when the file is an archive."""
    if path.endswith(".a"):
        nm = re.sub(r"objdump$", "nm", objdump)
        text = subprocess.run([nm, "-u", path], check=True, capture_output=True, text=True).stdout
        names = set(re.findall(r"\bU __imp__?([A-Za-z_]\w*?)(?:@\d+)?$", text, re.M))
        return [(None, name) for name in sorted(names)]
    text = subprocess.run([objdump, "-p", path], check=True, capture_output=True, text=True).stdout
    return [(dll, name) for dll, names in check_image.parse_private_headers(text)["imports"].items()
            for name in names]


def verdict(entries, dll, name):
    """(allowed, reason) of one import."""
    found = [(key, value) for key, value in entries.items()
             if key[1] == name and (dll is None or key[0] == dll.lower())]
    if not found:
        return False, "not in the list of what Windows 2000 and 98/Me both export"
    (_dll, _name), (nt, win9x, source) = found[0]
    if nt != "yes":
        return False, "Windows 2000 does not implement it"
    if win9x == "wide" and len(source.split()) < 2:
        return False, "the 98/Me family only stubs it, and the list gives no reason"
    return True, ""


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("list")
    parser.add_argument("files", nargs="+")
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    args = parser.parse_args(argv)
    try:
        entries = parse_list(args.list)
        results = Results()
        for path in args.files:
            print(f"== {path}")
            imported = imports_of(path, args.objdump)
            results.check(bool(imported), f"{os.path.basename(path)} imports something",
                          "no imports found: the file was not read")
            for dll, name in imported:
                ok, reason = verdict(entries, dll, name)
                where = f"{dll}!{name}" if dll else name
                results.check(ok, f"import {where}", reason)
    except (ValueError, OSError, subprocess.CalledProcessError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    return results.finish()


if __name__ == "__main__":
    sys.exit(main())
