#!/usr/bin/env python3
"""End-to-end scenarios of setup.exe under Wine: each runs the real installer
in a fresh prefix, on a private Xvfb and in a locale of its own, with the
driver pressing the dialogs; then checks what was left on disk and what Wine
reported. Exit 77 (ctest's skip) when this host cannot run the programs.

  scenarios.py --list | template | NAME
      the scenarios for ctest (NAME TIMEOUT LABEL...), the template prefix,
      or one scenario

tests/e2e/CMakeLists.txt sets E2E_DRIVER, E2E_QUARN, E2E_WORK (scratch),
E2E_TEMPLATE, E2E_PLANTED_DLL (a DLL that leaves NAME.loaded beside itself
when loaded), WINE_EMULATION_TOOLS, and for each installer target
E2E_<TARGET> with its installer.env as E2E_<TARGET>_CONFIG.
E2E_STRESS_RUNS and E2E_SEED set cancel-stress's runs and series.

A 32-bit setup.exe runs under emulation where the kernel cannot start 32-bit
programs (scripts/wine_emulation.py), and there only the smoke-* scenarios (label
emulated) run: they press the dialogs through X with no second 32-bit
program beside the installer, and leave the driver's scenarios to the 64-bit
twin. They skip where 32-bit programs run natively, as the driver's
scenarios cover them; WINE32_EMULATION=1 runs them emulated anyway."""

import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Callable

import checks
from wine_emulation import enter_emulation, template_for_mode, wine32_mode
from wine_env import (DEFAULT_LOCALE, PROCESS_DEBUG, ROOT, WineError, driver_text, host_failure, installer_config,
                      is_32bit_program, loader, make_template, new_prefix, once_more, prefix_path, private_display,
                      run_wine, wine_environment, wine_reports, wineserver, winpath)

# The driver's steps through the dialogs (driver.cpp): a whole install, one
# that ends at IDD_FAIL, and Install pressed in a run that ends with no
# other dialog.
INSTALL = ("install=ok", "progress=wait", "success=ok")
FAILED = ("install=ok", "progress=wait", "fail=ok")
INSTALL_PRESSED = ("install=ok",)


@dataclass(frozen=True)
class Row:
    """A scenario: its name for ctest, the function it runs, the driver's
    steps and the exit code setup.exe must end with, and what the run
    needs."""
    name: str
    body: Callable
    steps: tuple = INSTALL
    exit_code: int = 0
    labels: tuple = ()
    timeout: int = 300
    installer: str = "setup"  # the build target under test
    locale: str = DEFAULT_LOCALE  # of the Wine processes
    # What some bodies take: how damaged's payload is damaged, where
    # planted_link's link stands, how reinstall_busy's file is busy,
    # full_bar's payload size, many_files' count.
    damage: str = ""
    planted: str = ""
    busy: str = ""
    size: int = 0
    files: int = 0


def setting(name):
    """The setting NAME from the environment; LookupError naming it when it is
    not set."""
    if name not in os.environ:
        raise LookupError(f"{name} is not set (tests/e2e/CMakeLists.txt sets it)")
    return os.environ[name]


def installer(target):
    """The installer that the build made as TARGET, with its configuration
    (product, install_dir, exe_name, payload_tree, name_encoding)."""
    values = installer_config(setting(f"E2E_{target.upper()}_CONFIG"))
    return SimpleNamespace(**dict(values, exe=Path(setting(f"E2E_{target.upper()}")),
                                  payload_tree=Path(values["payload_tree"])))


