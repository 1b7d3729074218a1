#!/usr/bin/env python3
"""Instructions of the driver's own code per interrupt, from a callgrind profile.

Run the benchmark's interrupt path under callgrind collecting only inside the driver's
ISR (--toggle-collect=InterruptService*); this script then sums the self cost of every
function compiled from the driver's sources (SYS/) and divides it by the number of calls of
InterruptService. What the emulated kernel, HAL and card cost is left out: those stand in
for the platform and the hardware.

usage: isr_instructions.py CALLGRIND_OUT [--limit N]   (exit 1 when over the limit)
"""
import argparse
import re
import sys


def parse(path):
    names = {"fl": {}, "fn": {}}
    self_cost = {}  # (file, function) -> instructions
    isr_calls = 0
    current_file = current_fn = None
    called_fn = None
    skip_next_cost = False
    compressed = re.compile(r"^\((\d+)\)(?: (.*))?$")

    def resolve(kind, text):
        m = compressed.match(text)
        if not m:
            return text
        key, name = m.groups()
        if name is not None:
            names[kind][key] = name
        return names[kind].get(key, "?")

    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            key, _, value = line.partition("=")
            if key in ("fl", "fi", "fe"):
                current_file = resolve("fl", value)
            elif key == "fn":
                current_fn = resolve("fn", value)
            elif key in ("cfl", "cfi"):
                resolve("fl", value)
            elif key == "cfn":
                called_fn = resolve("fn", value)
            elif key == "calls":
                if called_fn and called_fn.startswith("InterruptService("):
                    isr_calls += int(value.split()[0])
                skip_next_cost = True
            elif line[0] in "0123456789+-*":
                if skip_next_cost:
                    skip_next_cost = False  # the call's inclusive cost, not the caller's own
                    continue
                fields = line.split()
                if len(fields) >= 2:
                    cost_key = (current_file, current_fn)
                    self_cost[cost_key] = self_cost.get(cost_key, 0) + int(fields[1])
    return self_cost, isr_calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("profile")
    parser.add_argument("--limit", type=float)
    args = parser.parse_args()
    self_cost, calls = parse(args.profile)
    if calls == 0:
        sys.exit("no call of InterruptService in the profile")
    driver = {k: v for k, v in self_cost.items() if k[0] and "/SYS/" in k[0]}
    total = sum(driver.values())
    by_function = {}
    for (_, fn), cost in driver.items():
        by_function[fn] = by_function.get(fn, 0) + cost
    for fn, cost in sorted(by_function.items(), key=lambda kv: -kv[1])[:8]:
        print(f"  {cost / calls:8.1f}  {fn}")
    per_interrupt = total / calls
    print(f"driver ISR: {per_interrupt:.0f} instructions per interrupt ({calls} interrupts)")
    if args.limit is not None and per_interrupt > args.limit:
        sys.exit(1)


if __name__ == "__main__":
    main()
