#!/usr/bin/env python3
"""Checks the layout of the kernel image tarvik.sys.

The image must be a 32-bit native PE image whose entry point is DriverEntry and which
imports only from the kernel and the HAL. Every driver routine must sit in the section
the placement list gives it: INIT code is discarded once DriverEntry returns, PAGE code
may be paged out and so must never run at DISPATCH_LEVEL or above, and .text code stays
resident. A routine that lands in the wrong section is a crash waiting for the right
moment, which is why this is checked on the linked image rather than trusted to the
source annotations.

PAGE and INIT code must never raise the IRQL: a call from either to a spin-lock acquire or
an IRQL raise fails, naming the routine that makes it. KeSynchronizeExecution is the
exception for the caller: it may be called from PAGE code at PASSIVE_LEVEL, because only its
callback runs raised; so the callback (a function address passed to it) must be resident.
Routines that take a spin lock themselves must not be marked "inlinable": inlined into a
PAGE caller, their lock-holding code would become pageable.

Placement list format, one routine per line:
    <RoutineName> <INIT|PAGE|.text> [inlinable]
'#' starts a comment. "inlinable" marks a file-local helper the compiler may inline
away; it is not required to be present, but if present it must be in its section.

With --version, the headers are checked as the platform's linker writes them for a WDM
driver (pe_headers.py): no DLL flag or export table, the WDM driver flag, INIT discardable,
a valid checksum, and a version resource with that version.

Usage: check_image.py IMAGE SECTIONS_LIST [--sources sources.cmake] [--version X.Y.Z]
                      [--objdump PROG] [--cxxfilt PROG]
Exit status 0 when every check passes, 1 when one fails, 2 on a usage or tool error.
"""

import argparse
import bisect
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pe_headers  # noqa: E402

TOOL_PREFIX = "i686-w64-mingw32-"
VALID_SECTIONS = ("INIT", "PAGE", ".text")
KERNEL_DLL = "ntoskrnl.exe"
# A driver may import from the kernel and the HAL only; the kernel is always needed
# (there is no driver without IoCreateDevice and friends), the HAL only when the driver
# calls one of its routines, so its absence is not an error.
ALLOWED_DLLS = {"ntoskrnl.exe", "hal.dll"}


class ToolError(Exception):
    pass


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what, reason="", quiet=False):
        if ok:
            self.passed += 1
            if not quiet:
                print(f"PASS  {what}")
        else:
            self.failed += 1
            print(f"FAIL  {what}: {reason}")
        return ok


def run_tool(argv):
    try:
        out = subprocess.run(argv, check=True, capture_output=True, text=True)
    except FileNotFoundError:
        raise ToolError(f"{argv[0]} not found (install binutils-mingw-w64-i686)")
    except subprocess.CalledProcessError as e:
        raise ToolError(f"{' '.join(argv)} failed: {e.stderr.strip()}")
    return out.stdout


# ---------------------------------------------------------------- placement list


def parse_sections_list(path):
    """Returns {routine: (section, inlinable)}; raises ValueError on a malformed line."""
    entries = {}
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split()
            where = f"{path}:{lineno}"
            if len(fields) not in (2, 3) or (len(fields) == 3 and fields[2] != "inlinable"):
                raise ValueError(f"{where}: expected '<Routine> <section> [inlinable]': {raw.strip()}")
            name, section = fields[0], fields[1]
            if section not in VALID_SECTIONS:
                raise ValueError(f"{where}: section must be one of {', '.join(VALID_SECTIONS)}, got {section}")
            if name in entries:
                raise ValueError(f"{where}: {name} listed twice")
            entries[name] = (section, len(fields) == 3)
    return entries


def source_paths_of(path):
    """Paths of the driver sources named in sources.cmake (relative to its folder)."""
    with open(path, encoding="utf-8") as f:
        text = re.sub(r"#[^\n]*", "", f.read())
    folder = os.path.dirname(os.path.abspath(path))
    return [os.path.join(folder, t) for t in re.findall(r"[\w./-]+\.(?:cpp|cc|cxx|c)\b", text)]


