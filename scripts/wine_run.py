#!/usr/bin/env python3
"""Runs a Windows program under Wine for ctest: in a fresh copy of a template
prefix, on a private Xvfb, with Wine's menu builder off; returns the
program's exit code. A 32-bit program runs natively where the kernel can
start 32-bit programs, under emulation where it cannot (see
wine_emulation.py), and is skipped with exit 77 (ctest's skip) where neither
works. A crash report from Wine or qemu fails the run whatever the exit code.

  wine-run.sh PROGRAM.exe [ARGS...]

WINE_TEMPLATE names the template prefix (default build/wine-template);
WINE_EMULATION_TOOLS the emulation's tools (default build/win32/emulation);
WINE_RUN_KEEP=1 keeps the run's prefix for a look afterwards;
WINE32_EMULATION=1 runs a 32-bit program under emulation even here."""

import os
import shutil
import sys
import tempfile
from pathlib import Path

from wine_emulation import enter_emulation, template_for_mode, wine32_mode
from wine_env import (CRASH_REPORTS, ROOT, WineError, is_32bit_program, make_template, new_prefix, private_display,
                      run_wine, wine_environment, wineserver)


def echo(line):
    sys.stdout.buffer.write(line)
    sys.stdout.flush()


def main(arguments):
    if not arguments:
        sys.exit("usage: wine-run.sh PROGRAM.exe [ARGS...]")
    name = Path(arguments[0]).name
    if is_32bit_program(arguments[0]):
        mode = wine32_mode()
        if mode == "none":
            print(f"wine-run: skipped, this host cannot run 32-bit Windows programs: {name}")
            return 77
        if mode == "emulated":
            enter_emulation(os.environ.get("WINE_EMULATION_TOOLS") or ROOT / "build" / "win32" / "emulation")
    template = template_for_mode(os.environ.get("WINE_TEMPLATE") or ROOT / "build" / "wine-template")
    make_template(template)
    runs = template.parent / "wine-runs"
    runs.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="run.", dir=runs))
    try:
        new_prefix(template, work / "prefix")
        with private_display() as display:
            env = wine_environment(work / "prefix", display, debug=os.environ.get("WINEDEBUG", "-all"))
            try:
                status = run_wine(arguments, env, work / "stderr", echo)
                wineserver(env, "-w")
            finally:
                wineserver(env, "-k")
        stderr = (work / "stderr").read_text(errors="replace")
        sys.stderr.write(stderr)
        if CRASH_REPORTS.search(stderr):
            print(f"wine-run: {name} crashed (exit code {status})", file=sys.stderr)
            status = status or 1
        return status
    finally:
        if os.environ.get("WINE_RUN_KEEP"):
            print(f"wine-run: prefix kept in {work / 'prefix'}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except WineError as error:
        sys.exit(f"wine-run: {error}")
