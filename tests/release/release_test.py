#!/usr/bin/env python3
"""Checks of the shipped setup.exe as a release, one group a run:

  release_test.py refusals QUARN WORK
      what the build refuses because it would fail on a player's machine,
      one row each: quarn pack, given the installer's values, must exit
      non-zero with one line naming the value or the payload path, and write
      nothing; paths at Windows' limits must still pass; a refused `make
      installer` must leave no setup.exe, not even one from an earlier build
  release_test.py reproducible WORK [MAKE_VARIABLE=VALUE...]
      `make installer` twice, into two build folders at different absolute
      paths, the second under a clock years ahead: the same bytes
  release_test.py signing SETUP.EXE PAYLOAD WORK
      signing with a throwaway key made here: the signature verifies against
      its CA, the unsigned program is kept beside the signed one, the same
      key gives the same bytes, and one byte changed inside the payload
      resource makes verification fail
  release_test.py signers WORK
      `make installer` signed on a SoftHSM2 token and by a command, time-stamped on the loopback, and
      each mistake in its settings stopping it in one line"""

import hashlib
import http.server
import os
import shutil
import struct
import subprocess
import sys
import threading
from pathlib import Path

import checks

ROOT = Path(__file__).resolve().parents[2]

FORBIDDEN = "a character Windows does not allow"
# Tree, option, value, what the one line says, and what it names when that
# is not the value itself.
REFUSALS = [
    ("game", "--install-dir", "Games\\Marbrel", "not an absolute path with a drive letter"),
    ("game", "--install-dir", "\\Games", "not an absolute path with a drive letter"),
    ("game", "--install-dir", "C:\\Games\\", "ends with a backslash"),
    ("game", "--install-dir", "C:\\Games\\\\Marbrel", "empty name"),
    ("game", "--install-dir", "C:\\Ga|mes", FORBIDDEN),
    ("game", "--install-dir", "C:\\Games\\Con", "device name"),
    ("game", "--install-dir", "C:\\Jeux Ω", "Windows-1252 lacks"),
    ("game", "--exe-name", "bin\\missing.exe", "not a file of the payload"),
    ("game", "--exe-name", "bin", "not a file of the payload"),
    ("game", "--exe-name", "bin/play.exe", "holds '/'"),
    ("game", "--exe-name", "C:\\bin\\play.exe", "not a path inside the payload"),
    ("game", "--exe-name", "bin\\pl*y.exe", FORBIDDEN),
    ("game", "--product-name", "Marbrel: Deluxe", FORBIDDEN),
    ("game", "--product-name", "Marbrel\tDeluxe", "control character", "Marbrel\\x09Deluxe"),
    ("game", "--product-name", "Marbrel Ω", "Windows-1252 lacks"),
    ("game", "--product-name", "Marbrel.", "ends in a dot or space"),
    ("game", "--product-name", "p" * 81, "over the 80"),
    ("long-file", "--install-dir", "C:\\G", "would be 260 UTF-16 units", "long-file/d/fff"),
    ("long-folder", "--install-dir", "C:\\G", "would be 248 UTF-16 units", "long-folder/ddd"),
]
# The same for a UTF-8 build: Windows counts UTF-16 units, so a character
# beyond U+FFFF counts two, and a product name of 81 three-byte characters
# is over the limit as one of 81 letters is.
UTF8_REFUSALS = [
    ("long-music", "--install-dir", "C:\\G", "would be 260 UTF-16 units", "long-music/d/fff"),
    ("game", "--product-name", "大" * 81, "81 UTF-16 units, over the 80"),
    ("game", "--install-dir", "C:\\ゲーム\\Con", "device name"),
]

# Values that make, the shell or CMake's lists could change on their way:
# each stops `make installer` with one line naming it, or (ODD_KEPT, all in
# one build) reaches the program as typed. PAYLOAD_DIR is under WORK.
ODD_REFUSED = [("INSTALL_DIR", "C:\\Games\\Marbrel\\", "ends with a backslash"), ("EXE_NAME", "bin\\", "empty name"),
               ("PRODUCT_NAME", "Marbrel\\", FORBIDDEN), ("PAYLOAD_DIR", "game; two", "cannot be packed"),
               ("PAYLOAD_DIR", "game\\", "cannot be packed")]