def parse_sources_cmake(path):
    """Basenames of the driver sources named in sources.cmake."""
    return {os.path.basename(p) for p in source_paths_of(path)}


# ---------------------------------------------------------------- objdump parsing


def parse_private_headers(text):
    """Fields of `objdump -p`: header values, and imports as {dll: [function, ...]}."""
    info = {"format": None, "magic": None, "subsystem": None, "entry": None,
            "image_base": None, "imports": {}, "slots": {}}
    m = re.search(r"file format (\S+)", text)
    info["format"] = m.group(1) if m else None
    for key, field in (("magic", "Magic"), ("subsystem", "Subsystem"),
                       ("entry", "AddressOfEntryPoint"), ("image_base", "ImageBase")):
        m = re.search(rf"^{field}\s+([0-9a-fA-F]+)", text, re.M)
        info[key] = int(m.group(1), 16) if m else None

    dll = None
    in_imports = False
    first_thunk = None  # RVA of the import address table of the DLL that follows
    slot = None
    for line in text.splitlines():
        if line.startswith("The Import Tables"):
            in_imports = True
            continue
        if in_imports and line.startswith("The ") and "Import" not in line:
            break
        if not in_imports:
            continue
        # The directory row ahead of each DLL: its last column is the first thunk, where the
        # DLL's import address table begins (one 4-byte slot per imported name, in order).
        m = re.fullmatch(r"\s*(?:[0-9a-fA-F]{8}\s+){5}([0-9a-fA-F]{8})\s*", line)
        if m:
            first_thunk = int(m.group(1), 16)
            continue
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            dll = m.group(1)
            info["imports"].setdefault(dll, [])
            slot = first_thunk
            continue
        # "\t70dc\t  464  IoCreateDevice": address of the hint/name entry, hint, name.
        # The table rows between DLLs have six columns and do not match.
        m = re.fullmatch(r"\s*[0-9a-fA-F]+\s+\d+\s+(\S+)\s*", line)
        if m and dll is not None:
            info["imports"][dll].append(m.group(1))
            if slot is not None:
                info["slots"][slot] = m.group(1)
                slot += 4
    return info


def parse_section_headers(text):
    """`objdump -h`: {1-based index: (name, vma)}; COFF symbols use 1-based numbers."""
    sections = {}
    for m in re.finditer(r"^\s*(\d+)\s+(\S+)\s+[0-9a-fA-F]+\s+([0-9a-fA-F]+)\s", text, re.M):
        sections[int(m.group(1)) + 1] = (m.group(2), int(m.group(3), 16))
    return sections


SYMBOL_RE = re.compile(
    r"^\[\s*\d+\]\(sec\s+(-?\d+)\)\(fl\s+\S+\)\(ty\s+([0-9a-fA-F]+)\)\(scl\s+(\d+)\)"
    r"\s*\(nx\s+\d+\)\s+0x([0-9a-fA-F]+)\s+(\S+)")
SCL_FILE = 103
TYPE_FUNCTION = 0x20


def parse_function_symbols(text):
    """Function symbols of `objdump -t` as (symbol, section number, offset, file record).

    The linker writes each input object's symbols after that object's .file record; the
    file record tells driver code from import thunks ("fake") and the compiler runtime.
    """
    functions = []
    current_file = None
    for line in text.splitlines():
        m = SYMBOL_RE.match(line)
        if not m:
            continue
        sec, typ, scl, value, name = int(m.group(1)), int(m.group(2), 16), int(m.group(3)), \
            int(m.group(4), 16), m.group(5)
        if scl == SCL_FILE:
            # objdump prints the source name (from the aux record) in the name column.
            current_file = name
            continue
        if typ == TYPE_FUNCTION and sec > 0:
            functions.append((name, sec, value, current_file))
    return functions


# ---------------------------------------------------------------- names


