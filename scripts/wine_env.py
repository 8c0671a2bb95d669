"""Wine for the tests and the demo: picks the loader for a program, makes and
copies prefixes, maps Windows paths into a prefix, starts a private Xvfb,
and runs Wine programs, starting once more one that the host failed before
it ran. Importing it changes nothing; its functions raise WineError."""

import fcntl
import functools
import os
import re
import select
import shlex
import shutil
import subprocess
from contextlib import contextmanager
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

WINE32_LOADER = "/usr/lib/wine/wine"
WINE64_LOADER = "/usr/lib/wine/wine64"

# Wine takes its programs' 8-bit code page from their locale (wine_environment):
# Windows-1252 for C.UTF-8. A prefix is made in it too, so that its folders
# have their English names.
DEFAULT_LOCALE = "C.UTF-8"

# Wine's and qemu's reports of a crashed program.
CRASH_REPORTS = re.compile(r"Unhandled exception|page fault|uncaught target signal|wine: Assertion")
# What a busy host makes a Wine start fail with before the program's first
# instruction; such a start is made once more.
HOST_FAILURES = re.compile(r"failed to map the shared user data")

# WINEDEBUG's +pid starts each line Wine logs with the ids of the process and
# the thread, then the line's class; +process adds a line naming each process
# started, with its image and id.
PROCESS_DEBUG = "+pid,+process"
LOGGED = re.compile(r"^([0-9a-f]{4,8}):[0-9a-f]{4,8}:(\w+):")
STARTED = re.compile(r':trace:process:NtCreateUserProcess L"(?:\\\\\?\?\\\\)?(.*?)" pid ([0-9a-f]{4,8}) ')
# A test program says its own id in a line "NAME: process ID" on stderr:
# every Wine server numbers its processes anew, so an id that one of Wine's
# own processes had under an earlier server can be a test program's now.
DECLARED = re.compile(r"^[\w.-]+: process ([0-9a-f]{4,8})$")
# Wine's own programs (services, drivers, the desktop, wineboot, the
# debugger) run from its Windows folder; the programs under test never do.
WINE_FOLDER = "c:\\windows\\"


def wine_reports(log):
    """The error lines and crash reports in LOG, the stderr of Wine runs with
    PROCESS_DEBUG, as (ours, wines): wines are those of Wine's own processes,
    ours all others, a line that names no process included. Each line comes
    after the name of the process that logged it, where the log tells it."""
    images, ours, wines = {}, [], []
    for line in log.splitlines():
        started, declared, logged = STARTED.search(line), DECLARED.match(line), LOGGED.match(line)
        if started:
            images[started[2]] = started[1].replace("\\\\", "\\")
        elif declared:
            images[declared[1]] = None
        if not (logged[2] == "err" if logged else "err:" in line) and not CRASH_REPORTS.search(line):
            continue
        image = images.get(logged[1]) if logged else None
        said = f"{image.rsplit(chr(92), 1)[-1]}: {line}" if image else line
        (wines if image and image.lower().startswith(WINE_FOLDER) else ours).append(said)
    return ours, wines


class WineError(Exception):
    """Wine cannot run what was asked for here; the message says why."""


def driver_text(raw):
    """A line the driver printed; it prints UTF-8 whatever the code page."""
    return raw.decode("utf-8", errors="replace").replace("\r", "")


def last_line(text):
    return (text.strip().splitlines() or ["no output"])[-1]


def installer_config(path):
    """An installer.env of the build (product, install_dir, exe_name,
    payload_tree, name_encoding)."""
    return dict(shlex.split(line)[0].split("=", 1) for line in Path(path).read_text().splitlines())


def is_32bit_program(program):
    """True for a 32-bit Windows program, false for a 64-bit one; WineError
    for anything else."""
    try:
        with open(program, "rb") as file:
            file.seek(60)
            file.seek(int.from_bytes(file.read(4), "little") + 4)
            machine = int.from_bytes(file.read(2), "little")
    except OSError as error:
        raise WineError(f"{program}: {error.strerror}") from None
    if machine not in (0x14C, 0x8664):
        raise WineError(f"{program} is not a Windows program for x86 or x86-64")
    return machine == 0x14C