ODD_KEPT = {"PRODUCT_NAME": "Rock; Roll $5 #1 'n' Ü", "INSTALL_DIR": "C:\\Program Files\\Rock; Roll $5 #1 'n' Ü",
            "EXE_NAME": "bin\\pl$5 #1 'n' é.exe", "PUBLISHER": 'Studio "Ω" $5; #1\\', "PAYLOAD_DIR": "$5 #1 'n' ü"}


def make_installer(log, *variables, clock=()):
    """`make installer` with VARIABLES, its output in LOG, run under CLOCK (a
    command that sets the time); returns its exit code."""
    env = {name: value for name, value in os.environ.items() if name not in ("MAKEFLAGS", "MAKELEVEL")}
    with open(log, "w") as output:
        return subprocess.run([*clock, "make", "-C", ROOT, "-o", "tools", "installer", *variables], env=env,
                              stdout=output, stderr=output).returncode


def said_last(log, count):
    """The last COUNT lines of a make log that are not make's own."""
    said = Path(log).read_text(errors="replace").splitlines()
    return "\n".join([line for line in said if not line.startswith(("gmake", "["))][-count:])


def fresh(work):
    work = Path(work)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    return work


class Refusals(checks.Case):
    def setUp(self):
        self.work = fresh(ARGUMENTS[1])
        os.chdir(self.work)
        # A game with its executable in a subfolder; trees whose one path is
        # a byte over Windows' limits under C:\G, and one with paths right at
        # them.
        for folder in ("game/bin", "long-file/d", "long-folder/" + "d" * 243, "at-limits/d",
                       "at-limits/" + "d" * 242):
            Path(folder).mkdir(parents=True)
        Path("game/bin/play.exe").write_text("game\n")
        Path("game/data.txt").write_text("data\n")
        Path("long-file/d/" + "f" * 253).touch()
        Path("at-limits/d/" + "f" * 252).touch()
        Path("long-music/d").mkdir(parents=True)
        Path("long-music/d/" + "f" * 251 + "𝄞").touch()
        Path("at-limits-music/d").mkdir(parents=True)
        Path("at-limits-music/d/" + "f" * 250 + "𝄞").touch()

    def pack(self, *arguments):
        return checks.run(ARGUMENTS[0], "pack", *arguments)

    def test_values_that_would_fail_on_a_players_machine(self):
        rows = [(row, ()) for row in REFUSALS] + [(row, ("--encoding", "utf-8")) for row in UTF8_REFUSALS]
        for (tree, option, value, reason, *named), encoding in rows:
            packed = self.pack(tree, "out.qua", option, value, *encoding)
            what = f"{option} {value!r} on {tree}"
            if self.check(packed.status != 0, f"{what}: accepted"):
                if self.check(checks.one_line_naming(packed.stderr, named[0] if named else value, reason),
                              f"{what}: not one line naming it and saying '{reason}': {packed.stderr[:300]}"):
                    print(f"refused: {packed.stderr.strip()}")
            left = list(Path().glob("out.qua*"))
            self.check(not left, f"{what}: left {left}")
            for file in left:
                file.unlink()

    def test_values_at_the_limits_pass(self):
        packed = self.pack("at-limits", "ok.qua", "--install-dir", "C:\\G")
        self.check(packed.status == 0, f"paths at the limits refused: {packed.stderr}")
        packed = self.pack("game", "ok.qua", "--install-dir", "C:\\Program Files\\Marbré", "--exe-name",
                           "BIN\\Play.exe", "--product-name", "Marbré Deluxe")
        self.check(packed.status == 0, f"good values refused: {packed.stderr}")
        packed = self.pack("at-limits-music", "ok.qua", "--install-dir", "C:\\G", "--encoding", "utf-8",
                           "--product-name", "大" * 80)
        self.check(packed.status == 0, f"UTF-8 paths at the limits refused: {packed.stderr}")

    def test_a_refused_build_leaves_no_setup(self):
        build = self.work / "win32"
        build.mkdir()
        (build / "setup.exe").write_text("stale\n")
        status = make_installer("make.log", f"WIN32_BUILD={build}", "INSTALL_DIR=Games\\Marbrel")
        self.check(status != 0, "make installer accepted a relative install folder")
        self.check(not (build / "setup.exe").exists(), f"make installer left {build / 'setup.exe'}")
        said = Path("make.log").read_text(errors="replace").splitlines()
        self.check("quarn: Games\\Marbrel: install folder is not an absolute path with a drive letter (X:\\...)"
                   in said, "make installer did not say why: " + said_last("make.log", 3))

    def test_odd_values_arrive_as_typed_or_stop_the_build(self):
        build, game, tree = self.work / "odd-win32", self.work / "game", self.work / ODD_KEPT["PAYLOAD_DIR"]
        for variable, value, reason in ODD_REFUSED:
            value = str(self.work / value) if variable == "PAYLOAD_DIR" else value
            status = make_installer("odd.log", f"WIN32_BUILD={build}", f"PAYLOAD_DIR={game}", "EXE_NAME=bin\\play.exe",
                                    f"{variable}={value}")
            said = [line for line in Path("odd.log").read_text().splitlines() if reason in line and value in line]
            self.check(status != 0 and len(said) == 1 and not (build / "setup.exe").exists(),
                       f"{variable}={value!r} not refused in one line: " + said_last("odd.log", 3))
        shutil.copytree(game, tree)
        (tree / "bin/play.exe").rename(tree / ODD_KEPT["EXE_NAME"].replace("\\", "/"))
        make_installer("odd.log", f"WIN32_BUILD={build}", *(f"{name}={value}" for name, value in
                                                            dict(ODD_KEPT, PAYLOAD_DIR=tree).items()))
        # The constants in the build's code page, the notice in UTF-16; the tests' and the demo's copy quoted.
        found = (build / "setup.exe").read_bytes() + (build / "setup/installer.env").read_bytes()
        for name, encoding in (("PRODUCT_NAME", "cp1252"), ("INSTALL_DIR", "cp1252"), ("EXE_NAME", "cp1252"),
                               ("PUBLISHER", "utf-16-le")):
            self.check(ODD_KEPT[name].encode(encoding) in found and (name == "PUBLISHER" or ODD_KEPT[name].replace(
                "'", "'\\''").encode() in found), f"{name} is not as typed in setup.exe: " + said_last("odd.log", 3))


