#!/usr/bin/env bash
# Runs one end-to-end scenario of setup.exe under Wine, in a fresh prefix and
# on a private Xvfb display, with the driver pressing the dialogs; then checks
# what was left on disk and what Wine reported.
#
#   scenario.sh template              make the template prefix (once)
#   scenario.sh NAME                  run scenario NAME (see the case below)
#
# Settings come from the environment (the test registration sets them):
#   E2E_SETUP          setup.exe under test          E2E_DRIVER   driver.exe
#   E2E_NOPARENT_SETUP setup.exe whose install folder has no parent
#   E2E_OTHER_SETUP    setup.exe of a second configuration with other names
#   E2E_*_CONFIG       each one's installer.env from the build: its product
#                      name, install folder, executable and payload folder
#   E2E_QUARN          the host packer                E2E_WORK     scratch folder
#   E2E_TEMPLATE       template prefix
#   E2E_DEMO           scripts/run-demo.sh (pictures scenario)
#   E2E_PLANTED_DLL    a DLL that leaves NAME.loaded beside itself when loaded
#   E2E_DAMAGED_SETUP  setup.exe with its payload cut short (smoke runs)
# Exit 77 (ctest's skip) when this host cannot run the programs under test.
#
# A 32-bit setup.exe runs natively where the kernel can start 32-bit
# programs. Where it cannot, it runs under emulation (see wine-env.sh), and
# there only the smoke-* scenarios run: they press the dialogs through X and
# read the results from outside, with no second 32-bit program beside the
# installer; the driver's scenarios are left to the 64-bit twin. The smoke
# runs skip where 32-bit programs run natively, since the driver's scenarios
# cover them there; WINE32_EMULATION=1 runs them under emulation anyway.
set -euo pipefail

name=${1:?scenario name}
template=${E2E_TEMPLATE:?}
source "$(dirname "$0")/../../scripts/wine-env.sh"
smoke=
[[ $name != smoke-* ]] || smoke=1
if is_32bit_program "$E2E_SETUP"; then
    mode=$(wine32_mode)
    if [ "$mode" = none ]; then
        echo "scenario $name: skipped, this host cannot run 32-bit Windows programs"
        exit 77
    elif [ "$mode" = emulated ] && [ -z "$smoke" ] && [ "$name" != template ]; then
        echo "scenario $name: skipped under emulation, where only the smoke runs go (the 64-bit twin runs it)"
        exit 77
    elif [ "$mode" = native ] && [ -n "$smoke" ]; then
        echo "scenario $name: skipped, 32-bit programs run natively here (WINE32_EMULATION=1 runs it emulated)"
        exit 77
    fi
    [ "$mode" = native ] || enter_emulation "$0" "$@"
    template=$(template_for_mode "$template")
fi
wine=$(wine_loader "$E2E_SETUP")
export WINEDLLOVERRIDES=winemenubuilder.exe=d
# Errors and crash reports stay on; the many unimplemented-feature notes go.
export WINEDEBUG=fixme-all

if [ "$name" = template ]; then
    make_template "$template"
    exit 0
fi

work=${E2E_WORK:?}/$name
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/prefix
log=$work/wine.log
failures=0
xvfb_pid=

fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

cleanup() {
    WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
    fi
}
trap cleanup EXIT

winpath() {
    printf 'Z:%s' "$1" | tr / '\\'
}

# The driver prints UTF-8.
drive() {
    "$wine" "$E2E_DRIVER" "$@" 2>>"$log" | tr -d '\r' | tee -a "$work/driver.log"
    return "${PIPESTATUS[0]}"
}

# The configuration of the setup.exe under test, from the build: product,
# install_dir (its Windows path), exe_name, payload_tree; and
# install_folder, where install_dir is in the prefix.
use_config() {
    source "$1"
    install_folder=$(prefix_path "$WINEPREFIX" "$install_dir")
}

run() {
    local setup=$1
    shift
    drive run "$(winpath "$setup")" --product "$product" --install-dir "$install_dir" "$@" ||
        fail "driver: expectations not met"
}

# Wine runs setup.exe with administrator rights, so its link goes into the
# Programs folder of all accounts; own_programs is the account's own.
programs() {
    printf '%s' "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
}
own_programs() {
    find "$WINEPREFIX/drive_c/users" -type d -path '*Start Menu/Programs' -print -quit
}