def wine32_works():
    """True when 32-bit Wine starts: on a host whose kernel runs 32-bit Linux
    programs, or inside the emulation (wine_emulation.py)."""
    try:
        version = subprocess.run([WINE32_LOADER, "--version"], capture_output=True, text=True)
    except OSError:
        return False
    return version.stdout.startswith("wine-")


@contextmanager
def locked(path):
    """Holds an exclusive lock on PATH; concurrent holders wait."""
    with open(path, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def launcher():
    """WINE_LAUNCHER, put before every Wine loader (a fake, in tests of the retry)."""
    return os.environ.get("WINE_LAUNCHER", "").split()


@functools.lru_cache
def loader(program):
    """The command that starts PROGRAM: Wine's 64-bit loader for a 64-bit
    program, its 32-bit one for a 32-bit one."""
    if not is_32bit_program(program):
        return (*launcher(), WINE64_LOADER)
    if not wine32_works():
        raise WineError(f"32-bit Wine does not start here, for {program}")
    return (*launcher(), WINE32_LOADER)


FONT_LINKS = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink"
X11_DRIVER = "HKCU\\Software\\Wine\\X11 Driver"
# What the template holds beyond a new prefix, as arguments of `reg add`.
TEMPLATE_SETTINGS = (
    # The dialogs' font has Latin, Greek and Cyrillic letters only; linked to
    # the font with every script that install-deps installs, names in any
    # script show, as on a Windows with its East Asian fonts.
    (FONT_LINKS, "/v", "MS Sans Serif", "/t", "REG_MULTI_SZ", "/d", "wqy-microhei.ttc,WenQuanYi Micro Hei"),
    # No window manager runs on the private Xvfb, and Wine 8 waits two
    # seconds for one at each managed window that closes; Wine draws the
    # frames of unmanaged windows itself, and waits for nobody.
    (X11_DRIVER, "/v", "Managed", "/d", "N"),
)


def prefix_loader():
    """The loader that makes and sets up prefixes: the 64-bit one, which makes
    a prefix that serves both kinds of program."""
    return WINE64_LOADER if os.access(WINE64_LOADER, os.X_OK) else "wine"


def reg_add(env, key, *arguments):
    """`reg add KEY ARGUMENTS` in the prefix of ENV; WineError when it fails."""
    added = subprocess.run([*launcher(), prefix_loader(), "reg", "add", key, *arguments, "/f"], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
    if added.returncode != 0:
        raise WineError(f"cannot set {key} in {env['WINEPREFIX']}: {last_line(added.stderr)}")


def manage_windows(env):
    """Gives the windows of ENV's prefix, made from the template, to the
    window manager of a display of the user's own."""
    reg_add(env, X11_DRIVER, "/v", "Managed", "/d", "Y")


def make_template(template):
    """Makes the template prefix TEMPLATE once, and again when
    TEMPLATE_SETTINGS change; concurrent callers wait for the first."""
    template = Path(template)
    template.parent.mkdir(parents=True, exist_ok=True)
    settings = "".join(" ".join(setting) + "\n" for setting in TEMPLATE_SETTINGS)
    with locked(f"{template}.lock"):
        ready = template / ".ready"
        if ready.exists() and ready.read_text() == settings:
            return
        env = dict(os.environ, WINEPREFIX=str(template), WINEDEBUG="-all", WINEDLLOVERRIDES="winemenubuilder.exe=d",
                   LANG=DEFAULT_LOCALE, LC_ALL=DEFAULT_LOCALE)

        def start():
            shutil.rmtree(template, ignore_errors=True)
            booted = subprocess.run([*launcher(), prefix_loader(), "wineboot", "-i"], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
            wineserver(env, "-w")
            made = (template / "system.reg").is_file()
            return made, None if made else last_line(booted.stderr)

        if not once_more(start, f"wineboot in {template}"):
            raise WineError(f"wineboot made no prefix in {template}")
        for setting in TEMPLATE_SETTINGS:
            reg_add(env, *setting)
        wineserver(env, "-w")
        ready.write_text(settings)


def new_prefix(template, dest):
    """A fresh prefix DEST from TEMPLATE in a tenth of a second. The files are
    hard links to the template's, which is safe because Wine writes its
    registry by replacing the files and programs only add new ones; a run that
    writes into a file of the prefix itself (a planted hard link) must first
    give that file its own copy."""
    dest = Path(dest)
    subprocess.run(["cp", "-al", template, dest], check=True)
    for registry in dest.glob("*.reg"):
        registry.unlink()
        shutil.copy2(Path(template) / registry.name, registry)


def prefix_path(prefix, path):
    """Where in PREFIX the Windows path PATH (X:\\...) is."""
    return Path(f"{prefix}/dosdevices/{path[0].lower()}:{path[2:].replace(chr(92), '/')}")


def winpath(path):
    """The Windows path of a host path, through Wine's Z: drive."""
    return "Z:" + str(path).replace("/", "\\")


@contextmanager
def private_display():
    """A private Xvfb on a free display; yields its DISPLAY value."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                            pass_fds=(write,), stderr=subprocess.DEVNULL)
    os.close(write)
    # The number comes once the server listens. The pipe stays open while the
    # server runs: it writes the number again at each reset, and would die of
    # a closed pipe.
    try:
        number = ""
        if select.select([read], [], [], 10)[0]:
            number = os.read(read, 64).decode().strip()
        if not number:
            raise WineError("Xvfb did not start")
        yield f":{number}"
    finally:
        os.close(read)
        xvfb.terminate()
        xvfb.wait()


def wine_environment(prefix, display, locale=DEFAULT_LOCALE, debug="-all"):
    """The environment of one run's Wine processes; Wine's menu builder is off."""
    return dict(os.environ, WINEPREFIX=str(prefix), DISPLAY=display, LANG=locale, LC_ALL=locale,
                WINEDEBUG=debug, WINEDLLOVERRIDES="winemenubuilder.exe=d")


def wineserver(env, *flags):
    """wineserver -k ends a prefix's programs and server, -w waits for it."""
    subprocess.run(["wineserver", *flags], env=env, stderr=subprocess.DEVNULL)


def host_failure(stderr):
    """The line of a program's stderr that says the host failed its start."""
    return next((line for line in stderr.splitlines() if HOST_FAILURES.search(line)), None)


def once_more(start, what):
    """Calls START, which starts a program and returns (RESULT, WHY): WHY says
    how the host failed the start before the program ran, or is None. Such a
    start is made once more, and said; one that got as far as the program
    never is. Returns the RESULT of the last start."""
    result, why = start()
    if why:
        print(f"{what}: the host failed the start ({why.strip()}); starting it once more", flush=True)
        result, _ = start()
    return result


def run_wine(command, env, log, echo, cwd=None):
    """Runs the Windows program COMMAND[0] with its arguments under Wine to its
    end and returns its exit code. Each line it prints goes to ECHO as bytes
    when it comes; its stderr is added to the file LOG. A start the host
    failed before the program printed anything is made once more, and its
    stderr moves from LOG to LOG.retried."""
    def start():
        with open(log, "ab") as stderr:
            begin = stderr.tell()
            process = subprocess.Popen([*loader(command[0]), *command], env=env, cwd=cwd, stdout=subprocess.PIPE,
                                       stderr=stderr)
            printed = False
            for line in process.stdout:
                printed = True
                echo(line)
            status = process.wait()
        if printed or status == 0:
            return status, None
        with open(log, "rb+") as file:
            file.seek(begin)
            said = file.read()
            why = host_failure(said.decode(errors="replace"))
            if why:
                file.truncate(begin)
                with open(f"{log}.retried", "ab") as retried:
                    retried.write(said)
        return status, why

    return once_more(start, Path(command[0]).name)