class Reproducible(checks.Case):
    def test_two_builds_give_the_same_bytes(self):
        work, variables = fresh(ARGUMENTS[0]), ARGUMENTS[1:]
        first, second = work / "first", work / "a second folder, elsewhere" / "win32"
        for build, log, clock in ((first, "first.log", ()),
                                  (second, "second.log", ("faketime", "-f", "@2031-03-04 05:06:07"))):
            if make_installer(work / log, *variables, f"WIN32_BUILD={build}", clock=clock) != 0:
                self.fail("the build failed: " + said_last(work / log, 5))
        one, other = (first / "setup.exe").read_bytes(), (second / "setup.exe").read_bytes()
        differences = [(offset, a, b) for offset, (a, b) in enumerate(zip(one, other)) if a != b][:8]
        self.check(one == other, "two builds of the same sources differ; first bytes that differ (offset, first, "
                   f"second): {differences}, sizes {len(one)} and {len(other)}")
        print(f"reproducible: both builds are {len(one)} bytes, {hashlib.sha256(one).hexdigest()[:16]}...")


class Signing(checks.Case):
    def setUp(self):
        self.setup, self.payload, self.work = Path(ARGUMENTS[0]), Path(ARGUMENTS[1]), fresh(ARGUMENTS[2])
        self.key = self.work / "key"
        made = checks.run(ROOT / "tests/release/make_signing_key.sh", self.key)
        self.assertEqual(made.status, 0, made.stderr)

    def sign(self, name):
        """A signed copy of the program, or None when signing failed."""
        signed = self.work / f"{name}.exe"
        shutil.copy(self.setup, signed)
        done = checks.run(ROOT / "scripts/sign-setup.sh", signed, self.key / "signer.p12", self.key / "password",
                          "1700000000")
        return signed if done.status == 0 else None

    def verify(self, exe):
        verified = checks.run("osslsigncode", "verify", "-CAfile", self.key / "ca.pem", "-in", exe)
        Path(f"{exe}.verify.txt").write_text(verified.stdout + verified.stderr)
        return verified.status == 0, (verified.stdout + verified.stderr).splitlines()

    def test_the_signature_covers_the_payload(self):
        signed = self.sign("setup")
        if not self.check(signed, "signing failed"):
            return
        self.check((self.work / "setup-unsigned.exe").read_bytes() == self.setup.read_bytes(),
                   "setup-unsigned.exe is not the program as built")
        verified, said = self.verify(signed)
        self.check(verified, f"the signed setup.exe does not verify: {said[-3:]}")
        again = self.sign("again")
        self.check(again and again.read_bytes() == signed.read_bytes(), "the same key gave other bytes")

        # The payload sits in the program whole, as the resource's data.
        program, payload = bytearray(signed.read_bytes()), self.payload.read_bytes()
        start = program.find(payload)
        if not self.check(start >= 0, "the payload is not inside the signed setup.exe"):
            return
        offset = start + len(payload) // 2
        program[offset] ^= 1
        tampered = self.work / "tampered.exe"
        tampered.write_bytes(program)
        self.check(tampered.read_bytes() != signed.read_bytes(), f"the byte at {offset} was not changed")
        verified, said = self.verify(tampered)
        if self.check(not verified, f"a changed byte in the payload at {offset} still verifies"):
            reason = next((line for line in said if "digest" in line.lower() or "failed" in line.lower()), "")
            print(f"changed byte {offset} of {len(program)}: {reason}")


