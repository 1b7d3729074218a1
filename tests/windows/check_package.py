#!/usr/bin/env python3
"""Checks the Windows zip: one top folder holding tarvik.sys, tarvik.inf, tarvik.exe,
INSTALL.txt, lib/libtarvik_client.a and the headers include/tarvik/{acquisition,device,
rate_plan,sequence}.h and include/tarvik_ioctl.h, nothing else; the driver, the INF and the tool as the build made them.

Usage: check_package.py ZIP TARVIK_EXE TARVIK_SYS TARVIK_INF
"""

import os
import sys
import zipfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import Results  # noqa: E402

EXPECTED = {"tarvik.sys", "tarvik.inf", "tarvik.exe", "INSTALL.txt", "lib/libtarvik_client.a",
            "include/tarvik/acquisition.h", "include/tarvik/device.h",
            "include/tarvik/rate_plan.h", "include/tarvik/sequence.h", "include/tarvik_ioctl.h"}


def main(argv):
    if len(argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    archive, exe, sys_file, inf = argv[1:]
    results = Results()
    top = os.path.basename(archive)[:-len(".zip")]
    with zipfile.ZipFile(archive) as z:
        files = {n[len(top) + 1:] for n in z.namelist() if not n.endswith("/")}
        results.check(all(n.startswith(top + "/") for n in z.namelist()), f"one top folder {top}",
                      str(z.namelist()))
        results.check(files == EXPECTED, "the package's files",
                      f"missing {sorted(EXPECTED - files)}, extra {sorted(files - EXPECTED)}")
        for name, built in (("tarvik.sys", sys_file), ("tarvik.inf", inf)):
            with open(built, "rb") as f:
                results.check(name in files and z.read(f"{top}/{name}") == f.read(),
                              f"{name} as built", "differs from the build's")
        # CPack strips the tool, so its bytes differ from the build's; its version resource
        # names it and carries the version of the build's own.
        packed = z.read(f"{top}/tarvik.exe") if "tarvik.exe" in files else b""
        with open(exe, "rb") as f:
            built = f.read()
        marker = "OriginalFilename".encode("utf-16-le")
        at = built.find(marker)
        resource = built[at:at + 80] if at >= 0 else b"<none>"
        results.check(packed[:2] == b"MZ" and resource in packed,
                      "tarvik.exe with the built program's version resource", "not the built program")
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
