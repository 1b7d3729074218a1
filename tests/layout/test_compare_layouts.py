#!/usr/bin/env python3
"""The layout comparer reads every kind of entry in order and names each difference."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_layouts  # noqa: E402


class CompareLayoutsTest(unittest.TestCase):
    def test_entries_in_order_with_nested_fields_and_differences_named(self):
        with tempfile.NamedTemporaryFile("w", suffix=".inc", delete=False) as records:
            records.write("// comment LAYOUT_FIELD(X, y)\n"
                          "LAYOUT_RECORD(IRP)\n"
                          "LAYOUT_FIELD(IRP, Tail.Overlay.CurrentStackLocation)\n"
                          "LAYOUT_BIT(DEVICE_CAPABILITIES, Removable)\n")
        try:
            entries = compare_layouts.read_entries(records.name)
        finally:
            os.unlink(records.name)
        self.assertEqual(entries, [("size", "IRP"),
                                   ("offset", "IRP.Tail.Overlay.CurrentStackLocation"),
                                   ("bit", "DEVICE_CAPABILITIES.Removable")])
        self.assertEqual(compare_layouts.compare(entries, (112, 96, 4), (112, 96, 4)), [])
        self.assertEqual(compare_layouts.compare(entries, (104, 96, 5), (112, 96, 4)),
                         ["IRP: size 104 in the emulated headers, 112 on the platform",
                          "DEVICE_CAPABILITIES.Removable: bit 5 in the emulated headers, "
                          "4 on the platform"])


if __name__ == "__main__":
    unittest.main()
