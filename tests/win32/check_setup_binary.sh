#!/usr/bin/env bash
# Checks a built setup.exe as a user's machine would take it: the only DLL
# it imports the usual way is kernel32, and (with a limit given) it is no
# larger than that.
#
#   check_setup_binary.sh OBJDUMP SETUP.EXE [MAX_BYTES]
set -euo pipefail

objdump=$1
setup=$2
max=${3:-}
failures=0

# Ordinary imports are bound before the entry runs, so before setup.exe can
# keep the DLL search out of the folder it was started from. kernel32 is
# safe there: Windows maps it from its known-DLL list into every process,
# and under Wine it brings in only kernelbase and ntdll. Every other DLL is
# delay-loaded from the system folder (shell/dll_search.cpp).
static_dlls=' kernel32.dll '
dlls=$("$objdump" -p "$setup" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$dlls" ] || { echo "FAIL no imports read from $setup"; exit 1; }
for dll in $dlls; do
    if [[ $static_dlls == *" $dll "* ]]; then
        echo "imports $dll"
    else
        echo "FAIL imports $dll before its entry runs; list its functions in cmake/delay_load.cmake"
        failures=$((failures + 1))
    fi
done

if [ -n "$max" ]; then
    size=$(stat -c %s "$setup")
    echo "size $size bytes (limit $max)"
    [ "$size" -le "$max" ] || { echo "FAIL $setup is over $max bytes"; failures=$((failures + 1)); }
fi
exit $((failures != 0))
