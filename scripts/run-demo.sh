#!/usr/bin/env bash
# `make demo`: runs the built setup.exe under Wine in its own prefix. With a
# display the user sees and clicks the real dialogs; without one it runs on a
# private Xvfb, the end-to-end driver presses Install and OK, and a PNG of
# each dialog met is saved. Either way it prints the exit code, where the game
# went and the Start-menu link that was made.
#
# It runs the 32-bit setup.exe that ships: natively where the kernel can
# start 32-bit programs, under emulation where it cannot (see wine-env.sh;
# WINE32_EMULATION=1 asks for it anyway), and where neither works, the 64-bit
# build of the same sources instead.
#
# The product name and install folder come from the build's installer.env,
# so the demo follows `make demo PRODUCT_NAME=... INSTALL_DIR=...`.
#
# Overrides: SETUP_EXE with SETUP_CONFIG (its installer.env), DRIVER_EXE,
# DEMO_DIR, DEMO_PREFIX (an existing prefix to use), DEMO_WINE (the Wine
# loader), DEMO_HEADLESS=1 (drive it even when DISPLAY is set).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env.sh"

tree=$root/build/win32
template=$root/build/wine-template
if [ -z "${SETUP_EXE:-}" ]; then
    case $(wine32_mode) in
    emulated)
        enter_emulation "$0" "$@"
        echo "== this host cannot start 32-bit programs: running the 32-bit installer under emulation"
        template=$(template_for_mode "$template")
        ;;
    none)
        tree=$root/build/win64
        echo "== this host cannot start 32-bit programs: showing the 64-bit build of the same installer"
        ;;
    esac
fi
setup=${SETUP_EXE:-$tree/setup.exe}
config=${SETUP_CONFIG:-$tree/setup/installer.env}
driver=${DRIVER_EXE:-$tree/tests/e2e/driver.exe}
demo=${DEMO_DIR:-$root/build/demo}

for file in "$setup" "$config" "$driver"; do
    if [ ! -f "$file" ]; then
        echo "run-demo: $file is missing; build it with 'make windows-trees'" >&2
        exit 1
    fi
done
wine=${DEMO_WINE:-$(wine_loader "$setup")}
mkdir -p "$demo"
export WINEDLLOVERRIDES=winemenubuilder.exe=d
export WINEDEBUG=${WINEDEBUG:-fixme-all}
if [ -n "${DEMO_PREFIX:-}" ]; then
    export WINEPREFIX=$DEMO_PREFIX
else
    # A fresh prefix each time, so the run starts from a clean machine.
    echo "== making a fresh Wine prefix in $demo/wineprefix"
    make_template "$template"
    export WINEPREFIX=$demo/wineprefix
    rm -rf "$WINEPREFIX"
    new_prefix "$template" "$WINEPREFIX"
fi

winpath() {
    printf 'Z:%s' "$1" | tr / '\\'
}

xvfb_pid=
cleanup() {
    wineserver -k 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

headless=${DEMO_HEADLESS:-}
if [ -z "${DISPLAY:-}" ]; then
    headless=1
fi
if [ -n "$headless" ]; then
    start_private_display "$demo/display"
fi

# product, install_dir, exe_name, payload_tree
source "$config"
unix_dir=$(prefix_path "$WINEPREFIX" "$install_dir")

if [ -n "$headless" ]; then
    echo "== no display: driving $setup on a private Xvfb"
    rm -f "$demo"/IDD_*.bmp "$demo"/IDD_*.png
    set +e
    "$wine" "$driver" run "$(winpath "$setup")" --product "$product" --install-dir "$install_dir" \
        install=ok progress=wait success=ok --exit 0 --shots "$(winpath "$demo")" 2>"$demo/wine.log" |
        tr -d '\r' | grep -v '^  control' | tee "$demo/driver.log"
    driven=${PIPESTATUS[0]}
    set -e
    status=$(sed -n 's/^exit \([0-9]*\) .*/\1/p' "$demo/driver.log")
    for bmp in "$demo"/IDD_*.bmp; do
        [ -f "$bmp" ] || continue
        convert "$bmp" "${bmp%.bmp}.png"
        rm -f "$bmp"
        echo "picture ${bmp%.bmp}.png"
    done
else
    echo "== running $setup on $DISPLAY; answer the dialogs"
    set +e
    "$wine" "$setup"
    status=$?
    set -e
    driven=0
fi

echo "exit code ${status:-none}"
if [ -d "$unix_dir" ]; then
    echo "installed into $install_dir"
    echo "          = $unix_dir"
else
    echo "nothing installed"
fi
# The Programs folder of all accounts, where setup.exe, run with
# administrator rights as Wine runs it, puts its link.
link=$(find "$WINEPREFIX/drive_c/ProgramData" "$WINEPREFIX/drive_c/users" -path '*Start Menu/Programs/*' \
    -name '*.lnk' -print -quit 2>/dev/null || true)
if [ -n "$link" ]; then
    echo "link $link"
    "$wine" "$driver" read-link "$(winpath "$link")" 2>/dev/null | tr -d '\r' |
        sed 's/^/     /'
else
    echo "no Start-menu link"
fi
exit "$driven"
