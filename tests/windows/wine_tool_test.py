#!/usr/bin/env python3
"""tarvik.exe under Wine, a Win32 we did not write, for what needs no driver: its help and
version, an acquisition with no device installed (a clear message and exit 1, and no output
file or temporary file left behind), and a refused plot format (exit 2, nothing written).

Usage: wine_tool_test.py TARVIK_EXE VERSION
Exit 0 when every check passes, 1 when one fails, 77 (skipped) without Wine.
"""

import os
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import Results, run_wine  # noqa: E402


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    if shutil.which("wine") is None:
        print("SKIPPED: wine is not installed; tarvik.exe was not run")
        return 77
    exe, version = os.path.abspath(argv[1]), argv[2]
    results = Results()

    code, out = run_wine([exe, "--version"])
    results.check(code == 0 and out.strip() == f"tarvik {version}", "--version", f"exit {code}: {out}")
    code, out = run_wine([exe, "--help"])
    results.check(code == 0 and "acquire" in out and "--virtual" not in out,
                  "--help lists the commands and no emulated-machine option", f"exit {code}: {out}")

    with tempfile.TemporaryDirectory() as folder:
        code, out = run_wine([exe, "acquire", "--frames", "100", "-o", "run.csv"], cwd=folder)
        results.check(code == 1 and "device is not there" in out,
                      "acquire without a device: exit 1 and says why", f"exit {code}: {out}")
        left = os.listdir(folder)
        results.check(left == [], "nothing left behind by the failed acquisition", str(left))

        code, out = run_wine([exe, "acquire", "--frames", "100", "-o", "run.npy",
                              "--plot", "run.png"], cwd=folder)
        results.check(code == 2, "a PNG plot is refused on Windows (exit 2)", f"exit {code}: {out}")
        left = os.listdir(folder)
        results.check(left == [], "nothing written for a refused command line", str(left))
    return results.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