expect_nothing_written() {
    [ ! -e "$install_folder" ] || fail "install folder exists: $install_folder"
    local group
    group="$(programs)/$product"
    [ ! -e "$group" ] || fail "Start-menu group exists: $group"
}

expect_tree() {
    if ! diff -r "$payload_tree" "$install_folder" >"$work/diff.txt" 2>&1; then
        fail "install folder differs from the payload tree:"
        head -20 "$work/diff.txt"
    fi
}

# The Start-menu link, read back by the shell's own link object through the
# driver, or, with "outside", by liblnk's lnkinfo.
expect_link() {
    local link
    link="$(programs)/$product/$product.lnk"
    if [ ! -f "$link" ]; then
        fail "no link at $link"
        return
    fi
    if [ "${1:-}" = outside ]; then
        lnkinfo "$link" | sed -n 's/^\tLocal path\t*: /target /p; s/^\tWorking directory\t*: /working /p
            s/^\tDescription\t*: /description /p' >"$work/link.txt"
    else
        drive read-link "$(winpath "$link")" >"$work/link.txt" || fail "link cannot be read"
    fi
    grep -qxF "target $install_dir\\$exe_name" "$work/link.txt" || fail "link target"
    grep -qxF "working $install_dir" "$work/link.txt" || fail "link working folder"
    grep -qxF "description $product" "$work/link.txt" || fail "link description"
}

# Starts SETUP on its own, as a double click would.
start_setup() {
    "$wine" "$1" 2>>"$log" &
    setup_pid=$!
    echo "started $1"
}

# Waits for the dialog captioned CAPTION and presses KEY in it (Return for
# its default button, Escape for Cancel); fails when it does not come.
press() {
    local caption=$1 key=$2 pattern window=
    pattern="^$(printf '%s' "$caption" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$"
    for _ in $(seq 300); do
        window=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -n 1) && [ -n "$window" ] && break
        kill -0 "$setup_pid" 2>/dev/null || break
        sleep 0.2
    done
    if [ -z "$window" ]; then
        fail "\"$caption\" did not appear"
        return 1
    fi
    echo "press \"$caption\" $key"
    xdotool key --window "$window" "$key" 2>/dev/null
}

# Waits for the installer to end and checks its exit code.
expect_exit() {
    local expected=$1 status=0
    for _ in $(seq 300); do
        kill -0 "$setup_pid" 2>/dev/null || break
        sleep 0.2
    done
    if kill -0 "$setup_pid" 2>/dev/null; then
        fail "setup.exe still running"
        kill "$setup_pid" 2>/dev/null || true
    fi
    wait "$setup_pid" || status=$?
    echo "exit $status"
    [ "$status" -eq "$expected" ] || fail "exit code $status, expected $expected"
}

# Writes $work/NAME-setup.exe: setup.exe carrying the payload $work/NAME.qua.
setup_with_payload() {
    local name=$1
    drive payload-set "$(winpath "$E2E_SETUP")" "$(winpath "$work/$name-setup.exe")" \
        "$(winpath "$work/$name.qua")" >/dev/null
}

# BYTES bytes that do not compress, the same for the same SEED.
noise() {
    local bytes=$1 seed=$2
    head -c "$bytes" < <(openssl enc -aes-128-ctr -nosalt -pass "pass:$seed" -pbkdf2 </dev/zero 2>/dev/null)
}

