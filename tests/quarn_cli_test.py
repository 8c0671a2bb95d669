#!/usr/bin/env python3
"""Tests of the quarn command line: pack/extract round trips, byte-identical
repacks, every refusal of pack, list output, and damaged payloads.

  quarn_cli_test.py QUARN SAMPLE_DIR"""

import filecmp
import os
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import zlib
from pathlib import Path

import checks

STOP_REASONS = (r"not a quarn file \([12]\)|can.t read dir name|can.t read file size|can.t read file name|"
                r"extraction error|\[unrecognized archive entry!\]|uncrusher jammed|unsafe path in archive")


def make_tree(root):
    """2000 files in 100 nested folders, a third of them random bytes and the
    rest text, sizes from a fixed series; an empty folder and names outside
    ASCII."""
    seed = 7

    def next_random():
        nonlocal seed
        seed = (seed * 1103515245 + 12345) % 2147483648
        return seed >> 8

    for a in range(10):
        for b in range(10):
            folder = root / f"t{a}" / f"s{b}"
            folder.mkdir(parents=True)
            for f in range(20):
                size = next_random() % 3000
                if f == 0:
                    size = 0
                if f % 3 == 0:
                    body = bytes(next_random() % 256 for _ in range(size))
                else:
                    body = (f"level {a}-{b}-{f} row\r\n" * (1 + size // 16)).encode()[:size]
                (folder / f"f{f}.dat").write_bytes(body)
    (root / "empty folder").mkdir()
    (root / "données").mkdir()
    (root / "données" / "€ uro.txt").write_text("x")


def deep_tree(root, levels, name):
    """LEVELS folders of 244 bytes below ROOT and a file NAME at the bottom:
    deeper than the system's path limit, so made one level at a time."""
    folder = os.open(root, os.O_RDONLY)
    for _ in range(levels):
        try:
            os.mkdir("d" * 244, dir_fd=folder)
        except FileExistsError:
            pass
        inner = os.open("d" * 244, os.O_RDONLY, dir_fd=folder)
        os.close(folder)
        folder = inner
    os.close(os.open(name, os.O_CREAT | os.O_WRONLY, dir_fd=folder))
    os.close(folder)


def link_to_file(path):
    path.symlink_to("file")


def file_over_2_gib(path):
    """A sparse file of 2147483648 bytes."""
    path.write_bytes(b"")
    os.truncate(path, 2147483648)


class QuarnCli(checks.Case):
    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp())
        os.chdir(cls.work)
        make_tree(Path("tree"))
        for folder, files in {"small/sub": {"empty": ""}, "small/B": {"c": "abc"}, "small": {"z.txt": "hello"}}.items():
            Path(folder).mkdir(parents=True, exist_ok=True)
            for name, text in files.items():
                (Path(folder) / name).write_text(text)
        cls.quarn("pack", "tree", "a.qua")
        cls.quarn("pack", "small", "small.qua")

    @classmethod
    def tearDownClass(cls):
        for folder, subfolders, _ in os.walk(cls.work):
            for subfolder in subfolders:
                os.chmod(os.path.join(folder, subfolder), stat.S_IRWXU)
        shutil.rmtree(cls.work)

    @staticmethod
    def quarn(*arguments, cwd=None):
        return checks.run(QUARN, *arguments, cwd=cwd)

    def test_pack_and_extract_round_trip(self):
        packed = self.quarn("pack", "tree", "b.qua")
        self.check(packed.status == 0 and Path("b.qua").stat().st_size > 0 and not packed.stderr,
                   "pack of a generated tree succeeds")
        extracted = self.quarn("extract", "b.qua", "out")
        self.check(extracted.status == 0 and not extracted.stderr, "extract of a packed tree succeeds")
        # Names travel as Windows-1252 and land in UTF-8 again.
        self.check(not checks.trees_differ("tree", "out"), "round trip is byte for byte, names included")
        self.check(filecmp.cmp("tree/données/€ uro.txt", "out/données/€ uro.txt", shallow=False),
                   "non-ASCII names arrive under their own names")
        self.check(Path("out/empty folder").is_dir(), "empty folders survive")
        self.check(Path("a.qua").read_bytes() == Path("b.qua").read_bytes(), "packing twice gives identical bytes")

    def test_times_and_modes_do_not_change_the_payload(self):
        os.utime("tree/t1/s1/f1.dat", (978307200, 978307200))
        os.chmod("tree/t2/s2/f2.dat", 0o600)
        self.quarn("pack", "tree", "c.qua")
        self.check(Path("a.qua").read_bytes() == Path("c.qua").read_bytes(), "times and modes do not change the payload")

    def test_levels(self):
        for level in ("0", "1"):
            self.quarn("pack", "tree/t3", "--level", level, f"l{level}.qua")
            shutil.rmtree(f"out{level}", ignore_errors=True)
            self.quarn("extract", f"l{level}.qua", f"out{level}")
            self.check(not checks.trees_differ("tree/t3", f"out{level}"), f"round trip at level {level}")
        self.quarn("pack", "tree/t3", "l12.qua")
        self.check(Path("l0.qua").stat().st_size > Path("l12.qua").stat().st_size,
                   "level 0 stores, the default level compresses")

    def test_list(self):
        listed = self.quarn("list", "small.qua")
        expected = ("d        - .\nf        5 ./z.txt\nd        - ./B\nf        3 ./B/c\nd        - ./sub\n"
                    "f        0 ./sub/empty\n")
        self.check(listed.status == 0 and listed.stdout == expected,
                   "list shows kind, size and path, files before subfolders")
        listed = self.quarn("list", "a.qua")
        self.check(len(listed.stdout.splitlines()) == 1 + 10 + 100 + 2000 + 2 + 1, "list has one line per entry")
        self.check("f        1 ./données/€ uro.txt" in listed.stdout.splitlines(), "list shows names in UTF-8")

    def test_names_of_every_script_in_utf8(self):
        names = {"データ/説明.txt": "a", "Ελληνικά/αρχείο.txt": "b", "Русский/файл 𝄞.txt": "c"}
        for name, text in names.items():
            Path("scripts", name).parent.mkdir(parents=True, exist_ok=True)
            Path("scripts", name).write_text(text)
        packed = self.quarn("pack", "scripts", "u.qua", "--encoding", "utf-8", "--install-dir", "C:\\ゲーム",
                            "--exe-name", "データ\\説明.TXT")
        self.check(packed.status == 0, f"a UTF-8 payload takes names of every script: {packed.stderr}")
        self.quarn("extract", "u.qua", "out-utf8", "--encoding", "utf-8")
        self.check(not checks.trees_differ("scripts", "out-utf8"), "a UTF-8 payload round trips under its names")
        self.refused(self.quarn("pack", "scripts", "w.qua"), 2, "Windows-1252 lacks")
        self.refused(self.quarn("extract", "u.qua", "out-as-1252"), 1, "name not in the installer's code page",
                     what="a name the payload's encoding leaves undefined stops extraction")
        Path("scripts/Ελληνικά/ΑΡΧΕΊΟ.txt").write_text("d")
        self.refused(self.quarn("pack", "scripts", "u2.qua", "--encoding", "utf-8"), 2, "differ only in case",
                     what="names that differ only in Greek case are twins")

    def refuse(self, name, named, folder, *options):
        """Packing FOLDER must exit 2 with one line naming NAMED, and write
        nothing."""
        shutil.rmtree("outdir", ignore_errors=True)
        Path("outdir").mkdir()
        packed = self.quarn("pack", folder, "outdir/p.qua", *options)
        self.check(packed.status == 2, f"refuses {name}: exit 2")
        self.check(checks.one_line_naming(packed.stderr, named), f"refuses {name}: one line naming the path")
        self.check(not os.listdir("outdir"), f"refuses {name}: leaves no file")

    def test_pack_refuses_what_windows_cannot_hold(self):
        def bad_tree(*names, make=Path.touch):
            shutil.rmtree("bad", ignore_errors=True)
            Path("bad/ok").mkdir(parents=True)
            Path("bad/ok/file").write_text("fine\n")
            for name in names:
                make(Path("bad/ok") / name)

        for name, file, named in [
                ("a name with LF", "line\nfeed", "bad/ok/line\\nfeed"),
                ("a name with CR", "carriage\rreturn", "bad/ok/carriage\\rreturn"),
                ("a name that is not UTF-8", os.fsdecode(b"latin1-\xe9"), "bad/ok/latin1-"),
                ("a name Windows-1252 lacks", "Ā-macron", "bad/ok/Ā-macron"),
                ("a name Windows does not allow", "question?", "bad/ok/question?"),
                ("a Windows device name", "NUL.txt", "bad/ok/NUL.txt")]:
            bad_tree(file)
            self.refuse(name, named, "bad")
        bad_tree("README", "readme")
        self.refuse("names differing only in case", "bad/ok", "bad")
        bad_tree("link", make=link_to_file)
        self.refuse("a symbolic link", "bad/ok/link", "bad")
        bad_tree("pipe", make=os.mkfifo)
        self.refuse("a fifo", "bad/ok/pipe", "bad")
        bad_tree("huge", make=file_over_2_gib)
        self.refuse("a file over 2147483647 bytes", "bad/ok/huge", "bad")

    def test_pack_refuses_a_list_line_over_4999_bytes(self):
        # "./" + 20 levels of 244 bytes and a slash + a name of 96 + LF make
        # 4999 bytes.
        shutil.rmtree("bad", ignore_errors=True)
        Path("bad").mkdir()
        deep_tree("bad", 20, "n" * 96)
        shutil.rmtree("outdir", ignore_errors=True)
        Path("outdir").mkdir()
        packed = self.quarn("pack", "bad", "outdir/p.qua")
        self.check(packed.status == 0 and Path("outdir/p.qua").stat().st_size > 0,
                   "a line of exactly 4999 bytes is packed")
        deep_tree("bad", 20, "n" * 97)
        self.refuse("a line of 5000 bytes", "n" * 97, "bad")

    def test_pack_refuses_bad_arguments(self):
        Path("unreadable/x").mkdir(parents=True, exist_ok=True)
        os.chmod("unreadable/x", 0)
        if os.getuid() != 0:
            self.refuse("an unreadable folder", "unreadable/x", "unreadable")
        self.refuse("a missing folder", "missing-folder", "missing-folder")
        self.refuse("a file as folder", "small/z.txt", "small/z.txt")
        self.refuse("a level out of range", "--level", "small", "--level", "13")
        for threads in ("0", "1025", "two"):
            self.refuse(f"{threads} threads", "--threads", "small", "--threads", threads)
        self.refuse("an encoding other than windows-1252 and utf-8", "--encoding", "small", "--encoding", "latin1")
        self.refuse("an unknown option", "--fast", "small", "--fast")
        packed = self.quarn("pack", "small", "small/inside.qua")
        self.check(packed.status == 2 and not Path("small/inside.qua").exists(), "refuses a payload inside the folder")
        self.refused(self.quarn("pack", "small", "nowhere/p.qua"), 2, "nowhere/p.qua",
                     what="refuses a payload in a missing folder")

    def test_a_stopped_pack_leaves_no_temporary(self):
        Path("long").mkdir(exist_ok=True)
        Path("long/map.txt").write_bytes(b"".join(b"row %d of a level map\n" % i for i in range(1000000)))
        shutil.rmtree("outdir", ignore_errors=True)
        Path("outdir").mkdir()
        limited = subprocess.run([QUARN, "pack", "long", "outdir/p.qua"], capture_output=True, text=True,
                                 preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536)))
        self.refused(checks.Result(limited.returncode, limited.stdout, limited.stderr), 2, "outdir/p.qua",
                     "File too large", what="a file-size limit")
        self.check(not os.listdir("outdir"), "a file-size limit leaves no file")
        for stop in (signal.SIGTERM, signal.SIGPIPE):
            packing = subprocess.Popen([QUARN, "pack", "long", "outdir/p.qua", "--threads", "1"],
                                       stderr=subprocess.DEVNULL)
            while not os.listdir("outdir") and packing.poll() is None:
                time.sleep(0.01)
            packing.send_signal(stop)
            self.check(packing.wait() == -stop and not os.listdir("outdir"),
                       f"{stop.name} ends the pack by that signal, leaving no file")

    def test_command_line_errors(self):
        self.refused(self.quarn("frobnicate"), 2, "frobnicate", what="an unknown command exits 2 with one line")
        self.refused(self.quarn("list", "no-such.qua"), 2, "no-such.qua: No such file or directory",
                     what="a missing payload exits 2 naming it")
        Path("empty.qua").touch()
        self.refused(self.quarn("extract", "empty.qua", "out-empty"), 1, "empty.qua: empty payload",
                     what="an empty payload is a bad archive")
        helped = self.quarn("--help")
        self.check(helped.status == 0 and "quarn pack DIR PAYLOAD" in helped.stdout, "--help prints usage")

    def damaged(self, name, payload, data):
        """Extracting and listing the payload DATA fail cleanly, inside a
        sandbox; returns what list said."""
        Path(payload).write_bytes(data)
        shutil.rmtree("sandbox", ignore_errors=True)
        Path("sandbox").mkdir()
        extracted = self.quarn("extract", f"../{payload}", "out", cwd="sandbox")
        self.check(extracted.status == 1, f"{name}: extract exits 1")
        self.check(re.search(rf"^quarn: \.\./{re.escape(payload)}: ({STOP_REASONS})$", extracted.stderr, re.M),
                   f"{name}: extract gives a stop reason")
        self.check(os.listdir("sandbox") == ["out"], f"{name}: nothing written outside the folder")
        listed = self.quarn("list", payload)
        self.check(listed.status == 1 and re.search(rf"^quarn: {re.escape(payload)}: ({STOP_REASONS})$",
                                                    listed.stderr, re.M), f"{name}: list exits 1 with a stop reason")
        return listed.stderr

    def test_damaged_payloads(self):
        small = Path("small.qua").read_bytes()
        for cut in (1, 2, 5, len(small) // 2, len(small) - 1):
            self.damaged(f"payload cut to {cut} bytes", "cut.qua", small[:cut])
        self.damaged("flipped trailer byte", "flipped.qua", small[:-1] + bytes([small[-1] ^ 1]))
        self.damaged("garbage", "garbage.qua", Path("a.qua").read_bytes()[1000:3000])
        # A zlib header asking for a preset dictionary (FDICT), dictionary id 1.
        self.damaged("a preset dictionary", "dict.qua", b"\x78\xbb\x00\x00\x00\x01\x03\x00")
        said = self.damaged("a lower-case header", "lower.qua", zlib.compress(b"quarn\n", 0))
        self.check("not a quarn file (2)" in said, "a lower-case header is not a quarn file")

    def test_a_path_climbing_out_is_refused_before_anything_is_written(self):
        # Stored blocks (level 0) keep names readable, so a path can be turned
        # into one that climbs out.
        Path("evil/aa").mkdir(parents=True)
        Path("evil/aa/x").write_text("payload\n")
        self.quarn("pack", "evil", "--level", "0", "evil.qua")
        said = self.damaged("a path climbing out of the folder", "evil.qua",
                            Path("evil.qua").read_bytes().replace(b"./aa/x", b"../a/x"))
        self.check("unsafe path in archive" in said, "the climbing path names its stop reason")

    def test_the_sample_tree_packs(self):
        self.check(self.quarn("pack", SAMPLE, "sample.qua").status == 0, "the sample tree packs")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: quarn_cli_test.py QUARN SAMPLE_DIR")
    QUARN, SAMPLE = (str(Path(argument).resolve()) for argument in sys.argv[1:])
    sys.exit(checks.main(QuarnCli))
