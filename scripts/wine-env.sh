# Sourced by the Wine runner, the end-to-end scenarios and the demo: picks
# the Wine loader for a program, makes and copies prefixes, maps Windows
# paths into a prefix, and starts a private Xvfb.

# Wine takes the programs' 8-bit code page from the locale; the installer's
# strings are Windows-1252, which Wine uses for English.
export LANG=C.UTF-8 LC_ALL=C.UTF-8

# Prints the loader that can start PROGRAM: Wine's 64-bit loader for a
# 64-bit program, its 32-bit loader for a 32-bit one. Fails when a 32-bit
# program cannot run because this host cannot start 32-bit Linux programs.
wine_loader() {
    local program=$1 header machine
    header=$(od -An -tu4 -j60 -N4 "$program" | tr -d ' ')
    machine=$(od -An -tx2 -j$((header + 4)) -N2 "$program" | tr -d ' ')
    case $machine in
    8664)
        echo /usr/lib/wine/wine64
        ;;
    014c)
        wine32_works || return 1
        echo /usr/lib/wine/wine
        ;;
    *)
        echo "wine_loader: $program is not a Windows program for x86 or x86-64" >&2
        return 2
        ;;
    esac
}

# True when this host can start 32-bit Windows programs. A host without
# 32-bit support hands the loader to /bin/sh, which prints nonsense instead
# of Wine's version.
wine32_works() {
    /usr/lib/wine/wine --version 2>/dev/null | grep -q '^wine-'
}

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
