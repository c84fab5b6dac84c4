#!/usr/bin/env python3
"""Counts the skipped test cases in ctest logs (Testing/Temporary/LastTest.log)
and prints the count and each distinct reason, most frequent first.

Understands Python's unittest in verbose mode ("... skipped 'reason'") and
GoogleTest ("[  SKIPPED ] Suite.Test (N ms)", its reason on the lines after
"file:line: Skipped"). A case skipped for want of a 32-bit machine is told
with the reason the end-to-end harness gives once per module."""

import collections
import re
import sys

UNITTEST_SKIP = re.compile(r" \.\.\. skipped (['\"])(.*)\1$")
GTEST_REASON_START = re.compile(r": Skipped$")
GTEST_SKIPPED = re.compile(r"^\[  SKIPPED \] \S+ \(\d+ ms\)$")
MACHINE_REASON = re.compile(r"^e2e: \d+ cases of the (\w+) machine skipped: (.*)$")


def skips_in(lines):
    machine_reasons = {}
    reasons = []
    gtest_reason = None
    for line in lines:
        line = line.rstrip("\r\n")
        machine = MACHINE_REASON.match(line)
        if machine:
            machine_reasons[f"needs a {machine.group(1)} machine"] = machine.group(2)
        unittest_skip = UNITTEST_SKIP.search(line)
        if unittest_skip:
            reasons.append(re.sub(r"(\\n|\s)+$", "", unittest_skip.group(2)))
        elif GTEST_REASON_START.search(line):
            gtest_reason = []
        elif GTEST_SKIPPED.match(line):
            reasons.append(" ".join(gtest_reason or []) or "no reason given")
            gtest_reason = None
        elif gtest_reason is not None:
            gtest_reason.append(line.strip())
    return [f"{reason}: {machine_reasons[reason]}" if reason in machine_reasons else reason for reason in reasons]


def main(paths):
    counts = collections.Counter()
    for path in paths:
        try:
            with open(path, encoding="utf-8", errors="replace") as log:
                counts.update(skips_in(log))
        except FileNotFoundError:
            continue
    total = sum(counts.values())
    print(f"== {total} test cases skipped" + (", by reason:" if total else ""))
    for reason, count in counts.most_common():
        print(f"   {count:4d}  {reason}")


if __name__ == "__main__":
    main(sys.argv[1:])