# The seeded noise tree over the 32-bit percentage limit, packed without
# compression gain, with the game's executable where the link expects it.
make_large_setup() {
    local bytes=$1 tree=$work/large-tree exe=${exe_name//\\//}
    mkdir -p "$tree/data" "$(dirname "$tree/$exe")"
    cp "$payload_tree/$exe" "$tree/$exe"
    local part=$((bytes / 4))
    for i in 1 2 3 4; do
        noise "$part" "$i" >"$tree/data/block$i.bin"
    done
    "$E2E_QUARN" pack "$tree" "$work/large.qua" --level 1
    setup_with_payload large
    large_tree=$tree
}

# Replaces the run's prefix by a fresh one, for scenarios of several runs.
renew_prefix() {
    # The old server must be gone before the new prefix at the same path
    # starts one; a program could otherwise reach the dying one.
    WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
    WINEPREFIX=$WINEPREFIX wineserver -w 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    new_prefix "$template" "$WINEPREFIX"
}

# A tree of COUNT small files in folders of 500.
make_many_files_setup() {
    local count=$1 tree=$work/many-tree
    mkdir -p "$tree"
    for ((i = 0; i < count; i++)); do
        [ $((i % 500)) -ne 0 ] || mkdir -p "$tree/part$((i / 500))"
        printf 'file %d\n' "$i" >"$tree/part$((i / 500))/f$i.txt"
    done
    "$E2E_QUARN" pack "$tree" "$work/many.qua"
    setup_with_payload many
    many_tree=$tree
}

new_prefix "$template" "$WINEPREFIX"
use_config "$E2E_SETUP_CONFIG"
start_private_display "$work/display" || { echo "FAIL Xvfb did not start"; exit 1; }

case $name in
smoke-decline)
    start_setup "$E2E_SETUP"
    press "$product Installation Utility" Escape
    expect_exit 0
    expect_nothing_written
    ;;
smoke-install)
    start_setup "$E2E_SETUP"
    press "$product Installation Utility" Return && press "$product - Install Complete" Return
    expect_exit 0
    expect_tree
    expect_link outside
    ;;
smoke-damaged)
    start_setup "$E2E_DAMAGED_SETUP"
    press "$product Installation Utility" Return && press "$product - Install Failed" Return
    expect_exit 1
    ;;
decline-cancel | decline-esc | decline-close)
    run "$E2E_SETUP" "install=${name#decline-}" --exit 0
    expect_nothing_written
    ;;
install)
    # A link an earlier install left in the account's own Programs folder
    # stays as it was.
    old_group="$(own_programs)/$product"
    mkdir -p "$old_group"
    printf 'an earlier link\n' >"$old_group/$product.lnk"
    run "$E2E_SETUP" install=ok progress=wait success=ok --exit 0
    expect_tree
    expect_link
    [ "$(cat "$old_group/$product.lnk")" = "an earlier link" ] || fail "the earlier link in the account's folder changed"
    [ "$(ls -A "$old_group")" = "$product.lnk" ] || fail "something was added to the account's own group"
    # The shell opens the link and the game starts.
    # (by its C: path: Wine's shell does not open a link through Z:)
    drive open-link "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\$product\\$product.lnk" \
        VellicotMarbrelWindow || fail "the link does not start the game"
    ;;
install-signed)
    # The same program signed with a throwaway key installs exactly as it is.
    "$(dirname "$0")/../release/make_signing_key.sh" "$work/key"
    cp "$E2E_SETUP" "$work/signed-setup.exe"
    "$(dirname "$0")/../../scripts/sign-setup.sh" "$work/signed-setup.exe" "$work/key/signer.p12" \
        "$work/key/password" 1700000000
    osslsigncode verify -CAfile "$work/key/ca.pem" -in "$work/signed-setup.exe" >"$work/verify.txt" 2>&1 ||
        fail "the signed setup.exe does not verify"
    run "$work/signed-setup.exe" install=ok progress=wait success=ok --exit 0
    expect_tree
    expect_link
    ;;
other-names)
    use_config "$E2E_OTHER_CONFIG"
    run "$E2E_OTHER_SETUP" install=ok progress=wait success=ok --exit 0
    expect_tree
    expect_link
    ;;
reinstall)
    run "$E2E_SETUP" install=ok progress=wait success=ok --exit 0
    changed=$(cd "$install_folder" && find . -type f | sort | head -n1)
    # Longer than before, so an open that does not truncate leaves a tail.
    printf 'changed by the user\n' >>"$install_folder/$changed"
    run "$E2E_SETUP" install=ok progress=wait success=ok --exit 0
    expect_tree
    expect_link
    ;;
