#!/bin/sh
# ctest's emulator for the Windows test programs; see wine_run.py.
exec python3 "$(dirname "$0")/wine_run.py" "$@"