def undecorate(symbol):
    """Drops the 32-bit decorations: leading '_' (cdecl/stdcall), '@' (fastcall), '@N'."""
    name = re.sub(r"@\d+$", "", symbol)
    if name.startswith("@"):
        return name[1:]
    if name.startswith("_"):
        return name[1:]
    return name


def strip_balanced_suffix(text, open_ch, close_ch):
    """Removes a trailing balanced group like '(...)' or '<...>'."""
    if not text.endswith(close_ch):
        return text
    depth = 0
    for i in range(len(text) - 1, -1, -1):
        if text[i] == close_ch:
            depth += 1
        elif text[i] == open_ch:
            depth -= 1
            if depth == 0:
                return text[:i]
    return text


def routine_name(demangled):
    """Unqualified function name of a demangled symbol: 'void A::f<int>(int) const' -> 'f'."""
    name = demangled.strip()
    # Copies the optimiser makes (constprop, isra, part, cold) belong to their routine.
    name = re.sub(r"(\s*\[clone [^\]]*\])+$", "", name)
    name = re.sub(r"(\s+(const|volatile|&&|&|noexcept))+$", "", name)
    name = strip_balanced_suffix(name, "(", ")")
    name = strip_balanced_suffix(name, "<", ">").strip()
    # Drop the qualifying scopes, skipping '::' inside template arguments or
    # "(anonymous namespace)".
    depth = 0
    start = 0
    i = 0
    while i < len(name):
        c = name[i]
        if c in "<(":
            depth += 1
        elif c in ">)":
            depth -= 1
        elif depth == 0 and name.startswith("::", i):
            start = i + 2
            i += 1
        i += 1
    name = name[start:]
    # Function template specialisations carry their return type in front.
    return name.split()[-1] if name.split() else name


def demangle_all(names, cxxfilt):
    if not names:
        return []
    # -n: the leading underscore is already gone (undecorate), do not strip another.
    try:
        out = subprocess.run([cxxfilt, "-n"], input="\n".join(names) + "\n",
                             check=True, capture_output=True, text=True).stdout
    except FileNotFoundError:
        raise ToolError(f"{cxxfilt} not found (install binutils-mingw-w64-i686)")
    lines = out.splitlines()
    if len(lines) != len(names):
        raise ToolError(f"{cxxfilt} returned {len(lines)} names for {len(names)}")
    return lines


# ---------------------------------------------------------------- calls that raise the IRQL

# Imports that raise the IRQL (spin-lock acquires, the cancel lock, explicit raises).
RAISING_IMPORTS = {"KfAcquireSpinLock", "KeAcquireSpinLockRaiseToDpc",
                   "KefAcquireSpinLockAtDpcLevel", "KfRaiseIrql", "KeRaiseIrqlToDpcLevel",
                   "IoAcquireCancelSpinLock", "KeAcquireInStackQueuedSpinLock",
                   "KeAcquireInStackQueuedSpinLockAtDpcLevel"}
# Runs its callback at the interrupt's IRQL; the caller itself may be pageable.
SYNCHRONIZE_IMPORT = "KeSynchronizeExecution"
# The same routines as the driver's source writes them (macros included), for the source scan.
RAISING_SOURCE_CALLS = re.compile(
    r"\b(KeAcquireSpinLock|KeAcquireSpinLockAtDpcLevel|KeAcquireSpinLockRaiseToDpc|"
    r"KfAcquireSpinLock|KefAcquireSpinLockAtDpcLevel|IoAcquireCancelSpinLock|KeRaiseIrql|"
    r"KfRaiseIrql|KeRaiseIrqlToDpcLevel|KeAcquireInStackQueuedSpinLock\w*)\s*\(")

LABEL_RE = re.compile(r"^([0-9a-fA-F]+) <(.+)>:$")
INSN_RE = re.compile(r"^\s*([0-9a-fA-F]+):\t(?:[0-9a-fA-F]{2} )+\s*\t(.*)$")
SECTION_RE = re.compile(r"^Disassembly of section (\S+):$")