damaged-short | damaged-flipped)
    drive payload-get "$(winpath "$E2E_SETUP")" "$(winpath "$work/good.qua")" >/dev/null
    size=$(stat -c %s "$work/good.qua")
    if [ "$name" = damaged-short ]; then
        head -c $((size * 2 / 3)) "$work/good.qua" >"$work/bad.qua"
    else
        cp "$work/good.qua" "$work/bad.qua"
        printf '\xff\x00\xff\x00\xff\x00\xff\x00' |
            dd of="$work/bad.qua" bs=1 seek=$((size / 2)) conv=notrunc status=none
    fi
    setup_with_payload bad
    run "$work/bad-setup.exe" install=ok progress=wait fail=ok --exit 1
    ;;
no-parent)
    use_config "$E2E_NOPARENT_CONFIG"
    run "$E2E_NOPARENT_SETUP" install=ok --exit 1
    [ ! -e "$(dirname "$install_folder")" ] || fail "the missing parent was made"
    ;;
group-blocked)
    group="$(programs)/$product"
    printf 'not a folder\n' >"$group"
    run "$E2E_SETUP" install=ok progress=wait success=ok --exit 0
    [ -f "$group" ] || fail "the plain file in the group's place was replaced"
    expect_tree
    if find "$(programs)" -name '*.lnk' | grep -q .; then
        fail "a link was made: $(find "$(programs)" -name '*.lnk')"
    fi
    ;;
large-progress)
    make_large_setup 24000000
    [ "$(stat -c %s "$work/large.qua")" -gt 21474836 ] || fail "the large payload is not over 21474836 bytes"
    run "$work/large-setup.exe" install=ok progress=wait success=ok --full-bar --exit 0
    payload_tree=$large_tree expect_tree
    ;;
cancel-large)
    make_large_setup 40000000
    run "$work/large-setup.exe" install=ok progress=cancel@10 fail=ok --exit 1
    # Cancel came well inside the first of the four 10 MB blocks: a worker
    # that stops on Cancel leaves that one short and starts no other.
    left=$(find "$install_folder/data" -type f -printf '%f %s\n' 2>/dev/null | sort || true)
    echo "left after Cancel: ${left//$'\n'/, }"
    if [ "$(wc -l <<<"$left")" -ne 1 ] || [ "${left%% *}" != block1.bin ] || [ "${left##* }" -ge 10000000 ]; then
        fail "extraction went on after Cancel: ${left//$'\n'/, }"
    fi
    ;;
cancel-stress)
    # Cancel at a random moment of the extraction, E2E_STRESS_RUNS times (the
    # seed is printed, so a failing series can be repeated with E2E_SEED).
    # The driver fails a run whose process does not end after IDD_FAIL.
    seed=${E2E_SEED:-$$}
    echo "seed $seed"
    RANDOM=$seed
    make_large_setup 16000000
    for ((i = 1; i <= ${E2E_STRESS_RUNS:-3}; i++)); do
        at=$((RANDOM % 75))
        echo "run $i: Cancel once the bar reaches $at"
        [ "$i" -eq 1 ] || renew_prefix
        run "$work/large-setup.exe" install=ok progress=cancel@$at fail=ok --exit 1
        # A quarter of the payload or more was still to come: a worker that
        # stops on Cancel never finishes the last of the four blocks.
        last=$(stat -c %s "$install_folder/data/block4.bin" 2>/dev/null || echo 0)
        [ "$last" -lt 4000000 ] || fail "run $i: extraction went on to the end after Cancel"
    done
    ;;
huge-payload)
    make_large_setup 300000000
    run "$work/large-setup.exe" install=ok progress=wait success=ok --full-bar --exit 0
    payload_tree=$large_tree expect_tree
    ;;
many-files)
    make_many_files_setup 20000
    run "$work/many-setup.exe" install=ok progress=wait success=ok --exit 0
    payload_tree=$many_tree expect_tree
    ;;
