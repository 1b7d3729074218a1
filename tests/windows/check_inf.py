#!/usr/bin/env python3
"""Checks tarvik.inf.

  check_inf.py setupapi INF PROBE HARDWARE_ID   the INF as Wine's setupapi resolves it (through
                                                inf_probe.exe): signature, class, the model's
                                                hardware ID, the NT install section with its file
                                                copy, target folder and service, the 98/Me
                                                section with its registry entries
  check_inf.py ids INF TOOL                     the INF's hardware ID against the PCI identity a
                                                new card's EEPROM holds (`tarvik eeprom dump`)

Exit 0 when every check passes, 1 when one fails, 77 (skipped) without Wine.
"""

import json
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import Results, run_wine  # noqa: E402

# The bridge's configuration words (sim/card/eeprom_93c46.h, bridge_config_word).
DEVICE, VENDOR, SUBSYSTEM, SUBSYSTEM_VENDOR = 0, 1, 4, 5


def inf_sections(path):
    """{section name (lower case): [line, ...]} of a plain reading of the INF."""
    sections, current = {}, None
    with open(path, encoding="ascii") as f:
        for raw in f:
            line = raw.split(";", 1)[0].strip()
            m = re.fullmatch(r"\[([^\]]+)\]", line)
            if m:
                current = sections.setdefault(m.group(1).lower(), [])
            elif line and current is not None:
                current.append(line)
    return sections


def model_hardware_ids(path):
    sections = inf_sections(path)
    ids = []
    for maker in sections.get("manufacturer", []):
        models = maker.split("=", 1)[1].split(",")[0].strip().lower()
        for line in sections.get(models, []):
            ids += [field.strip() for field in line.split("=", 1)[1].split(",")[1:]]
    return ids


def check_ids(inf, tool):
    results = Results()
    dump = subprocess.run([tool, "--virtual", "eeprom", "dump", "--json"], check=True,
                          capture_output=True, text=True).stdout
    words = json.loads(dump)["words"]
    expected = (f"PCI\\VEN_{words[VENDOR]:04X}&DEV_{words[DEVICE]:04X}"
                f"&SUBSYS_{words[SUBSYSTEM]:04X}{words[SUBSYSTEM_VENDOR]:04X}")
    ids = model_hardware_ids(inf)
    results.check(ids == [expected], f"the INF's model matches {expected}, a new card's identity",
                  f"the INF lists {ids}")
    return results.finish()


def check_setupapi(inf, probe, hardware_id):
    results = Results()
    code, output = run_wine([probe, inf])
    lines = output.splitlines()
    print(output)

    def line(key):
        return next((l.split(": ", 1)[1] for l in lines if l.startswith(key + ": ")), None)

    def lines_of(key):
        return [l.split(": ", 1)[1] for l in lines if l.startswith(key + ": ")]

    results.check(code == 0, "setupapi opens and resolves the INF", f"exit {code}")
    results.check(line("signature") == "$CHICAGO$", "signature $CHICAGO$", line("signature"))
    results.check((line("class") or "").startswith("TarvikAcquisition {"), "setup class with its GUID",
                  line("class"))
    for family in ("98", "NT"):
        added = lines_of(f"class install ({family})")
        results.check(any("Data acquisition cards" in l for l in added),
                      f"class installation for {family}", str(added))
    model = line("model") or ""
    results.check(model.endswith(" for " + hardware_id) and "Tarvik analog-input card" in model,
                  f"model for {hardware_id}", model)
    results.check(line("install (NT)") == "Tarvik.Install.NT", "NT install section",
                  line("install (NT)"))
    results.check(lines_of("copy (NT)") == ["tarvik.sys"], "NT copies tarvik.sys",
                  str(lines_of("copy (NT)")))
    target = (line("target folder") or "").lower()
    results.check(target.endswith("\\system32\\drivers"), "copied to the drivers folder", target)
    results.check(line("source") == "disk 1, Tarvik driver disk", "tarvik.sys on the driver disk",
                  line("source"))
    results.check(line("service (NT)") == "Tarvik flags 0x00000002 -> Tarvik.Service",
                  "NT service added as the function driver", line("service (NT)"))
    for key, value in (("ServiceType", "1"), ("StartType", "3"), ("ErrorControl", "1")):
        results.check(line(f"service {key}") == value, f"service {key} {value}",
                      line(f"service {key}"))
    binary = (line("service ServiceBinary") or "").lower()
    results.check(binary.endswith("\\system32\\drivers\\tarvik.sys"), "service binary resolves",
                  binary)
    results.check(lines_of("copy (98)") == ["tarvik.sys"], "98/Me copies tarvik.sys",
                  str(lines_of("copy (98)")))
    registry = " | ".join(lines_of("registry (98)"))
    results.check("DevLoader" in registry and "*ntkern" in registry and "NTMPDriver" in registry
                  and "tarvik.sys" in registry, "98/Me registry entries for NTKERN", registry)
    return results.finish()


def main(argv):
    if len(argv) == 5 and argv[1] == "setupapi":
        if shutil.which("wine") is None:
            print("SKIPPED: wine is not installed; the INF was not parsed by setupapi")
            return 77
        return check_setupapi(argv[2], argv[3], argv[4])
    if len(argv) == 4 and argv[1] == "ids":
        return check_ids(argv[2], argv[3])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