def parse_disassembly(text):
    """`objdump -d`: [(section, symbol, start, [(address, instruction text)])] per function."""
    functions = []
    section = None
    current = None
    for line in text.splitlines():
        m = SECTION_RE.match(line)
        if m:
            section = m.group(1)
            current = None
            continue
        m = LABEL_RE.match(line)
        if m:
            current = (section, m.group(2), int(m.group(1), 16), [])
            functions.append(current)
            continue
        m = INSN_RE.match(line)
        if m and current is not None:
            current[3].append((int(m.group(1), 16), m.group(2).strip()))
    return functions


def find_calls(functions, slots):
    """[(section, address, import name, [immediates since the previous call])] for every
    call to an imported routine, directly through its slot ("call *0xSLOT") or through an
    import thunk ("jmp *0xSLOT"). slots maps absolute slot addresses to import names."""
    thunks = {}
    for _section, _symbol, start, insns in functions:
        if insns:
            m = re.fullmatch(r"jmp\s+\*0x([0-9a-fA-F]+)", insns[0][1])
            if m and int(m.group(1), 16) in slots:
                thunks[start] = slots[int(m.group(1), 16)]
    calls = []
    for section, _symbol, _start, insns in functions:
        immediates = []
        for address, insn in insns:
            if not insn.startswith("call"):
                immediates += [int(v, 16) for v in re.findall(r"\$0x([0-9a-fA-F]+)", insn)]
                continue
            target = None
            m = re.match(r"call\s+\*0x([0-9a-fA-F]+)\s*$", insn)
            if m:
                target = slots.get(int(m.group(1), 16))
            m = re.match(r"call\s+([0-9a-fA-F]+)\b", insn)
            if m:
                target = thunks.get(int(m.group(1), 16))
            if target is not None:
                calls.append((section, address, target, immediates))
            immediates = []
    return calls


_ROUTINE_NAMES = {}


def routine_of_symbol(symbol, cxxfilt):
    """The routine name of one linker symbol, demangled once."""
    if symbol not in _ROUTINE_NAMES:
        _ROUTINE_NAMES[symbol] = routine_name(demangle_all([undecorate(symbol)], cxxfilt)[0])
    return _ROUTINE_NAMES[symbol]


class RoutineAt:
    """Names the routine containing an address, from the image's function symbols."""

    def __init__(self, symbols, cxxfilt):
        self.starts = sorted(symbols)  # [(address, symbol)]
        self.by_start = dict(symbols)
        self.cxxfilt = cxxfilt

    def __call__(self, address):
        i = bisect.bisect_right(self.starts, (address, "\uffff")) - 1
        return routine_of_symbol(self.starts[i][1], self.cxxfilt) if i >= 0 else hex(address)

    def starts_routine(self, address):
        return address in self.by_start


def raising_calls_from_pageable(calls, section_of, routine_at):
    """Failure reasons for raising calls from PAGE or INIT code, and for synchronize
    callbacks that are not resident. section_of(address) names the section of an address."""
    reasons = []
    for section, address, target, immediates in calls:
        if section in ("PAGE", "INIT") and target in RAISING_IMPORTS:
            reasons.append(f"{routine_at(address)} ({section}) calls {target}, which raises the "
                           f"IRQL: pageable and init code must never raise it")
        if target == SYNCHRONIZE_IMPORT:
            for value in immediates:
                callee_section = section_of(value)
                if routine_at.starts_routine(value) and callee_section in ("PAGE", "INIT"):
                    reasons.append(f"{routine_at(address)} passes {routine_at(value)} "
                                   f"({callee_section}) to {target}, which runs it at device IRQL")
    return sorted(set(reasons))


def routine_bodies(path):
    """{routine name: body text} of the function definitions in one source file."""
    with open(path, encoding="utf-8") as f:
        text = re.sub(r"//[^\n]*|/\*.*?\*/", "", f.read(), flags=re.S)
    bodies = {}
    for m in re.finditer(r"\b(\w+)\s*\([^;{}()]*(?:\([^;{}()]*\)[^;{}()]*)*\)\s*"
                         r"(?:const\s*)?\{", text):
        depth, i = 0, m.end() - 1
        while i < len(text):
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            if depth == 0:
                break
            i += 1
        bodies.setdefault(m.group(1), text[m.end():i])
    return bodies


