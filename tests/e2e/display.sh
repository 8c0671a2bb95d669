# Sourced by the end-to-end scenarios and the demo: starts a private Xvfb on
# a free display, sets DISPLAY and xvfb_pid. Argument: a scratch file for the
# display number.
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
