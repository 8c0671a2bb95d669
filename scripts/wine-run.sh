#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest: in a fresh copy of a template
# prefix, on a private Xvfb, with Wine's menu builder off; returns the
# program's exit code. Exit 77 (ctest's skip) for a 32-bit program on a host
# that cannot start 32-bit Wine.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#
# WINE_TEMPLATE names the template prefix (default build/wine-template);
# WINE_RUN_KEEP=1 keeps the run's prefix for a look afterwards.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/wine-env.sh"

program=${1:?usage: wine-run.sh PROGRAM.exe [ARGS...]}
shift
if ! loader=$(wine_loader "$program"); then
    echo "wine-run: skipped, this host cannot run 32-bit Windows programs: $(basename "$program")"
    exit 77
fi

template=${WINE_TEMPLATE:-$root/build/wine-template}
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
"$loader" "$program" "$@"
status=$?
set -e
exit "$status"