def spin_lock_holders(source_paths):
    """Routines whose own source body takes a spin lock or raises the IRQL."""
    holders = set()
    for path in source_paths:
        if not os.path.exists(path):
            continue  # the build fails on a missing source; nothing to scan here
        for name, body in routine_bodies(path).items():
            if RAISING_SOURCE_CALLS.search(body):
                holders.add(name)
    return holders


# ---------------------------------------------------------------- checks


def is_driver_file(file_record, driver_sources):
    if file_record is None or file_record == "fake":
        return False
    if driver_sources is None:
        return True
    file_record = os.path.basename(file_record)
    # The assembler may shorten the recorded name (14 characters with one aux record).
    return any(src == file_record or src.startswith(file_record) for src in driver_sources)


def collect_routines(functions, sections, imported, driver_sources, cxxfilt):
    """[(routine, section name, address, symbol)] for the functions of driver objects."""
    picked = []
    for symbol, sec, value, file_record in functions:
        plain = undecorate(symbol)
        if not is_driver_file(file_record, driver_sources):
            continue
        if plain in imported:
            continue  # import thunk: "jmp *__imp_X"
        if plain.startswith("__") and not plain.startswith("_Z"):
            continue  # compiler runtime helper (libgcc), reserved name
        picked.append((symbol, plain, sec, value))
    demangled = demangle_all([p[1] for p in picked], cxxfilt)
    routines = []
    for (symbol, _plain, sec, value), dem in zip(picked, demangled):
        sec_name, vma = sections.get(sec, (f"#{sec}", 0))
        routines.append((routine_name(dem), sec_name, vma + value, symbol))
    return routines


