#!/usr/bin/env bash
# Checks a built setup.exe as a user's machine would take it: it imports
# only Windows' own DLLs, and (with a limit given) it is no larger than that.
#
#   check_setup_binary.sh OBJDUMP SETUP.EXE [MAX_BYTES]
set -euo pipefail

objdump=$1
setup=$2
max=${3:-}
failures=0

system_dlls=' advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll shell32.dll user32.dll '
dlls=$("$objdump" -p "$setup" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$dlls" ] || { echo "FAIL no imports read from $setup"; exit 1; }
for dll in $dlls; do
    if [[ $system_dlls == *" $dll "* ]]; then
        echo "imports $dll"
    else
        echo "FAIL imports $dll, which is not part of Windows"
        failures=$((failures + 1))
    fi
done

if [ -n "$max" ]; then
    size=$(stat -c %s "$setup")
    echo "size $size bytes (limit $max)"
    [ "$size" -le "$max" ] || { echo "FAIL $setup is over $max bytes"; failures=$((failures + 1)); }
fi
exit $((failures != 0))