class TimeStampingAuthority(http.server.BaseHTTPRequestHandler):
    """RFC 3161 over HTTP on the loopback: `openssl ts -reply` answers, for SHA-256 imprints only."""

    def do_POST(self):
        done = subprocess.run(["openssl", "ts", "-reply", "-config", WORK / "tsa.cnf", "-queryfile", "/dev/stdin",
                               "-inkey", KEY / "tsa.key", "-signer", KEY / "tsa.pem", "-chain", KEY / "tsa-ca.pem"],
                              input=self.rfile.read(int(self.headers["Content-Length"])), capture_output=True)
        self.send_response(200 if done.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(done.stdout)


class Signers(checks.Case):
    @classmethod
    def setUpClass(cls):
        global WORK, KEY
        WORK = fresh(ARGUMENTS[0])
        KEY, cls.build, pin = WORK / "key", WORK / "win32", WORK / "pin"
        (WORK / "tsa.cnf").write_text(f"[tsa]\ndefault_tsa = t\n[t]\nserial = {WORK}/serial\nsigner_digest = sha256\n"
                                      "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n")
        (WORK / "softhsm2.conf").write_text(f"directories.tokendir = {WORK}/tokens\n")
        os.environ["SOFTHSM2_CONF"] = str(WORK / "softhsm2.conf")
        (WORK / "tokens").mkdir()
        pin.write_text("2718\n")
        for command in ([ROOT / "tests/release/make_signing_key.sh", KEY],
                        ["softhsm2-util", "--init-token", "--free", "--label", "release", "--so-pin", "3141", "--pin",
                         "2718"], ["softhsm2-util", "--import", KEY / "signer.key", "--token", "release", "--label",
                                   "signer", "--id", "01", "--pin", "2718"]):
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        cls.authority = http.server.HTTPServer(("127.0.0.1", 0), TimeStampingAuthority)
        threading.Thread(target=cls.authority.serve_forever, daemon=True).start()
        module = [name for name in checks.run("dpkg", "-L", "libsofthsm2").stdout.split() if name.endswith("hsm2.so")]
        cls.token = [f"SIGN_PKCS11_MODULE={module[0]}", "SIGN_KEY=pkcs11:token=release;object=signer",
                     f"SIGN_CERTS={KEY / 'chain.pem'}", f"SIGN_PASSWORD_FILE={pin}"]
        # The maker's command: osslsigncode with the PKCS#12 file, after changing a byte with --change.
        cls.command = WORK / "sign.sh"
        cls.command.write_text(f"""[ "$1" = --change ] && shift && printf x | dd of="$1" bs=1 seek=4096 conv=notrunc
osslsigncode sign -pkcs12 {KEY}/signer.p12 -readpass {KEY}/password -in "$1" -out "$1.signed" && mv "$1.signed" "$1"
""")
        cls.stamped = f"SIGN_TIMESTAMP_URL=http://127.0.0.1:1 http://127.0.0.1:{cls.authority.server_port}"

    @classmethod
    def tearDownClass(cls):
        cls.authority.shutdown()

    def make(self, *variables):
        return make_installer(WORK / "make.log", f"WIN32_BUILD={self.build}", *variables)

    def test_a_token_and_a_command_sign_with_time_stamps(self):
        unsigned = set()
        for signer in (self.token, [f"SIGN_COMMAND=sh {self.command}"]):
            if not self.check(self.make("VERSION=1.2.3", self.stamped, *signer) == 0,
                              f"{signer[0]}: the build failed: " + said_last(WORK / "make.log", 3)):
                continue
            setup = self.build / "setup.exe"
            verified = checks.run("osslsigncode", "verify", "-CAfile", KEY / "ca.pem", "-TSA-CAfile",
                                  KEY / "tsa-ca.pem", "-in", setup)
            stamped = checks.run(ROOT / "scripts/signed_program.py", "timestamped", setup)
            self.check(verified.status == 0 and stamped.status == 0,
                       f"{signer[0]}: not verified with its time stamp: {verified.stdout[-300:]} {stamped.stderr}")
            program = setup.read_bytes()
            fixed = program.find(struct.pack("<I", 0xFEEF04BD)) + 8
            self.check(struct.unpack_from("<4I", program, fixed) == (0x10002, 0x30000) * 2
                       and b'version="1.2.3.0"' in program, f"{signer[0]}: the version is not 1.2.3.0")
            unsigned.add((self.build / "setup-unsigned.exe").read_bytes())
        self.check(len(unsigned) == 1, "the two signers were handed different programs")

    def test_mistakes_stop_the_build_in_one_line(self):
        p12, password = f"SIGN_PKCS12={KEY / 'signer.p12'}", KEY / "password"  # the PKCS#12 file's, not the PIN
        # The settings, whether the build got as far as signing, and what the
        # one line says, after the last setting's name and value.
        rows = [(["VERSION=1.2.3.4.5"], False, "not one to four numbers"),
                (["VERSION=1.65536"], False, "65536 is over 65535"),
                (self.token + [p12], False, "2 ways of signing at once", "SIGN_PKCS12 SIGN_PKCS11_MODULE"),
                (self.token + ["SIGN_PKCS11_MODULE=/no/module.so"], False, "no such file"),
                (self.token + ["SIGN_KEY=pkcs11:token=release;object=other"], True, "the token holds no such key"),
                (self.token + [f"SIGN_PASSWORD_FILE={password}"], True, "the token refused this PIN"),
                ([p12, f"SIGN_PASSWORD_FILE={password}", "SIGN_TIMESTAMP_URL=http://127.0.0.1:1"], True,
                 "no time-stamping server answered"),
                (["SIGN_COMMAND=false"], True, "exited with status 1"),
                ([f"SIGN_COMMAND=sh {self.command} --change"], True, "unsigned program at byte 4096"),
                (["SIGN_COMMAND=true"], True, "carries no Authenticode signature")]
        for variables, built, reason, *named in rows:
            named = named[0] if named else variables[-1].replace("=", " ", 1)
            status = self.make(*variables)
            said = [line for line in (WORK / "make.log").read_text().splitlines() if named in line and reason in line]
            left = sorted(path.name for path in self.build.glob("setup*.exe*"))
            self.check(status != 0 and len(said) == 1 and left == (["setup-unsigned.exe"] if built else []),
                       f"{named}: not refused in one line saying '{reason}', or left {left}: "
                       + said_last(WORK / "make.log", 3))

if __name__ == "__main__":
    GROUPS = {"refusals": Refusals, "reproducible": Reproducible, "signing": Signing, "signers": Signers}
    if len(sys.argv) < 2 or sys.argv[1] not in GROUPS:
        sys.exit(f"usage: release_test.py {'|'.join(GROUPS)} ARGUMENTS...")
    ARGUMENTS = sys.argv[2:]
    status = checks.main(GROUPS[sys.argv[1]])
    # A passed run leaves nothing behind.
    if status == 0:
        shutil.rmtree(ARGUMENTS[-1 if sys.argv[1] != "reproducible" else 0], ignore_errors=True)
    sys.exit(status)