def check_image(image, sections_list, driver_sources, objdump, cxxfilt, source_paths=(),
                version=None):
    results = Results()
    expected = parse_sections_list(sections_list)

    headers = parse_private_headers(run_tool([objdump, "-p", image]))
    section_headers = parse_section_headers(run_tool([objdump, "-h", image]))
    functions = parse_function_symbols(run_tool([objdump, "-t", image]))

    print(f"== {image}")
    results.check(headers["format"] == "pei-i386" and headers["magic"] == 0x010B,
                  "format PE32 (pei-i386, magic 010b)",
                  f"format {headers['format']}, magic {headers['magic'] and hex(headers['magic'])}")
    results.check(headers["subsystem"] == 1, "subsystem 1 (native)",
                  f"subsystem is {headers['subsystem']}")

    imports = headers["imports"]
    print("-- imports")
    for dll, names in imports.items():
        print(f"   {dll}: {', '.join(names) if names else '(none)'}")
    dlls = {d.lower() for d in imports}
    stray = sorted(d for d in imports if d.lower() not in ALLOWED_DLLS)
    if stray:
        reason = f"imports from {', '.join(stray)}; only ntoskrnl.exe and HAL.dll are allowed"
    else:
        reason = "nothing imported from ntoskrnl.exe"
    results.check(not stray and KERNEL_DLL in dlls,
                  "imports only from ntoskrnl.exe and HAL.dll", reason)

    imported = {n for names in imports.values() for n in names}
    routines = collect_routines(functions, section_headers, imported, driver_sources, cxxfilt)

    image_base = headers["image_base"] or 0
    entry_va = image_base + (headers["entry"] or 0)
    at_entry = [r for r in routines if r[2] == entry_va]
    entry_name = at_entry[0][0] if at_entry else None
    results.check(entry_name == "DriverEntry", "entry point is DriverEntry",
                  f"entry point {hex(headers['entry'] or 0)} is "
                  f"{entry_name or 'not a driver routine'}")

    print("-- routine placement")
    print(f"   {'routine':<36} {'expected':<9} {'image':<9} result")
    seen = {}
    for name, sec_name, _va, _symbol in routines:
        seen.setdefault(name, []).append(sec_name)

    verdicts = []
    for name in sorted(set(expected) | set(seen)):
        want = expected.get(name)
        got = seen.get(name, [])
        want_sec = want[0] if want else "-"
        got_text = ",".join(sorted(set(got))) if got else "-"
        if want is None:
            ok, reason = False, f"{name} is in the image ({got_text}) but not in the placement list"
        elif not got:
            ok = want[1]
            reason = f"{name} is listed for {want_sec} but missing from the image"
            if ok:
                got_text = "(inlined)"
        else:
            wrong = sorted(set(s for s in got if s != want_sec))
            ok = not wrong
            reason = f"{name} landed in {', '.join(wrong)}, listed for {want_sec}"
        print(f"   {name:<36} {want_sec:<9} {got_text:<9} {'ok' if ok else 'FAIL'}")
        verdicts.append((ok, name, reason))
    # The table shows every routine; list the failures again below it with their reason.
    for ok, name, reason in verdicts:
        results.check(ok, f"placement of {name}", reason, quiet=True)

    print("-- IRQL raises from PAGE and INIT code")
    image_base = headers["image_base"] or 0
    slots = {image_base + rva: name for rva, name in headers["slots"].items()}
    disassembly = parse_disassembly(run_tool([objdump, "-d", image]))
    calls = find_calls(disassembly, slots)
    symbols = [(section_headers[sec][1] + value, symbol)
               for symbol, sec, value, _file in functions if sec in section_headers]
    routine_at = RoutineAt(symbols, cxxfilt)
    ranges = [(start, insns[-1][0] + 1, section)
              for section, _sym, start, insns in disassembly if insns]

    def section_of(address):
        return next((sec for lo, hi, sec in ranges if lo <= address < hi), None)

    raising = raising_calls_from_pageable(calls, section_of, routine_at)
    for reason in raising:
        results.check(False, "no IRQL raise from PAGE or INIT code", reason)
    if not raising:
        results.check(True, "no IRQL raise from PAGE or INIT code")

    # Lock holders seen in the image (calling a raising routine) or in the sources.
    holders = spin_lock_holders(source_paths)
    for _section, address, target, _imm in calls:
        if target in RAISING_IMPORTS:
            holders.add(routine_at(address))
    exempt = sorted(n for n, (_sec, inlinable) in expected.items() if inlinable and n in holders)
    for name in exempt:
        results.check(False, "no spin-lock holder marked inlinable",
                      f"{name} takes a spin lock: it must stay a resident routine of its own "
                      f"(TARVIK_RESIDENT_CODE), not inlinable")
    if not exempt:
        results.check(True, "no spin-lock holder marked inlinable")

    if version is not None:
        print("-- headers of a WDM driver")
        for ok, what, reason in pe_headers.header_checks(image, version):
            results.check(ok, what, reason)

    print(f"{results.passed} passed, {results.failed} failed")
    return results.failed == 0


def main(argv=None):
    parser = argparse.ArgumentParser(description="Check the layout of the kernel image.")
    parser.add_argument("image")
    parser.add_argument("sections_list")
    parser.add_argument("--sources", help="sources.cmake naming the driver sources; "
                        "without it every object with a .file record counts as driver code")
    parser.add_argument("--version", help="the project's version: check the WDM driver's headers")
    parser.add_argument("--objdump", default=TOOL_PREFIX + "objdump")
    parser.add_argument("--cxxfilt", default=TOOL_PREFIX + "c++filt")
    args = parser.parse_args(argv)
    try:
        sources = parse_sources_cmake(args.sources) if args.sources else None
        paths = source_paths_of(args.sources) if args.sources else ()
        ok = check_image(args.image, args.sections_list, sources, args.objdump, args.cxxfilt,
                         paths, args.version)
    except (ToolError, ValueError, OSError) as e:
        print(f"error: {e}", file=sys.stderr)
        return 2
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
