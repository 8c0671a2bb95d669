"""The tests' assertion kit: checks that report each failure and go on, runs
of the programs under test, and the ending that ctest reads (exit 77 for a
skip)."""

import hashlib
import os
import subprocess
import sys
import unittest
from dataclasses import dataclass
from pathlib import Path


@dataclass
class Result:
    status: int
    stdout: str
    stderr: str


def run(*command, **options):
    """Runs COMMAND to its end; its exit code and output, as text."""
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True, errors="replace",
                          **options)
    return Result(done.returncode, done.stdout, done.stderr)


def one_line_naming(text, *named):
    """True when TEXT is one line that holds each of NAMED."""
    return text.count("\n") == 1 and text.endswith("\n") and all(part in text for part in named)


def trees_differ(expected, actual, *options):
    """What `diff -r` says of two folders, or "" when they hold the same."""
    result = run("diff", "-r", *options, expected, actual)
    return result.stdout + result.stderr if result.status else ""


def tree_listing(folder):
    """Every path under FOLDER with what it is: a link and where it leads, a
    folder, or a file with its size and digest; links are not followed."""
    lines = []
    for path in sorted(Path(folder).rglob("*")):
        name = path.relative_to(folder)
        if path.is_symlink():
            lines.append(f"{name} -> {os.readlink(path)}")
        elif path.is_dir():
            lines.append(f"{name}/")
        else:
            lines.append(f"{name} {path.stat().st_size} {hashlib.sha256(path.read_bytes()).hexdigest()[:16]}")
    return "\n".join(lines) + "\n"


class Case(unittest.TestCase):
    """A test whose checks report each failure as it comes and let the test
    go on; the test fails at its end with every failure it met."""

    failures_seen = 0

    def check(self, ok, what):
        if not ok:
            self.failures_seen += 1
            print(f"FAIL {what}", flush=True)
            with self.subTest(what):
                self.fail(what)
        return ok

    def refused(self, result, status, *named, what=None):
        """Checks that a run exited with STATUS and said why in one line that
        names each of NAMED."""
        what = what or " ".join(named)
        self.check(result.status == status, f"{what}: exit {result.status}, expected {status}")
        self.check(one_line_naming(result.stderr, *named),
                   f"{what}: not one line naming {named}: {result.stderr[:300]!r}")


class OwnLines(unittest.TextTestResult):
    """Ends the line that names a test, so that what it prints starts on
    lines of its own."""

    def startTest(self, test):
        super().startTest(test)
        self.stream.writeln()


def main(tests):
    """Runs TESTS, a Case class or one Case; returns the exit code for ctest:
    0 when they passed, 77 when all were skipped, 1 otherwise."""
    if isinstance(tests, type):
        tests = unittest.defaultTestLoader.loadTestsFromTestCase(tests)
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2, resultclass=OwnLines).run(tests)
    if not result.wasSuccessful():
        return 1
    return 77 if result.testsRun and len(result.skipped) == result.testsRun else 0
