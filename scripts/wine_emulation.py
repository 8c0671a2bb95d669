"""32-bit Wine on a host whose kernel cannot start 32-bit Linux programs: the
program goes on in a private user and mount namespace whose own binfmt_misc
hands i386 programs to qemu-i386 (scripts/emulation/, built by the win32
tree into its emulation/ folder)."""

import os
import subprocess
import sys
from pathlib import Path

from wine_env import WineError, wine32_works

QEMU = Path("/usr/bin/qemu-i386-static")
BINFMT_MISC = "/proc/sys/fs/binfmt_misc"
NAMESPACE = ["unshare", "--user", "--map-root-user", "--mount"]


def wine32_mode():
    """How 32-bit Windows programs run here: native, emulated or none.
    WINE32_EMULATION=1 asks for the emulation where the kernel could run them
    itself, to try it on such a host."""
    if os.environ.get("WINE_EMULATION_INSIDE"):
        return "emulated"
    if os.environ.get("WINE32_EMULATION") != "1" and wine32_works():
        return "native"
    # The kernel gives each user namespace a binfmt_misc of its own (Linux
    # 6.7 and later); older ones cannot run the emulation.
    if not QEMU.exists():
        return "none"
    mounted = subprocess.run([*NAMESPACE, "mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_MISC],
                             stderr=subprocess.DEVNULL)
    return "emulated" if mounted.returncode == 0 else "none"


def enter_emulation(tools):
    """Makes the calling program go on inside the emulation, with the
    interpreter and shim that the build made in TOOLS; call it before any
    32-bit program starts. The first call starts the program again in a
    private user and mount namespace; there the call registers
    TOOLS/qemu-i386-wine in the namespace's own binfmt_misc and returns. The
    host's table is neither mounted nor changed. The emulated processes
    preload a shim for a fault of qemu-i386's (emu-tls-shim.c)."""
    tools = Path(tools)
    interpreter = tools / "qemu-i386-wine"
    if not os.environ.get("WINE_EMULATION_INSIDE"):
        if not interpreter.is_file():
            raise WineError(f"the emulation's tools are not built in {tools}")
        os.environ["WINE_EMULATION_INSIDE"] = "1"
        sys.stdout.flush()
        os.execvp(NAMESPACE[0], [*NAMESPACE, sys.executable, *sys.argv])
    if subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_MISC]).returncode != 0:
        raise WineError("cannot mount the namespace's binfmt_misc")
    magic = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
    mask = r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
    # Flag F opens the interpreter now, so it serves whatever the namespace
    # later mounts.
    Path(BINFMT_MISC, "register").write_text(f":qemu-i386:M::{magic}:{mask}:{interpreter}:F\n")
    os.environ["WINE_EMULATION_SHIM"] = str(tools / "shim")


def template_for_mode(template):
    """The template prefix for this mode: the emulation's is made inside it, or
    its 32-bit half stays empty on a host without 32-bit support."""
    template = Path(template)
    return template.with_name(template.name + "-emulated") if os.environ.get("WINE_EMULATION_INSIDE") else template
