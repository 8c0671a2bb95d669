#!/usr/bin/env bash
# What the build refuses because it would fail on a player's machine, one row
# each: quarn pack, given the installer's values, must exit non-zero with one
# line naming the value or the payload path, and write nothing. Paths at
# Windows' limits must still pass. Last, a refused `make installer` must
# leave no setup.exe, not even one from an earlier build.
#
#   refusals_test.sh QUARN WORK
set -uo pipefail

quarn=$1 work=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}
letters() { printf "$1%.0s" $(seq "$2"); }

# A game with its executable in a subfolder; trees whose one path is a byte
# over Windows' limits under C:\G, and one with paths right at them.
mkdir -p game/bin && echo game >game/bin/play.exe && echo data >game/data.txt
mkdir -p long-file/d && : >"long-file/d/$(letters f 253)"
mkdir -p long-folder/"$(letters d 243)"
mkdir -p at-limits/d "at-limits/$(letters d 242)" && : >"at-limits/d/$(letters f 252)"

# Packs TREE with OPTION VALUE, which must be refused with one line that
# names NAMED (the value itself unless given) and says REASON, and nothing
# written.
refused() {
    local tree=$1 option=$2 value=$3 reason=$4 named=${5:-$3}
    "$quarn" pack "$tree" out.qua "$option" "$value" >stdout 2>stderr
    local status=$? message
    message=$(head -c 300 stderr)
    if [ "$status" -eq 0 ]; then
        fail "$option '$value' on $tree: accepted"
    elif [ "$(wc -l <stderr)" -ne 1 ] || ! grep -qF -- "$named" stderr || ! grep -qF -- "$reason" stderr; then
        fail "$option '$value' on $tree: not one line naming '$named' and saying '$reason': $message"
    else
        echo "refused: $message"
    fi
    if ls out.qua* >/dev/null 2>&1; then
        fail "$option '$value' on $tree: left $(ls out.qua*)"
        rm -f out.qua*
    fi
}

forbidden='a character Windows does not allow'
refused game --install-dir 'Games\Marbrel' 'not an absolute path with a drive letter'
refused game --install-dir '\Games' 'not an absolute path with a drive letter'
refused game --install-dir 'C:\Games\' 'ends with a backslash'
refused game --install-dir 'C:\Games\\Marbrel' 'empty name'
refused game --install-dir 'C:\Ga|mes' "$forbidden"
refused game --install-dir 'C:\Games\Con' 'device name'
refused game --install-dir 'C:\Jeux Ω' 'Windows-1252 lacks'
refused game --exe-name 'bin\missing.exe' 'not a file of the payload'
refused game --exe-name 'bin' 'not a file of the payload'
refused game --exe-name 'bin/play.exe' "holds '/'"
refused game --exe-name 'C:\bin\play.exe' 'not a path inside the payload'
refused game --exe-name 'bin\pl*y.exe' "$forbidden"
refused game --product-name 'Marbrel: Deluxe' "$forbidden"
refused game --product-name $'Marbrel\tDeluxe' 'control character' 'Marbrel\x09Deluxe'
refused game --product-name 'Marbrel Ω' 'Windows-1252 lacks'
refused game --product-name 'Marbrel.' 'ends in a dot or space'
refused game --product-name "$(letters p 81)" 'over the 80'
refused long-file --install-dir 'C:\G' 'would be 260 UTF-16 units' long-file/d/fff
refused long-folder --install-dir 'C:\G' 'would be 248 UTF-16 units' long-folder/ddd

"$quarn" pack at-limits ok.qua --install-dir 'C:\G' >stdout 2>stderr || fail "paths at the limits refused: $(cat stderr)"
"$quarn" pack game ok.qua --install-dir 'C:\Program Files\Marbré' --exe-name 'BIN\Play.exe' \
    --product-name 'Marbré Deluxe' >stdout 2>stderr || fail "good values refused: $(cat stderr)"

# Through the build: a stale setup.exe goes, and none is made.
build=$work/win32
mkdir -p "$build"
echo stale >"$build/setup.exe"
env -u MAKEFLAGS -u MAKELEVEL make -C "$root" -o tools installer WIN32_BUILD="$build" INSTALL_DIR='Games\Marbrel' \
    >make.log 2>&1
status=$?
[ "$status" -ne 0 ] || fail "make installer accepted a relative install folder"
[ ! -e "$build/setup.exe" ] || fail "make installer left $build/setup.exe"
grep -qxF 'quarn: Games\Marbrel: install folder is not an absolute path with a drive letter (X:\...)' make.log ||
    fail "make installer did not say why: $(grep -v '^gmake\|^\[' make.log | tail -n 3)"

[ "$failures" -eq 0 ] || exit 1
rm -rf "$work"
echo "refusals: passed"
