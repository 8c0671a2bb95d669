#!/usr/bin/env bash
# Checks a built setup.exe as a user's machine and a security scanner would
# take it: the only DLL it imports the usual way is kernel32; its image
# flags ask for ASLR (with the relocations it needs), DEP and terminal-server
# awareness, and on 32-bit Windows say NO_SEH, which holds only while no
# code registers a structured exception handler (through %fs:0); and (with
# a limit given) it is no larger than that.
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

headers=$("$objdump" -p "$setup")
flags=$(sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$headers")
wanted=(DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE)
thirty_two=
if grep -q 'file format pei-i386' <<<"$headers"; then
    thirty_two=1
    wanted+=(NO_SEH)
fi
for flag in "${wanted[@]}"; do
    if grep -qw "$flag" <<<"$flags"; then
        echo "flag $flag"
    else
        echo "FAIL the image lacks $flag"
        failures=$((failures + 1))
    fi
done
relocations=$(sed -n 's/^Entry 5 [0-9a-f]* \([0-9a-f]*\) Base Relocation Directory.*/\1/p' <<<"$headers")
if [ -z "$relocations" ] || [ $((16#$relocations)) -eq 0 ]; then
    echo "FAIL no base relocations, so ASLR cannot move the image"
    failures=$((failures + 1))
fi
if [ -n "$thirty_two" ] && "$objdump" -d "$setup" | grep -E '%fs:0x0([^0-9a-fx]|$)' >"$setup.seh.txt"; then
    echo "FAIL the code registers an exception handler, so NO_SEH is false:"
    head -n 3 "$setup.seh.txt"
    failures=$((failures + 1))
fi
rm -f "$setup.seh.txt"

if [ -n "$max" ]; then
    size=$(stat -c %s "$setup")
    echo "size $size bytes (limit $max)"
    [ "$size" -le "$max" ] || { echo "FAIL $setup is over $max bytes"; failures=$((failures + 1)); }
fi
exit $((failures != 0))
