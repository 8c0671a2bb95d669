# Sourced by the Wine runner, the end-to-end scenarios and the demo: picks
# the Wine loader for a program, makes and copies prefixes, maps Windows
# paths into a prefix, and starts a private Xvfb.

# Wine takes the programs' 8-bit code page from the locale; the installer's
# strings are Windows-1252, which Wine uses for English.
export LANG=C.UTF-8 LC_ALL=C.UTF-8

wine_env_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# True for a 32-bit Windows program, false for a 64-bit one.
is_32bit_program() {
    local program=$1 header machine
    header=$(od -An -tu4 -j60 -N4 "$program" | tr -d ' ')
    machine=$(od -An -tx2 -j$((header + 4)) -N2 "$program" | tr -d ' ')
    case $machine in
    014c) return 0 ;;
    8664) return 1 ;;
    esac
    echo "wine-env: $program is not a Windows program for x86 or x86-64" >&2
    return 2
}

# Prints the loader that can start PROGRAM: Wine's 64-bit loader for a
# 64-bit program, its 32-bit loader for a 32-bit one. Fails when a 32-bit
# program cannot run here (see wine32_mode).
wine_loader() {
    local program=$1 kind=0
    is_32bit_program "$program" || kind=$?
    case $kind in
    0)
        wine32_works || return 1
        echo /usr/lib/wine/wine
        ;;
    1) echo /usr/lib/wine/wine64 ;;
    *) return 2 ;;
    esac
}

# True when 32-bit Wine starts: on a host whose kernel runs 32-bit Linux
# programs, or inside the emulation. Elsewhere the loader is handed to
# /bin/sh, which prints nonsense instead of Wine's version.
wine32_works() {
    /usr/lib/wine/wine --version 2>/dev/null | grep -q '^wine-'
}

# 32-bit Wine on a host whose kernel cannot start 32-bit Linux programs: a
# private user and mount namespace with a binfmt_misc of its own, which hands
# i386 programs to qemu-i386 (scripts/emulation/qemu-i386-wine.c); the
# host's table is neither mounted nor changed, and nothing outside the
# namespace sees the registration. The emulated processes preload a shim for
# a fault of qemu-i386's (scripts/emulation/emu-tls-shim.c).
emulation_tools=$wine_env_root/build/emulation

# Prints how 32-bit Windows programs run here: native, emulated or none.
# WINE32_EMULATION=1 asks for the emulation where the kernel could run them
# itself, to try it on such a host.
wine32_mode() {
    if [ -n "${WINE_EMULATION_INSIDE:-}" ]; then
        echo emulated
    elif [ "${WINE32_EMULATION:-}" != 1 ] && wine32_works; then
        echo native
    elif [ -x /usr/bin/qemu-i386-static ] && unshare --user --map-root-user --mount \
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null; then
        # The kernel gives each user namespace a binfmt_misc of its own
        # (Linux 6.7 and later); older ones cannot run the emulation.
        echo emulated
    else
        echo none
    fi
}

# Builds the interpreter and the shim once; concurrent callers wait.
build_emulation_tools() {
    local source=$wine_env_root/scripts/emulation tools=$emulation_tools
    mkdir -p "$tools"
    (
        flock 9
        if [ "$tools/qemu-i386-wine" -nt "$source/qemu-i386-wine.c" ] &&
            [ "$tools/shim/i386/emu-tls-shim.so" -nt "$source/emu-tls-shim.c" ]; then
            exit 0
        fi
        mkdir -p "$tools/shim/i386" "$tools/shim/i686" "$tools/shim/x86_64"
        gcc -O2 -static -o "$tools/qemu-i386-wine" "$source/qemu-i386-wine.c" &&
            gcc -m32 -O2 -fPIC -shared -nostdlib -o "$tools/shim/i386/emu-tls-shim.so" "$source/emu-tls-shim.c" \
                /lib/i386-linux-gnu/libc.so.6 &&
            cp "$tools/shim/i386/emu-tls-shim.so" "$tools/shim/i686/" &&
            gcc -O2 -fPIC -shared -nostdlib -o "$tools/shim/x86_64/emu-tls-shim.so" -x c /dev/null
    ) 9>"$tools.lock"
}

# Makes the calling script go on inside the emulation. Call it, with the
# script's own command line, before any 32-bit program starts: the first
# call starts the script again inside a new namespace; there the call
# registers qemu-i386 and returns.
enter_emulation() {
    if [ -z "${WINE_EMULATION_INSIDE:-}" ]; then
        build_emulation_tools || { echo "wine-env: cannot build the emulation's tools" >&2; return 1; }
        WINE_EMULATION_INSIDE=1 exec unshare --user --map-root-user --mount "$@"
    fi
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # Flag F opens the interpreter now, so it serves whatever the namespace
    # later mounts.
    printf ':qemu-i386:M::%s:%s:%s:F\n' "$magic" "$mask" "$emulation_tools/qemu-i386-wine" \
        >/proc/sys/fs/binfmt_misc/register || return 1
    export WINE_EMULATION_SHIM=$emulation_tools/shim
}

# The template prefix for this mode: the emulation needs one made inside it,
# or the prefix's 32-bit half stays empty on a host without 32-bit support.
template_for_mode() {
    local template=$1
    if [ -n "${WINE_EMULATION_INSIDE:-}" ]; then
        echo "$template-emulated"
    else
        echo "$template"
    fi
}

# Wine's and qemu's reports of a crashed program, for grep -E.
crash_reports='Unhandled exception|page fault|uncaught target signal|wine: Assertion'

# Makes the template prefix TEMPLATE once; concurrent callers wait for the
# first. The 64-bit loader makes a prefix that serves both kinds of program.
make_template() {
    local template=$1
    mkdir -p "$(dirname "$template")"
    (
        flock 9
        if [ -f "$template/.ready" ]; then
            exit 0
        fi
        rm -rf "$template"
        local loader=/usr/lib/wine/wine64
        [ -x "$loader" ] || loader=wine
        WINEPREFIX=$template WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d \
            "$loader" wineboot -i >/dev/null 2>&1
        WINEPREFIX=$template wineserver -w
        [ -f "$template/system.reg" ] || { echo "wineboot made no prefix in $template" >&2; exit 1; }
        touch "$template/.ready"
    ) 9>"$template.lock"
}

# A fresh prefix DEST from TEMPLATE in a tenth of a second: the files are
# shared, which is safe because Wine writes its registry by replacing the
# files and programs only add new ones.
new_prefix() {
    local template=$1 dest=$2
    cp -al "$template" "$dest"
    for reg in "$dest"/*.reg; do
        cp --remove-destination "$template/$(basename "$reg")" "$reg"
    done
}

# Prints where in PREFIX the Windows path PATH (X:\...) is.
prefix_path() {
    local prefix=$1 path=$2
    local drive=${path:0:1} rest=${path:2}
    printf '%s/dosdevices/%s:%s' "$prefix" "${drive,,}" "${rest//\\//}"
}

# Starts a private Xvfb on a free display, sets DISPLAY and xvfb_pid.
# Argument: a scratch file for the display number.
start_private_display() {
    local number_file=$1
    rm -f "$number_file"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$number_file" ] && break
        sleep 0.1
    done
    if [ ! -s "$number_file" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=:$(head -n1 "$number_file")
}
