#!/usr/bin/env python3
"""Tests of scripts/wine_env.py: the retry of Wine starts, with a fake loader
that fails as a busy host makes a start fail, before the program runs or
after; and which process of a Wine log reported what."""

import os
import sys
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import checks
import wine_env

# Started as: fake LOADER PROGRAM STARTS HOW, where HOW says what the first
# starts do: host (fail as the host makes them), ran (print and then fail
# so), failed (fail with nothing said); later starts print and succeed.
# STARTS counts the starts.
FAKE_LOADER = """
import os, sys
_, _, _, starts, *how = sys.argv
count = int(open(starts).read()) if os.path.exists(starts) else 0
open(starts, "w").write(str(count + 1))
what = how[count] if count < len(how) else "works"
if what == "failed":
    sys.exit(3)
if what != "host":
    print("the program ran", flush=True)
if what in ("host", "ran"):
    print("wine: failed to map the shared user data: c0000018", file=sys.stderr)
    sys.exit(1)
print("a note", file=sys.stderr)
"""


class HostFailures(checks.Case):
    def setUp(self):
        self.work = Path(self.enterContext(tempfile.TemporaryDirectory()))
        (self.work / "fake.py").write_text(FAKE_LOADER)
        self.enterContext(mock.patch.dict(os.environ, WINE_LAUNCHER=f"{sys.executable} {self.work / 'fake.py'}"))
        wine_env.loader.cache_clear()
        # Enough of a 64-bit Windows program for the loader to be chosen.
        self.program = self.work / "program.exe"
        self.program.write_bytes(b"MZ" + bytes(58) + (64).to_bytes(4, "little") + b"PE\0\0" + b"\x64\x86")

    def start(self, *how):
        """Runs the program with the first starts doing HOW; its exit code,
        the lines it printed and the number of starts."""
        lines = []
        status = wine_env.run_wine([self.program, self.work / "starts", *how], dict(os.environ), self.work / "log",
                                   lines.append)
        return status, lines, int((self.work / "starts").read_text())

    def test_a_start_the_host_failed_is_made_once_more(self):
        status, lines, starts = self.start("host")
        self.check((status, lines, starts) == (0, [b"the program ran\n"], 2), f"{status} {lines} after {starts}")
        self.check((self.work / "log").read_text() == "a note\n", "the retried start's stderr is in the log")
        self.check("c0000018" in (self.work / "log.retried").read_text(), "the retried start's stderr is kept apart")

    def test_it_is_made_once_only(self):
        status, lines, starts = self.start("host", "host")
        self.check((status, lines, starts) == (1, [], 2), f"{status} {lines} after {starts}")

    def test_a_program_that_ran_is_not_started_again(self):
        status, lines, starts = self.start("ran")
        self.check((status, starts) == (1, 1), f"{status} after {starts}")
        self.check(lines == [b"the program ran\n"], f"printed {lines}")

    def test_a_failure_of_the_program_is_not_the_hosts(self):
        status, _, starts = self.start("failed")
        self.check((status, starts) == (3, 1), f"{status} after {starts}")


# A log of two Wine servers, as WINEDEBUG=+pid,+process writes it. Each line
# after how it must come back: "-" not at all, "ours" or "wine's", with the
# name of its process when the log tells it. Under the second server the
# driver has the id that a driver of Wine's had under the first.
LOG = r"""
- 0020:0024:trace:process:NtCreateUserProcess L"\\??\\C:\\windows\\system32\\winedevice.exe" pid 0044 tid 0048 h
wine's:winedevice.exe 0044:0048:err:ntoskrnl:ZwLoadDriver failed to create driver L"\\Services\\winebth": c00000e5
wine's:winedevice.exe 0044:0048:err:seh:dispatch_exception Unhandled exception code c0000005
- 0020:0024:trace:process:NtCreateUserProcess L"\\??\\Z:\\work\\setup.exe" pid 0050 tid 0054 handles 0x1/0x2
ours:setup.exe 0050:0054:err:ole:CoCreateInstance no class
- 0050:0054:trace:process:GetEnvironmentVariableW (L"err:") fixme:page
ours 0020:0024:err:module:import_dll Library zlib1.dll not found
ours wine: Unhandled page fault on read access to 00000000
ours qemu: uncaught target signal 11 (Segmentation fault) - core dumped
- driver: process 0044
ours 0044:0048:err:ole:CoInitializeEx bad apartment
"""


class Reports(checks.Case):
    def test_each_report_goes_to_the_process_that_logged_it(self):
        rows = [line.split(" ", 1) for line in LOG.strip().splitlines()]
        expected = {"ours": [], "wine's": []}
        for how, line in rows:
            verdict, _, name = how.partition(":")
            if verdict != "-":
                expected[verdict].append(f"{name}: {line}" if name else line)
        ours, wines = wine_env.wine_reports("\n".join(line for _, line in rows))
        self.check(ours == expected["ours"], f"ours: {ours}")
        self.check(wines == expected["wine's"], f"Wine's: {wines}")


if __name__ == "__main__":
    load = unittest.defaultTestLoader.loadTestsFromTestCase
    sys.exit(checks.main(unittest.TestSuite([load(HostFailures), load(Reports)])))
