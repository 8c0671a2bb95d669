#!/usr/bin/env python3
"""A game of 3 GB in one setup.exe, as a maker ships one: the tree packed,
the installer built and signed with a throwaway key, the signature verified,
and the game installed under 32-bit Wine and compared byte for byte. Prints
the figures: pack time and quarn's peak memory, the whole build's peak
memory, setup.exe's size, the install's time and setup.exe's peak memory.

Needs some 20 GB of disk under build/big-game and several minutes, so it is
`make big-game`, not part of `make test`. The tree is made once and kept for
the next run; everything else goes after a run that passed."""
import os
import random
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import checks
from wine_env import (ROOT, driver_text, installer_config, make_template, new_prefix, prefix_path, private_display,
                      run_wine, wine_environment, wineserver, winpath)

WORK = ROOT / "build" / "big-game"
TREE = WORK / "tree"
BUILD = WORK / "win32"
# Mostly incompressible, as a game's packed textures and sounds are, with
# some text.
DATA_FILES, DATA_BYTES = 12, 240 * 10**6
TEXT_FILES, TEXT_BYTES = 40, 3 * 10**6


def make_tree():
    ready = WORK / "tree.made"
    if ready.exists():
        return
    shutil.rmtree(TREE, ignore_errors=True)
    shutil.copytree(ROOT / "sample", TREE)
    shutil.copy(ROOT / "build" / "win32" / "marbrel.exe", TREE / "marbrel.exe")
    numbers = random.Random(3)
    (TREE / "data").mkdir(exist_ok=True)  # the sample has one
    for i in range(DATA_FILES):
        with open(TREE / "data" / f"pack{i:02}.bin", "wb") as out:
            for _ in range(DATA_BYTES // 10**6):
                out.write(numbers.randbytes(10**6))
    words = "marble tile level stone glass river light shadow score bonus".split()
    (TREE / "text").mkdir()
    for i in range(TEXT_FILES):
        lines = (" ".join(numbers.choices(words, k=12)) + "\n" for _ in range(TEXT_BYTES // 70))
        (TREE / "text" / f"notes{i:02}.txt").write_text("".join(lines))
    ready.touch()


def measured(command, **options):
    """Runs COMMAND; returns its exit code, seconds and peak resident memory
    in MB (of the largest process it or its children ran)."""
    start = time.monotonic()
    process = subprocess.Popen(command, **options)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    return process.returncode, time.monotonic() - start, usage.ru_maxrss / 1024


class SetupMemory(threading.Thread):
    """Watches the process of PROGRAM (its Windows path) under Wine for its
    peak resident and virtual memory (VmHWM, VmPeak), in MB; not the driver,
    which names it too, nor another setup.exe running on the machine."""

    def __init__(self, program):
        super().__init__(daemon=True)
        self.program = program.encode()
        self.resident = self.virtual = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.wait(0.2):
            for status in Path("/proc").glob("[0-9]*/status"):
                try:
                    if (status.parent / "cmdline").read_bytes().split(b"\0")[0] != self.program:
                        continue
                    fields = dict(line.split(":", 1) for line in status.read_text().splitlines() if ":" in line)
                except OSError:
                    continue
                self.resident = max(self.resident, int(fields.get("VmHWM", "0 kB").split()[0]) // 1024)
                self.virtual = max(self.virtual, int(fields.get("VmPeak", "0 kB").split()[0]) // 1024)


class BigGame(checks.Case):
    def test_a_3_gb_game_is_built_signed_and_installed(self):
        WORK.mkdir(parents=True, exist_ok=True)
        print(f"== making the {DATA_FILES * DATA_BYTES + TEXT_FILES * TEXT_BYTES} byte game in {TREE}", flush=True)
        make_tree()

        quarn = ROOT / "build" / "native-release" / "tools" / "quarn"
        payload = WORK / "measured.qua"
        status, seconds, peak = measured([quarn, "pack", TREE, payload])
        size = payload.stat().st_size if payload.exists() else 0
        print(f"pack: exit {status}, {seconds:.0f} s, quarn peak RSS {peak:.0f} MB, payload {size} bytes", flush=True)
        payload.unlink(missing_ok=True)
        self.check(status == 0, "quarn pack failed")

        key = WORK / "key"
        checks.run(ROOT / "tests/release/make_signing_key.sh", key)
        with open(WORK / "make.log", "w") as log:
            status, seconds, peak = measured(
                ["make", "-C", ROOT, "-o", "tools", "installer", f"WIN32_BUILD={BUILD}", f"PAYLOAD_DIR={TREE}",
                 f"SIGN_PKCS12={key / 'signer.p12'}", f"SIGN_PASSWORD_FILE={key / 'password'}"],
                stdout=log, stderr=subprocess.STDOUT)
        setup = BUILD / "setup.exe"
        print(f"make installer: exit {status}, {seconds:.0f} s, peak RSS {peak:.0f} MB", flush=True)
        if status != 0 or not setup.is_file():
            self.fail("make installer failed: " + (WORK / "make.log").read_text(errors="replace")[-2000:])
        print(f"setup.exe: {setup.stat().st_size} bytes", flush=True)

        verified = checks.run("osslsigncode", "verify", "-CAfile", key / "ca.pem", "-in", setup)
        print(f"osslsigncode verify: exit {verified.status}", flush=True)
        self.check(verified.status == 0, "the signature does not verify: " + (verified.stdout + verified.stderr)[-500:])

        values = installer_config(BUILD / "setup" / "installer.env")
        template, prefix = ROOT / "build" / "wine-template", WORK / "prefix"
        make_template(template)
        shutil.rmtree(prefix, ignore_errors=True)
        new_prefix(template, prefix)
        driver = ROOT / "build" / "win32" / "tests" / "e2e" / "driver.exe"
        memory = SetupMemory(winpath(setup))
        with private_display() as display:
            env = wine_environment(prefix, display)
            memory.start()
            start = time.monotonic()
            try:
                driven = run_wine([driver, "run", winpath(setup), "--product", values["product"], "--install-dir",
                                   values["install_dir"], "install=ok", "progress=wait", "success=ok", "--exit", "0",
                                   "--full-bar"], env, WORK / "wine.log", echo)
            finally:
                seconds = time.monotonic() - start
                memory.done.set()
                memory.join()
                wineserver(env, "-k")
        print(f"install: driver exit {driven}, {seconds:.0f} s, setup.exe peak RSS {memory.resident} MB, "
              f"peak address space {memory.virtual} MB", flush=True)
        self.check(driven == 0, "the install did not go as a player's would")
        differences = checks.trees_differ(TREE, prefix_path(prefix, values["install_dir"]))
        self.check(not differences, "the installed game differs from the tree:\n" +
                   "\n".join(differences.splitlines()[:10]))


def echo(raw):
    line = driver_text(raw)
    if not line.startswith("  control"):
        print(line, end="", flush=True)


if __name__ == "__main__":
    status = checks.main(BigGame)
    if status == 0:
        shutil.rmtree(WORK / "prefix", ignore_errors=True)
        shutil.rmtree(BUILD, ignore_errors=True)
    sys.exit(status)
