#!/usr/bin/env python3
"""Tests of check_imports.py on a small program built with the cross compiler: an import the
list lacks fails, and so does a "wide" entry that gives no reason why it is never called."""

import contextlib
import io
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_imports  # noqa: E402

CXX = os.environ.get("TARVIK_CROSS_CXX", "i686-w64-mingw32-g++")
OBJDUMP = os.environ.get("TARVIK_CROSS_OBJDUMP", "i686-w64-mingw32-objdump")
SOURCE = ('#include <windows.h>\n'
          'int main() { return CreateFileW(L"x", 0, 0, 0, OPEN_EXISTING, 0, 0) == 0; }\n')


class ImportChecks(unittest.TestCase):
    def run_checker(self, folder, list_text, program):
        path = os.path.join(folder, "list.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(list_text)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            rc = check_imports.main([path, program, "--objdump", OBJDUMP])
        return rc, out.getvalue()

    def test_unlisted_and_unexplained_wide_imports_fail(self):
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "probe.cpp")
            with open(source, "w", encoding="utf-8") as f:
                f.write(SOURCE)
            program = os.path.join(folder, "probe.exe")
            subprocess.run([CXX, "-O1", source, "-o", program, "-static"], check=True)
            rc, out = self.run_checker(folder, "KERNEL32.dll GetLastError yes yes [api]\n", program)
            self.assertEqual(rc, 1, out)
            self.assertIn("FAIL  import KERNEL32.dll!CreateFileW: not in the list", out)
            rc, out = self.run_checker(folder, "KERNEL32.dll CreateFileW yes wide [w95]\n", program)
            self.assertIn("CreateFileW: the 98/Me family only stubs it, and the list gives no reason",
                          out)
            rc, out = self.run_checker(folder, "KERNEL32.dll CreateFileW yes oui [api]\n", program)
            self.assertEqual(rc, 2, out)


if __name__ == "__main__":
    unittest.main()
