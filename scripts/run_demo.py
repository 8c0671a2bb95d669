#!/usr/bin/env python3
"""`make demo`: runs the built setup.exe under Wine in its own prefix. With a
display the user sees and clicks the real dialogs; without one it runs on a
private Xvfb, the end-to-end driver presses Install and OK, and a PNG of
each dialog met is saved. Either way it prints the exit code, where the game
went and the Start-menu link that was made.

It runs the 32-bit setup.exe that ships: natively where the kernel can
start 32-bit programs, under emulation where it cannot (see
wine_emulation.py; WINE32_EMULATION=1 asks for it anyway), and where neither works, the 64-bit
build of the same sources instead.

The product name and install folder come from the build's installer.env,
so the demo follows `make demo PRODUCT_NAME=... INSTALL_DIR=...`.

Overrides: SETUP_EXE with SETUP_CONFIG (its installer.env), DRIVER_EXE,
DEMO_DIR, DEMO_PREFIX (an existing prefix to use), DEMO_HEADLESS=1 (drive it
even when DISPLAY is set)."""

import os
import shutil
import subprocess
import sys
from contextlib import nullcontext
from pathlib import Path

from wine_emulation import enter_emulation, template_for_mode, wine32_mode
from wine_env import (ROOT, WineError, driver_text, installer_config, loader, make_template, manage_windows,
                      new_prefix, prefix_path, private_display, run_wine, wine_environment, wineserver, winpath)


def main():
    tree, template = ROOT / "build" / "win32", ROOT / "build" / "wine-template"
    if not os.environ.get("SETUP_EXE"):
        mode = wine32_mode()
        if mode == "emulated":
            enter_emulation(tree / "emulation")
            print("== this host cannot start 32-bit programs: running the 32-bit installer under emulation")
            template = template_for_mode(template)
        elif mode == "none":
            tree = ROOT / "build" / "win64"
            print("== this host cannot start 32-bit programs: showing the 64-bit build of the same installer")
    setup = Path(os.environ.get("SETUP_EXE") or tree / "setup.exe")
    config = Path(os.environ.get("SETUP_CONFIG") or tree / "setup" / "installer.env")
    driver = Path(os.environ.get("DRIVER_EXE") or tree / "tests" / "e2e" / "driver.exe")
    demo = Path(os.environ.get("DEMO_DIR") or ROOT / "build" / "demo")
    for file in (setup, config, driver):
        if not file.is_file():
            sys.exit(f"run-demo: {file} is missing; build it with 'make windows-trees'")
    demo.mkdir(parents=True, exist_ok=True)
    if os.environ.get("DEMO_PREFIX"):
        prefix = Path(os.environ["DEMO_PREFIX"])
    else:
        # A fresh prefix each time, so the run starts from a clean machine.
        prefix = demo / "wineprefix"
        print(f"== making a fresh Wine prefix in {prefix}", flush=True)
        make_template(template)
        shutil.rmtree(prefix, ignore_errors=True)
        new_prefix(template, prefix)
    headless = os.environ.get("DEMO_HEADLESS") or not os.environ.get("DISPLAY")
    values = installer_config(config)
    with private_display() if headless else nullcontext(os.environ["DISPLAY"]) as display:
        env = wine_environment(prefix, display, debug=os.environ.get("WINEDEBUG", "fixme-all"))
        try:
            return show(setup, driver, demo, values, env, headless)
        finally:
            wineserver(env, "-k")


def show(setup, driver, demo, values, env, headless):
    if headless:
        print(f"== no display: driving {setup} on a private Xvfb", flush=True)
        for old in [*demo.glob("IDD_*.bmp"), *demo.glob("IDD_*.png")]:
            old.unlink()
        lines = []

        def echo(raw):
            line = driver_text(raw)
            if not line.startswith("  control"):
                lines.append(line)
                print(line, end="", flush=True)

        driven = run_wine([driver, "run", winpath(setup), "--product", values["product"], "--install-dir",
                           values["install_dir"], "install=ok", "progress=wait", "success=ok", "--exit", "0",
                           "--shots", winpath(demo)], env, demo / "wine.log", echo)
        (demo / "driver.log").write_text("".join(lines))
        status = next((line.split()[1] for line in lines if line.startswith("exit ")), "none")
        for bmp in demo.glob("IDD_*.bmp"):
            subprocess.run(["convert", bmp, bmp.with_suffix(".png")], check=True)
            bmp.unlink()
            print(f"picture {bmp.with_suffix('.png')}")
    else:
        manage_windows(env)
        print(f"== running {setup} on {env['DISPLAY']}; answer the dialogs", flush=True)
        status, driven = subprocess.run([*loader(setup), setup], env=env).returncode, 0

    print(f"exit code {status}")
    installed = prefix_path(env["WINEPREFIX"], values["install_dir"])
    if installed.is_dir():
        print(f"installed into {values['install_dir']}\n          = {installed}")
    else:
        print("nothing installed")
    # setup.exe, run with administrator rights as Wine runs it, puts its link
    # into the Programs folder of all accounts.
    drive = Path(env["WINEPREFIX"]) / "drive_c"
    link = next((found for folder in (drive / "ProgramData", drive / "users")
                 for found in folder.glob("**/Start Menu/Programs/**/*.lnk")), None)
    if link:
        print(f"link {link}", flush=True)
        run_wine([driver, "read-link", winpath(link)], env, demo / "wine.log", echo_indented)
    else:
        print("no Start-menu link")
    return driven


def echo_indented(raw):
    print("     " + driver_text(raw), end="", flush=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except WineError as error:
        sys.exit(f"run-demo: {error}")