class Run(checks.Case):
    """One scenario's run, with its fixtures: a scratch folder, a fresh prefix,
    a private display, the locale of the Wine processes, and the installer
    under test."""

    def __init__(self, row, template):
        super().__init__()
        self.row, self.template = row, template

    def __str__(self):
        return f"scenario {self.row.name}"

    def setUp(self):
        self.work = Path(setting("E2E_WORK")) / self.row.name
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        self.prefix = self.work / "prefix"
        new_prefix(self.template, self.prefix)
        display = self.enterContext(private_display())
        # Errors and crash reports stay on, each with the process that logged
        # it; the many unimplemented-feature notes go.
        self.env = wine_environment(self.prefix, display, self.row.locale, debug=f"{PROCESS_DEBUG},fixme-all")
        self.addCleanup(wineserver, self.env, "-k")
        self.log = self.work / "wine.log"
        self.setup = installer(self.row.installer)
        self.install_folder = prefix_path(self.prefix, self.setup.install_dir)

    def runTest(self):
        self.row.body(self)
        wineserver(self.env, "-w")
        # Wine reports crashes and failed calls on stderr; the menu builder is
        # switched off on purpose, and under emulation the 32-bit address
        # space is kept below 2 GiB on purpose. What Wine's own services and
        # drivers report fails no run by itself, but may explain a failure.
        ours, wines = [], []
        for log in (self.log, self.work / "setup.log"):
            if log.exists():
                reports = wine_reports(log.read_text(errors="replace"))
                ours += reports[0]
                wines += reports[1]
        errors = [line for line in ours if "winemenubuilder" not in line and "err:module:check_vmsplit" not in line]
        self.check(not errors, "Wine reported errors:\n" + "\n".join(errors[:20]))
        if self.failures_seen and wines:
            self.check(False, "Wine's own processes reported too:\n" + "\n".join(wines[:20]))

    # The driver.

    def drive(self, *arguments, overrides=None, cwd=None):
        """Runs the driver with ARGUMENTS; returns its exit code and its lines."""
        env = dict(self.env, WINEDLLOVERRIDES=overrides) if overrides else self.env
        lines = []
        with open(self.work / "driver.log", "a") as log:
            def echo(raw):
                lines.append(driver_text(raw).rstrip("\n"))
                print(lines[-1], flush=True)
                log.write(lines[-1] + "\n")
            status = run_wine([setting("E2E_DRIVER"), *arguments], env, self.log, echo, cwd=cwd)
        return status, lines

    def run_setup(self, exe, steps=None, **options):
        """The driver runs EXE through STEPS (the row's unless given), checking
        that its dialogs show the installer's configuration and that it ends
        with the row's exit code."""
        steps = self.row.steps if steps is None else steps
        status, _ = self.drive("run", winpath(exe), "--product", self.setup.product, "--install-dir",
                               self.setup.install_dir, *steps, "--exit", str(self.row.exit_code), **options)
        self.check(status == 0, "driver: expectations not met")

    def prepare(self, *arguments):
        """Runs the driver to prepare a scenario; a failure ends the run."""
        if self.drive(*arguments)[0] != 0:
            raise RuntimeError(f"driver {arguments[0]} failed")

    def setup_with_payload(self, payload):
        """A copy of the installer under test that carries PAYLOAD."""
        exe = payload.with_name(payload.stem + "-setup.exe")
        self.prepare("payload-set", winpath(self.setup.exe), winpath(exe), winpath(payload))
        return exe

    # setup.exe on its own, pressed through X.

    def start_setup(self, exe, caption, key):
        """Starts EXE on its own, as a double click would, and presses KEY
        (Return for its default button, Escape for Cancel) in its first
        dialog, captioned CAPTION."""
        return self.press_window(self.start_window(exe, caption), caption, key)

    def start_window(self, exe, caption, cwd=None):
        """Starts EXE on its own in CWD and waits for its window CAPTION;
        returns it, or None when the process ended first. Started once more
        when the host failed the start before any window came."""
        stderr = self.work / "setup.log"

        def start():
            with open(stderr, "ab") as file:
                self.setup_process = subprocess.Popen([*loader(exe), exe], env=self.env, stderr=file, cwd=cwd)
            print(f"started {exe}", flush=True)
            window = self.wait_window(caption)
            ended = self.setup_process.poll() is not None
            why = None if window or not ended else host_failure(stderr.read_text(errors="replace"))
            if why:
                stderr.rename(f"{stderr}.retried")
            return window, why

        return once_more(start, exe.name)

    def wine_tool(self, *command):
        """What Wine's own program COMMAND printed, run in the prefix; run
        once more when the host failed its start."""
        def start():
            done = checks.run(*loader(self.setup.exe), *command, env=self.env)
            return done.stdout, None if done.stdout else host_failure(done.stderr)

        return once_more(start, command[0])

    def wait_window(self, caption):
        pattern = "^" + re.sub(r"([][\\.*^$()+?{}|])", r"\\\1", caption) + "$"
        for _ in range(300):
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", pattern], env=self.env,
                                   capture_output=True, text=True).stdout.split()
            if found:
                return found[0]
            if self.setup_process.poll() is not None:
                return None
            time.sleep(0.2)
        return None

    def press(self, caption, key):
        """Waits for the dialog CAPTION and presses KEY in it."""
        return self.press_window(self.wait_window(caption), caption, key)

    def press_window(self, window, caption, key):
        if not self.check(window, f'"{caption}" did not appear'):
            return False
        print(f'press "{caption}" {key}', flush=True)
        subprocess.run(["xdotool", "key", "--window", window, key], env=self.env, stderr=subprocess.DEVNULL)
        return True

    def expect_exit(self):
        """Waits for the installer started on its own to end, and checks its
        exit code against the row's."""
        expected = self.row.exit_code
        try:
            status = self.setup_process.wait(60)
        except subprocess.TimeoutExpired:
            self.check(False, "setup.exe still running")
            self.setup_process.kill()
            status = self.setup_process.wait()
        print(f"exit {status}", flush=True)
        self.check(status == expected, f"exit code {status}, expected {expected}")

    # What the run left.

    # Wine runs setup.exe with administrator rights, so its link goes into
    # the Programs folder of all accounts; own_programs is the account's own.
    PROGRAMS = "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs"

    def programs(self):
        return prefix_path(self.prefix, "C:\\" + self.PROGRAMS)

    def own_programs(self):
        found = next((self.prefix / "drive_c" / "users").glob("**/Start Menu/Programs"), None)
        if found is None:
            raise RuntimeError("the prefix has no Programs folder of its account")
        return found

    def use_installer(self, target):
        """Makes TARGET the installer under test, in a fresh prefix."""
        self.renew_prefix()
        self.setup = installer(target)
        self.install_folder = prefix_path(self.prefix, self.setup.install_dir)

    def expect_nothing_written(self):
        self.check(not self.install_folder.exists(), f"install folder exists: {self.install_folder}")
        for programs in (self.programs(), self.own_programs()):
            group = programs / self.setup.product
            self.check(not group.exists(), f"Start-menu group exists: {group}")

    def expect_tree(self, tree=None, *options):
        differences = checks.trees_differ(tree or self.setup.payload_tree, self.install_folder, *options)
        (self.work / "diff.txt").write_text(differences)
        self.check(not differences, "install folder differs from the payload tree:\n" +
                   "\n".join(differences.splitlines()[:20]))

    def expect_link(self, outside=False):
        """The Start-menu link, read back by the shell's own link object
        through the driver, or, OUTSIDE, by liblnk's lnkinfo."""
        link = self.programs() / self.setup.product / f"{self.setup.product}.lnk"
        if not self.check(link.is_file(), f"no link at {link}"):
            return
        if outside:
            lines = lnkinfo_lines(checks.run("lnkinfo", link).stdout)
        else:
            status, lines = self.drive("read-link", winpath(link))
            self.check(status == 0, "link cannot be read")
        (self.work / "link.txt").write_text("\n".join(lines) + "\n")
        install_dir, product = self.setup.install_dir, self.setup.product
        self.check(f"target {install_dir}\\{self.setup.exe_name}" in lines, "link target")
        self.check(f"working {install_dir}" in lines, "link working folder")
        self.check(f"description {product}" in lines, "link description")

    # Payloads made for a scenario.

    def large_setup(self, size):
        """The installer with a seeded noise tree of SIZE bytes, packed without
        compression gain, with the game's executable where the link expects
        it; returns the installer and the tree."""
        tree = self.work / "large-tree"
        exe = tree / self.setup.exe_name.replace("\\", "/")
        exe.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(self.setup.payload_tree / self.setup.exe_name.replace("\\", "/"), exe)
        (tree / "data").mkdir()
        for block in range(1, 5):
            (tree / "data" / f"block{block}.bin").write_bytes(random.Random(block).randbytes(size // 4))
        return self.pack(tree, "large", "--level", "1"), tree

    def pack(self, tree, name, *options):
        """The installer with TREE packed as its payload."""
        payload = self.work / f"{name}.qua"
        subprocess.run([setting("E2E_QUARN"), "pack", tree, payload, *options], check=True)
        return self.setup_with_payload(payload)

    def renew_prefix(self):
        """Replaces the run's prefix by a fresh one, for scenarios of several
        runs. The old server must be gone before the new prefix at the same
        path starts one; a program could otherwise reach the dying one."""
        wineserver(self.env, "-k")
        wineserver(self.env, "-w")
        shutil.rmtree(self.prefix)
        new_prefix(self.template, self.prefix)


LNKINFO_FIELDS = {"Local path": "target", "Working directory": "working", "Description": "description"}


def lnkinfo_lines(said):
    """The fields that lnkinfo printed of a link, as the driver's read-link
    prints them."""
    lines = []
    for line in said.splitlines():
        name, colon, value = line.partition(":")
        if line.startswith("\t") and colon and name.strip() in LNKINFO_FIELDS:
            lines.append(f"{LNKINFO_FIELDS[name.strip()]} {value.strip()}")
    return lines


# The scenarios: each takes the run, whose row it reads.

def smoke_decline(t):
    t.start_setup(t.setup.exe, f"{t.setup.product} Installation Utility", "Escape")
    t.expect_exit()
    t.expect_nothing_written()


def smoke_install(t):
    if t.start_setup(t.setup.exe, f"{t.setup.product} Installation Utility", "Return"):
        t.press(f"{t.setup.product} - Install Complete", "Return")
    t.expect_exit()
    t.expect_tree()
    t.expect_link(outside=True)


def smoke_damaged(t):
    if t.start_setup(t.setup.exe, f"{t.setup.product} Installation Utility", "Return"):
        t.press(f"{t.setup.product} - Install Failed", "Return")
    t.expect_exit()


def decline(t):
    t.run_setup(t.setup.exe)
    t.expect_nothing_written()


def install(t):
    t.run_setup(t.setup.exe)
    t.expect_tree()
    t.expect_link()


def install_for_the_player(t):
    """The link goes where every account sees it; a link an earlier install
    left in the account's own Programs folder stays as it was; and the shell
    opens the link and the game starts."""
    old_group = t.own_programs() / t.setup.product
    old_group.mkdir(parents=True)
    (old_group / f"{t.setup.product}.lnk").write_text("an earlier link\n")
    install(t)
    t.check([path.name for path in old_group.iterdir()] == [f"{t.setup.product}.lnk"] and
            (old_group / f"{t.setup.product}.lnk").read_text() == "an earlier link\n",
            "the account's own group changed")
    # By its C: path: Wine's shell does not open a link through Z:.
    link = f"C:\\{t.PROGRAMS}\\{t.setup.product}\\{t.setup.product}.lnk"
    status, _ = t.drive("open-link", link, "VellicotMarbrelWindow")
    t.check(status == 0, "the link does not start the game")


def names(t):
    """Each configuration installs under its own names in this locale, whose
    code page is not the one the names were written in: the tree byte for
    byte, the group and the link under the product's name, and the link's
    target, working folder and description read back in UTF-16."""
    for target in ("setup", "setup_other", "setup_scripts"):
        t.use_installer(target)
        print(f"== {target}: {t.setup.product}, {t.setup.install_dir} ({t.setup.name_encoding})", flush=True)
        install(t)


def plant_link(kind, folder, system):
    """Makes the install folder FOLDER with a link of KIND in it, or as it,
    leading into SYSTEM."""
    if kind == "folder":
        folder.mkdir()
        (folder / "bin").symlink_to(system)
    elif kind == "deep":
        (folder / "data").mkdir(parents=True)
        (folder / "data" / "levels").symlink_to(system)
    elif kind == "file":
        folder.mkdir()
        (folder / "readme.txt").symlink_to(system / "system.ini")
    elif kind == "hard":
        folder.mkdir()
        (folder / "settings.ini").hardlink_to(system / "system.ini")
    elif kind == "root":
        folder.symlink_to(system)
    else:
        raise ValueError(f"no planted link of kind '{kind}'")


def planted_link(t):
    """Another account made the install folder before the run and put a link
    of the row's kind in it, leading to a folder that stands for a system
    folder. That folder must hold exactly what it held; the install ends as
    the row says, with the payload's tree as real folders and files when it
    ends well."""
    system = t.prefix / "drive_c" / "windows" / "standin"
    system.mkdir(parents=True)
    (system / "system.ini").write_text("[the machine's own]\n")
    (system / "keep").mkdir()
    plant_link(t.row.planted, t.install_folder, system)
    before = checks.tree_listing(system)
    t.run_setup(t.setup.exe)
    t.check(checks.tree_listing(system) == before, "the system folder changed:\n" + checks.tree_listing(system))
    if t.row.exit_code == 0:
        t.expect_tree()
        links = [path for path in t.install_folder.rglob("*") if path.is_symlink()]
        t.check(not links, f"links left in the install folder: {links}")


def install_signed(t):
    """The same program signed with a throwaway key installs exactly as it is."""
    key, signed = t.work / "key", t.work / "signed-setup.exe"
    subprocess.run([ROOT / "tests/release/make_signing_key.sh", key], check=True)
    shutil.copy(t.setup.exe, signed)
    subprocess.run([ROOT / "scripts/sign-setup.sh", signed, key / "signer.p12", key / "password", "1700000000"],
                   check=True)
    verified = checks.run("osslsigncode", "verify", "-CAfile", key / "ca.pem", "-in", signed)
    (t.work / "verify.txt").write_text(verified.stdout + verified.stderr)
    t.check(verified.status == 0, "the signed setup.exe does not verify")
    t.run_setup(signed)
    t.expect_tree()
    t.expect_link()


def reinstall(t):
    t.run_setup(t.setup.exe)
    changed = min(path for path in t.install_folder.rglob("*") if path.is_file())
    # Longer than before, so an open that does not truncate leaves a tail.
    with open(changed, "a") as file:
        file.write("changed by the user\n")
    t.run_setup(t.setup.exe)
    t.expect_tree()
    t.expect_link()


def reinstall_busy(t):
    """A second run over an installed file that the user changed and that
    another program holds open sharing everything, or that is read-only: it
    is replaced, and nothing is left once the holder lets go."""
    t.run_setup(t.setup.exe)
    busy, driver = t.install_folder / "readme.txt", setting("E2E_DRIVER")
    busy.write_text("changed by the user\n")
    held = t.row.busy == "held"
    busy.chmod(0o644 if held else 0o444)  # 0o444: attrib +r, as Wine shows it
    if held:
        holder = subprocess.Popen([*loader(driver), driver, "hold", winpath(busy)], env=t.env,
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        t.check(holder.stdout.readline().strip() == b"held", "the driver cannot hold the file")
    t.run_setup(t.setup.exe)
    if held:
        holder.communicate(timeout=60)
        # Its handles close once Wine's server has seen it go.
        wineserver(t.env, "-w")
    t.expect_tree()


def reinstall_running(t):
    """A second run while the installed game runs: its exe, which Windows will
    not delete while it is mapped, is set aside as ~old-<number>.tmp in the
    install folder and left to the next restart, the new one takes its name
    and the game runs on. Once the game has ended, the next run removes the
    set-aside file."""
    t.run_setup(t.setup.exe)
    exe = t.install_folder / t.setup.exe_name.replace("\\", "/")
    title = "Vellicot Marbrel"  # the sample game's window
    t.check(t.start_window(exe, title, cwd=t.install_folder), "the game did not start")
    game = t.setup_process
    t.run_setup(t.setup.exe)
    t.expect_tree(None, "-x", "~old-*.tmp")
    aside = list(t.install_folder.rglob("~old-*.tmp"))
    t.check([path.parent for path in aside] == [t.install_folder] and aside[0].read_bytes() == exe.read_bytes(),
            f"not one copy of the old exe set aside in the install folder: {aside}")
    pending = t.wine_tool("reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Session Manager", "/v",
                          "PendingFileRenameOperations")
    t.check(aside and f"\\{aside[0].name}" in pending, f"the set-aside exe is not left to the restart: {pending!r}")
    t.check(game.poll() is None and t.wait_window(title), "the game ended")
    # Without /f, Wine's taskkill closes the game's window as the player would.
    t.wine_tool("taskkill", "/im", exe.name)
    t.check(game.wait(60) == 0, "the game did not end well")
    t.run_setup(t.setup.exe)
    t.expect_tree()


def damaged(t):
    good, bad = t.work / "good.qua", t.work / "bad.qua"
    t.prepare("payload-get", winpath(t.setup.exe), winpath(good))
    payload = bytearray(good.read_bytes())
    if t.row.damage == "short":
        del payload[len(payload) * 2 // 3:]
    else:
        payload[len(payload) // 2:len(payload) // 2 + 8] = b"\xff\x00" * 4
    bad.write_bytes(payload)
    t.run_setup(t.setup_with_payload(bad))


def appended_short(t):
    """The payload after the image cut short, as a download that stopped: exit
    1 after the first dialog, before anything is written."""
    whole = t.setup.exe.read_bytes()
    short = t.work / "setup-short.exe"
    short.write_bytes(whole[:len(whole) - 1000])
    t.run_setup(short)
    t.expect_nothing_written()


def appended_swapped(t):
    """Another program of the player's renames the running setup.exe away
    while IDD_INSTALL waits, and puts the same image with a payload of its
    own at its name: exit 1 at IDD_FAIL, nothing of that payload written."""
    genuine = t.setup.exe.read_bytes()
    # The record, not the marker in the program's constants: its stream ends the file.
    offset, length = next((offset, length) for at in re.finditer(re.escape(b"Quarn appended\n\0"), genuine)
                          for offset, length in [struct.unpack_from("<QQ", genuine, at.start() + 16)]
                          if offset + length == len(genuine))
    tree = t.work / "other-tree"
    tree.mkdir()
    (tree / "planted.txt").write_text("from another payload\n")
    payload = t.work / "other.qua"
    subprocess.run([setting("E2E_QUARN"), "pack", tree, payload], check=True)
    other, setup = t.work / "other-setup.exe", t.work / "setup.exe"
    other.write_bytes(genuine[:offset] + payload.read_bytes().ljust(length, b"\0"))
    shutil.copy(t.setup.exe, setup)
    t.run_setup(setup, (*t.row.steps, "--swap", winpath(other)))
    written = list(t.install_folder.rglob("*"))
    t.check(not written, f"written from the other payload: {written}")
    t.check(not (t.programs() / t.setup.product).exists(), "a Start-menu group was made")


def undefined_byte(t):
    """A payload from another writer with a name holding a byte Windows-1252
    leaves undefined stops at IDD_FAIL, with no file under another name."""
    archive = b"Quarn\nd\n.\nf\n3\n./fine.txt\nyes" + b"f\n3\n./bad\x81name.txt\nnot"
    payload = t.work / "undefined.qua"
    payload.write_bytes(zlib.compress(archive, 9))
    t.run_setup(t.setup_with_payload(payload))
    left = sorted(path.name for path in t.install_folder.iterdir())
    t.check(left == ["fine.txt"], f"the install folder holds {left}, not just fine.txt")


def no_parent(t):
    t.run_setup(t.setup.exe)
    t.check(not t.install_folder.parent.exists(), "the missing parent was made")


def group_blocked(t):
    group = t.programs() / t.setup.product
    group.write_text("not a folder\n")
    t.run_setup(t.setup.exe)
    t.check(group.is_file(), "the plain file in the group's place was replaced")
    t.expect_tree()
    links = list(t.programs().rglob("*.lnk"))
    t.check(not links, f"a link was made: {links}")


def full_bar(t):
    exe, tree = t.large_setup(t.row.size)
    # Over the 32-bit percentage limit.
    t.check((t.work / "large.qua").stat().st_size > 21474836, "the large payload is not over 21474836 bytes")
    t.run_setup(exe)
    t.expect_tree(tree)


def cancel_large(t):
    exe, _ = t.large_setup(40000000)
    t.run_setup(exe)
    # Cancel came well inside the first of the four 10 MB blocks: a worker
    # that stops on Cancel leaves that one short and starts no other.
    left = sorted((path.name, path.stat().st_size) for path in (t.install_folder / "data").glob("*")
                  if path.is_file())
    print("left after Cancel:", ", ".join(f"{name} {size}" for name, size in left))
    t.check(len(left) == 1 and left[0][0] == "block1.bin" and left[0][1] < 10000000,
            f"extraction went on after Cancel: {left}")


def cancel_stress(t):
    """Cancel at a random moment of the extraction, E2E_STRESS_RUNS times (the
    seed is printed, so a failing series can be repeated with E2E_SEED). The
    driver fails a run whose process does not end after IDD_FAIL."""
    seed = int(os.environ.get("E2E_SEED") or os.getpid())
    print(f"seed {seed}")
    moments = random.Random(seed)
    exe, _ = t.large_setup(16000000)
    for run in range(1, int(os.environ.get("E2E_STRESS_RUNS", "3")) + 1):
        at = moments.randrange(75)
        print(f"run {run}: Cancel once the bar reaches {at}", flush=True)
        if run > 1:
            t.renew_prefix()
        t.run_setup(exe, ("install=ok", f"progress=cancel@{at}", "fail=ok"))
        # A quarter of the payload or more was still to come: a worker that
        # stops on Cancel never finishes the last of the four blocks.
        last = t.install_folder / "data" / "block4.bin"
        t.check(not last.exists() or last.stat().st_size < 4000000,
                f"run {run}: extraction went on to the end after Cancel")


def many_files(t):
    """The row's count of small files, in folders of 500."""
    tree = t.work / "many-tree"
    for i in range(t.row.files):
        folder = tree / f"part{i // 500}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"f{i}.txt").write_text(f"file {i}\n")
    t.run_setup(t.pack(tree, "many"))
    t.expect_tree(tree)


def long_path(t):
    """The longest path a 32-bit Windows program may open: 259 characters with the
    install folder in front."""
    tree = t.work / "long-tree"
    (tree / "folder").mkdir(parents=True)
    room = 259 - len(t.setup.install_dir) - 1
    (tree / "folder" / ("n" * (room - len("folder/")))).write_text("at the limit\n")
    t.run_setup(t.pack(tree, "long"))
    t.expect_tree(tree)


# The DLLs the installer process loads in a whole install of a payload that
# follows the image (Wine's loaddll trace, both builds) and those Windows
# loads for such a program. Not planted: ntdll, kernelbase and kernel32,
# which every process has before its first line runs.
PLANTED_DLLS = """advapi32.dll apphelp.dll bcrypt.dll bcryptprimitives.dll combase.dll comctl32.dll cryptbase.dll
    dwmapi.dll gdi32.dll imm32.dll msimg32.dll msvcrt.dll ole32.dll profapi.dll propsys.dll rpcrt4.dll sechost.dll
    shcore.dll shell32.dll shlwapi.dll ucrtbase.dll user32.dll userenv.dll uxtheme.dll version.dll win32u.dll
    winex11.drv zlib1.dll""".split()


def planted_dlls(t):
    """A download folder that also holds DLLs named after those above, with
    Wine told to prefer them as Windows does a DLL it does not know. Any of
    them that is loaded leaves NAME.loaded."""
    downloads = t.work / "downloads"
    downloads.mkdir()
    shutil.copy(t.setup.exe, downloads / "setup.exe")
    for dll in PLANTED_DLLS:
        shutil.copy(setting("E2E_PLANTED_DLL"), downloads / dll)
    # Without the debugger a crash ends the run at once instead of at the
    # test's timeout.
    overrides = ";".join([t.env["WINEDLLOVERRIDES"], "winedbg.exe=d"] +
                         [f"{dll.removesuffix('.dll')}=n,b" for dll in PLANTED_DLLS])
    # Started from the folder, as a double click does.
    t.run_setup(downloads / "setup.exe", overrides=overrides, cwd=downloads)
    t.expect_tree()
    t.expect_link()
    for marker in downloads.glob("*.loaded"):
        t.check(False, f"{marker.stem} from the download folder ran in {marker.read_text().strip()}")


def pictures(t):
    """make demo's pictures, of a payload that takes a while to unpack, so that
    the progress dialog is still up when its picture is taken."""
    exe, _ = t.large_setup(24000000)
    demo = t.work / "demo"
    shown = checks.run(ROOT / "scripts/run-demo.sh", env=dict(
        os.environ, DEMO_HEADLESS="1", DEMO_DIR=str(demo), SETUP_EXE=str(exe), DEMO_PREFIX=str(t.prefix),
        SETUP_CONFIG=setting("E2E_SETUP_CONFIG"), DRIVER_EXE=setting("E2E_DRIVER")))
    (t.work / "demo.log").write_text(shown.stdout + shown.stderr)
    print(shown.stdout + shown.stderr)
    t.check(shown.status == 0, "run-demo.sh failed: " + "\n".join((shown.stdout + shown.stderr).splitlines()[-3:]))
    _, lines = t.drive("sizes")
    (t.work / "sizes.txt").write_text("\n".join(lines) + "\n")
    sizes = dict(line.split()[:2] for line in lines if line.strip())
    for dialog in ("IDD_INSTALL", "IDD_PROGRESS", "IDD_SUCCESS"):
        png = demo / f"{dialog}.png"
        if not t.check(png.is_file(), f"no {dialog}.png"):
            continue
        got, colours = checks.run("identify", "-format", "%wx%h %k", png).stdout.split()
        print(f"picture {dialog} {got} (dialog {sizes.get(dialog)}), {colours} colours")
        t.check(got == sizes.get(dialog), f"{dialog}.png is {got}, the dialog is {sizes.get(dialog)}")
        t.check(int(colours) > 4, f"{dialog}.png is blank ({colours} colours)")


ROWS = {row.name: row for row in [
    Row("decline-cancel", decline, steps=("install=cancel",)),
    Row("decline-esc", decline, steps=("install=esc",)),
    Row("decline-close", decline, steps=("install=close",)),
    Row("install", install_for_the_player),
    Row("install-signed", install_signed),
    Row("other-names", install, installer="setup_other"),
    Row("reinstall", reinstall),
    Row("reinstall-held", reinstall_busy, busy="held"),
    Row("reinstall-read-only", reinstall_busy, busy="read-only"),
    Row("reinstall-running", reinstall_running),
    Row("damaged-short", damaged, steps=FAILED, exit_code=1, damage="short"),
    Row("damaged-flipped", damaged, steps=FAILED, exit_code=1, damage="flipped"),
    Row("appended", install, installer="setup_appended"),
    Row("appended-short", appended_short, steps=INSTALL_PRESSED, exit_code=1, installer="setup_appended"),
    Row("appended-swapped", appended_swapped, steps=FAILED, exit_code=1, installer="setup_appended"),
    Row("no-parent", no_parent, steps=INSTALL_PRESSED, exit_code=1, installer="setup_no_parent"),
    Row("undefined-byte", undefined_byte, steps=FAILED, exit_code=1),
    Row("group-blocked", group_blocked),
    Row("planted-dlls", planted_dlls, installer="setup_appended"),
    Row("pictures", pictures),
    Row("large-progress", full_bar, steps=(*INSTALL, "--full-bar"), size=24000000, labels=("slow",)),
    Row("cancel-large", cancel_large, steps=("install=ok", "progress=cancel@10", "fail=ok"), exit_code=1,
        labels=("slow",)),
    # E2E_STRESS_RUNS=30 takes several minutes; each run picks its own moment.
    Row("cancel-stress", cancel_stress, exit_code=1, labels=("slow",), timeout=1800),
    Row("long-path", long_path),
    # The names of Western (1252), Cyrillic (1251) and Simplified Chinese
    # (936, double-byte) Windows.
    Row("names-1252", names, locale="de_DE.UTF-8"),
    Row("names-1251", names, locale="ru_RU.UTF-8"),
    Row("names-936", names, locale="zh_CN.UTF-8"),
    # Links another account planted in the install folder are never written
    # through.
    Row("planted-folder-link", planted_link, steps=FAILED, exit_code=1, planted="folder", installer="setup_other"),
    Row("planted-deep-link", planted_link, steps=FAILED, exit_code=1, planted="deep", installer="setup_other"),
    Row("planted-file-link", planted_link, steps=FAILED, exit_code=1, planted="file", installer="setup_other"),
    Row("planted-hard-link", planted_link, steps=INSTALL, planted="hard", installer="setup_other"),
    Row("planted-install-folder-link", planted_link, steps=INSTALL_PRESSED, exit_code=1, planted="root",
        installer="setup_other"),
    Row("many-files", many_files, files=20000, labels=("slow", "limits")),
    Row("huge-payload", full_bar, steps=(*INSTALL, "--full-bar"), size=300000000, labels=("slow", "limits")),
    # The shipped 32-bit setup.exe with nothing but itself running, for hosts
    # where 32-bit programs are emulated; xdotool presses its dialogs.
    Row("smoke-decline", smoke_decline, labels=("emulated",)),
    Row("smoke-install", smoke_install, labels=("emulated",)),
    Row("smoke-damaged", smoke_damaged, exit_code=1, labels=("emulated",), installer="setup_damaged"),
]}


def skipped(name, mode):
    """Why the scenario NAME (or the template) does not run where 32-bit
    programs run in MODE, or None."""
    if mode == "none":
        return "this host cannot run 32-bit Windows programs"
    smoke = name != "template" and "emulated" in ROWS[name].labels
    if mode == "emulated" and not smoke and name != "template":
        return "under emulation, where only the smoke runs go (the 64-bit twin runs it)"
    if mode == "native" and smoke:
        return "32-bit programs run natively here (WINE32_EMULATION=1 runs it emulated)"
    return None


def keep_logs_only(work):
    """What a passed run keeps; the large scenarios leave gigabytes."""
    for path in work.iterdir():
        if path.suffix in (".log", ".txt", ".retried") or path.name == "demo":
            continue
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path)
        else:
            path.unlink()


def main(arguments):
    if arguments == ["--list"]:
        for row in ROWS.values():
            print(row.name, row.timeout, *row.labels)
        return 0
    name = arguments[0] if len(arguments) == 1 else ""
    if name not in ROWS and name != "template":
        print(f"scenarios.py: unknown scenario '{name}'", file=sys.stderr)
        return 2
    template = Path(setting("E2E_TEMPLATE"))
    if is_32bit_program(setting("E2E_SETUP")):
        mode = wine32_mode()
        why = skipped(name, mode)
        if why:
            print(f"scenario {name}: skipped, {why}")
            return 77
        if mode == "emulated":
            enter_emulation(setting("WINE_EMULATION_TOOLS"))
        template = template_for_mode(template)
    if name == "template":
        make_template(template)
        return 0

    scenario = Run(ROWS[name], template)
    status = checks.main(scenario)
    # A process start that the host failed (of Wine's own programs too, which
    # the driver cannot start again) fails no program: the run is made once
    # more, and said, the first run's logs kept beside.
    why = status and next(filter(None, (host_failure(log.read_text(errors="replace"))
                                        for log in scenario.work.glob("*.log"))), None)
    if why:
        print(f"scenario {name}: the host failed a Wine start ({why.strip()}); running it once more", flush=True)
        retried = scenario.work.with_name(f"{name}.retried")
        shutil.rmtree(retried, ignore_errors=True)
        scenario.work.rename(retried)
        keep_logs_only(retried)
        scenario = Run(ROWS[name], template)
        status = checks.main(scenario)
    if status != 0:
        print(f"scenario {name}: {scenario.failures_seen} failure(s); its files are in {scenario.work}")
        return status
    keep_logs_only(scenario.work)
    print(f"scenario {name}: passed")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (WineError, LookupError) as error:
        sys.exit(f"scenarios.py: {error}")
