#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest: in a fresh copy of a template
# prefix, on a private Xvfb, with Wine's menu builder off; returns the
# program's exit code. A 32-bit program runs natively where the kernel can
# start 32-bit programs, under emulation where it cannot (see wine-env.sh),
# and is skipped with exit 77 (ctest's skip) where neither works. A crash
# report from Wine or qemu fails the run whatever the exit code.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#
# WINE_TEMPLATE names the template prefix (default build/wine-template);
# WINE_RUN_KEEP=1 keeps the run's prefix for a look afterwards;
# WINE32_EMULATION=1 runs a 32-bit program under emulation even here.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env.sh"

program=${1:?usage: wine-run.sh PROGRAM.exe [ARGS...]}
if is_32bit_program "$program"; then
    case $(wine32_mode) in
    emulated) enter_emulation "$0" "$@" ;;
    none)
        echo "wine-run: skipped, this host cannot run 32-bit Windows programs: $(basename "$program")"
        exit 77
        ;;
    esac
fi
shift
loader=$(wine_loader "$program")

template=$(template_for_mode "${WINE_TEMPLATE:-$root/build/wine-template}")
make_template "$template"

runs=$(dirname "$template")/wine-runs
mkdir -p "$runs"
work=$(mktemp -d "$runs/run.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDLLOVERRIDES=winemenubuilder.exe=d
export WINEDEBUG=${WINEDEBUG:--all}

xvfb_pid=
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    if [ -n "${WINE_RUN_KEEP:-}" ]; then
        echo "wine-run: prefix kept in $WINEPREFIX" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

new_prefix "$template" "$WINEPREFIX"
start_private_display "$work/display"

set +e
"$loader" "$program" "$@" 2>"$work/stderr"
status=$?
set -e
wineserver -w 2>/dev/null || true
cat "$work/stderr" >&2
if grep -E "$crash_reports" "$work/stderr" >/dev/null; then
    echo "wine-run: $(basename "$program") crashed (exit code $status)" >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