long-path)
    # The longest path a 32-bit Windows program may open: 259 bytes with the
    # install folder in front.
    tree=$work/long-tree
    room=$((259 - ${#install_dir} - 1))
    name=$(printf 'n%.0s' $(seq $((room - 7))))
    mkdir -p "$tree/folder"
    printf 'at the limit\n' >"$tree/folder/$name"
    "$E2E_QUARN" pack "$tree" "$work/long.qua"
    setup_with_payload long
    run "$work/long-setup.exe" install=ok progress=wait success=ok --exit 0
    payload_tree=$tree expect_tree
    ;;
planted-dlls)
    # A download folder that also holds DLLs named after those the installer
    # process loads in a whole install (Wine's loaddll trace, both builds)
    # and those Windows loads for such a program, with Wine told to prefer
    # them as Windows does a DLL it does not know. Any of them that is loaded
    # leaves NAME.loaded. Not planted: ntdll, kernelbase and kernel32, which
    # every process has before its first line runs.
    downloads=$work/downloads
    mkdir -p "$downloads"
    cp "$E2E_SETUP" "$downloads/setup.exe"
    # Without the debugger a crash ends the run at once instead of at the
    # test's timeout.
    overrides="$WINEDLLOVERRIDES;winedbg.exe=d"
    for dll in advapi32.dll apphelp.dll combase.dll comctl32.dll cryptbase.dll dwmapi.dll gdi32.dll imm32.dll \
        msimg32.dll msvcrt.dll ole32.dll profapi.dll propsys.dll rpcrt4.dll sechost.dll shcore.dll shell32.dll \
        shlwapi.dll ucrtbase.dll user32.dll userenv.dll uxtheme.dll version.dll win32u.dll winex11.drv zlib1.dll; do
        cp "$E2E_PLANTED_DLL" "$downloads/$dll"
        overrides+=";${dll%.dll}=n,b"
    done
    # Started from the folder, as a double click does.
    cd "$downloads"
    WINEDLLOVERRIDES=$overrides run "$downloads/setup.exe" install=ok progress=wait success=ok --exit 0
    cd - >/dev/null
    expect_tree
    expect_link
    for marker in "$downloads"/*.loaded; do
        [ ! -e "$marker" ] || fail "$(basename "$marker" .loaded) from the download folder ran in $(cat "$marker")"
    done
    ;;
pictures)
    # A payload that takes a while to unpack, so that the progress dialog is
    # still up when its picture is taken.
    make_large_setup 24000000
    DEMO_HEADLESS=1 DEMO_DIR=$work/demo SETUP_EXE=$work/large-setup.exe SETUP_CONFIG=$E2E_SETUP_CONFIG \
        DRIVER_EXE=$E2E_DRIVER DEMO_WINE=$wine DEMO_PREFIX=$WINEPREFIX "$E2E_DEMO" >"$work/demo.log" 2>&1 || fail "run-demo.sh failed: $(tail -3 "$work/demo.log")"
    cat "$work/demo.log"
    drive sizes >"$work/sizes.txt"
    for dialog in IDD_INSTALL IDD_PROGRESS IDD_SUCCESS; do
        png=$work/demo/$dialog.png
        if [ ! -f "$png" ]; then
            fail "no $dialog.png"
            continue
        fi
        want=$(awk -v d="$dialog" '$1 == d { print $2 }' "$work/sizes.txt")
        got=$(identify -format '%wx%h' "$png")
        colours=$(identify -format '%k' "$png")
        echo "picture $dialog $got (dialog $want), $colours colours"
        [ "$got" = "$want" ] || fail "$dialog.png is $got, the dialog is $want"
        [ "$colours" -gt 4 ] || fail "$dialog.png is blank ($colours colours)"
    done
    ;;
*)
    echo "scenario.sh: unknown scenario $name" >&2
    exit 2
    ;;
esac

WINEPREFIX=$WINEPREFIX wineserver -w 2>/dev/null || true
# Wine reports crashes and failed calls on stderr; the menu builder is
# switched off on purpose, and under emulation the 32-bit address space is
# kept below 2 GiB on purpose.
if grep -E "err:|$crash_reports" "$log" | grep -v -e 'winemenubuilder' -e 'err:module:check_vmsplit' >"$work/errors.txt"; then
    fail "Wine reported errors:"
    head -20 "$work/errors.txt"
fi

if [ "$failures" -ne 0 ]; then
    echo "scenario $name: $failures failure(s); its files are in $work"
    exit 1
fi
# A passed run keeps its logs only; the large scenarios leave gigabytes.
find "$work" -mindepth 1 -maxdepth 1 ! -name '*.log' ! -name '*.txt' ! -name demo -exec rm -rf {} +
echo "scenario $name: passed"
