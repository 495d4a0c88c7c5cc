# shellcheck shell=bash
# A virtual screen for Wine's windows, shared by choose.sh and the tests' dialog roads (sourced).
# virtual_screen: Xvfb on a free display; sets screen_process and screen_number (empty when no
# screen could be started).
virtual_screen() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    # Xvfb picks a free display and writes its number to the pipe.
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    screen_process=$!
    screen_number=
    read -r -t 20 screen_number <"$fifo" || true
    rm -f "$fifo"
}
