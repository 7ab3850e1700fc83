# What the real-display checks share: a private Xvfb, the program on it through the xcb platform,
# its window found by its process, and a failure report with the logs. Sourced by the checks,
# which set `program` first and may add files to `work`.
# Fails at once, naming the tool, when one is missing; scripts/install-deps installs them all.
set -eu
display_dir=${display_dir:-$(dirname "$(realpath "$0")")} # where this library and its helpers are
. "$display_dir/../../scripts/imagemagick.sh"

# A check that cannot run for want of a tool fails: a skip would go unnoticed.
missing() {
    echo "FAIL: $1 is missing (scripts/install-deps installs it)" >&2
    exit 1
}
require() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null || missing "$tool"
    done
}
require Xvfb xdotool xprop fc-list
[ -n "$imagemagick" ] || missing "ImageMagick (magick, or convert-im6.q16)"

work=$(mktemp -d)
xvfb=""
pid=""
helpers="" # other processes of a check's own, ended with it
cleanup() {
    for p in $helpers $pid $xvfb; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
    done
    shot=$(basename "$0")-failure.png
    screenshot "$shot" 2>/dev/null && echo "screenshot: $PWD/$shot" >&2
    exit 1
}
# The whole screen into the PNG file $1.
screenshot() { im import -window root "$1"; }

# Without a font for Japanese the labels would be empty boxes.
[ -n "$(fc-list :lang=ja family)" ] || fail "no Japanese font is installed (fonts-ipafont-gothic)"

# Xvfb picks a free display itself and writes its number to descriptor 3. Two started at once
# by checks run side by side can pick the same one ("server already running"), so one starts at a
# time: the next looks once the last listens.
start_display() {
    xvfb_lock=${TMPDIR:-/tmp}/miruteka-xvfb.lock
    # touch, not ": >>": sh ends on a failed redirection of a builtin such as ":", and another
    # user's lock cannot be written (it can be read, which is all flock needs).
    touch "$xvfb_lock" 2>/dev/null || true
    exec 9<"$xvfb_lock"
    flock -w 10 9 || true # held too long by someone else: go ahead, as without it
    Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" 9<&- &
    xvfb=$!
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        kill -0 "$xvfb" 2>/dev/null || fail "Xvfb did not start"
        sleep 0.1
    done
    flock -u 9
    exec 9<&-
    [ -s "$work/display" ] || fail "Xvfb gave no display"
    DISPLAY=:$(cat "$work/display")
    export DISPLAY
}

# Starts the program ($program, with any extra environment given as NAME=VALUE arguments) at one
# logical pixel to a device pixel, so that geometry in pixels holds, through the platform plugin
# $qt_platform (xcb unless set; empty leaves the choice to the program and Qt). The desktop's name
# is left out, so that the program's own choice of platform for a desktop stays out of the way.
# In a sanitizer build, leaks at exit count too, apart from those of system libraries, which are
# told apart by their whole stacks (a fast unwind stops inside the libraries).
qt_platform=${qt_platform-xcb}
start_program() {
    mkdir -p -m 700 "$work/runtime"
    env -u QT_SCALE_FACTOR -u QT_SCREEN_SCALE_FACTORS -u QT_ENABLE_HIGHDPI_SCALING \
        -u QT_QPA_PLATFORM -u XDG_CURRENT_DESKTOP -u XDG_SESSION_DESKTOP \
        LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$display_dir/lsan.supp:fast_unwind_on_malloc=0" \
        ${qt_platform:+QT_QPA_PLATFORM=$qt_platform} XDG_RUNTIME_DIR="$work/runtime" "$@" \
        "$program" >"$work/program.log" 2>&1 &
    pid=$!
}

# The visible window of process $1 (or of any process, for "-") whose title is $2, in $window;
# false while there is none. The title is read from _NET_WM_NAME, which is UTF-8 whatever the
# locale (the older WM_NAME is not), and compared as bytes: sed in a locale of another encoding
# would not match it.
window_titled() {
    window=""
    if [ "$1" = - ]; then owner="--name ."; else owner="--pid $1"; fi
    # shellcheck disable=SC2086
    for candidate in $(xdotool search --onlyvisible $owner 2>/dev/null); do
        title=$(LC_ALL=C.UTF-8 xprop -id "$candidate" -notype 8u _NET_WM_NAME 2>/dev/null |
            LC_ALL=C sed -n 's/^_NET_WM_NAME = "\(.*\)"$/\1/p')
        [ "$title" = "$2" ] && { window=$candidate; return 0; }
    done
    return 1
}

# Waits for window_titled "$1" "$2"; fails after 20 s, or at once when the program ends.
find_window() {
    for _ in $(seq 200); do
        window_titled "$1" "$2" && return 0
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null || { wait "$pid" || status=$?; fail "the program ended with status ${status:-0}"; }
    fail "no window titled $2 appeared"
}

# Answers the save prompt, window $1, with the path $2, and waits up to 10 s for the report there.
# On a slow machine the name field's completer may open its list just as Return comes and take
# that Return to close it: Return is pressed again every 2 s while the prompt is still showing.
answer_save_prompt() {
    # Qt's own save prompt starts in its file name field.
    xdotool windowfocus --sync "$1" sleep 0.2 type --delay 20 "$2"
    for tick in $(seq 0 99); do
        [ -s "$2" ] && return 0
        if [ $((tick % 20)) -eq 0 ] &&
            xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'; then
            xdotool windowfocus --sync "$1" key --delay 100 Return
        fi
        sleep 0.1
    done
    fail "no report was written to $2 after the prompt was answered"
}

# Clicks 終了 (its centre, at x 85..121 and y 90..111 of the client area), then expect_exit.
exit_by_button() {
    xdotool mousemove --window "$window" 103 100 click 1
    expect_exit
}
# Expects the program to end with status 0 within 5 s, 終了 having been clicked.
expect_exit() {
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail "the program was still running 5 s after 終了 was clicked"
    status=0
    wait "$pid" || status=$?
    pid=""
    [ "$status" -eq 0 ] || fail "the program ended with status $status after 終了"
}

# A GTK drag source in a process of its own, at the top left of the screen, offering the files
# given; its "ready", "drag-end" and "drag-failed" lines go to $work/source.out.
start_drag_source() {
    /usr/bin/python3 -c 'import gi; gi.require_version("Gtk", "3.0")' 2>/dev/null ||
        missing "GTK 3 for Python (python3-gi, gir1.2-gtk-3.0)"
    # Python's UTF-8 mode keeps the names' bytes as they are in a locale of another encoding.
    PYTHONUTF8=1 "$display_dir/drag_source.py" "$@" >"$work/source.out" 2>"$work/source.log" &
    helpers="$helpers $!"
    for _ in $(seq 100); do
        grep -qs "^ready" "$work/source.out" && return 0
        sleep 0.1
    done
    fail "the drag source did not start"
}

# Drags from the source to the screen point $1 $2 and lets go there: a press on the source, then
# small moves with pauses so that both sides follow the drag. Sets $released (seconds since boot).
drag_to() {
    xdotool mousemove 20 20 mousedown 1
    for step in $(seq 1 12); do
        xdotool mousemove $((20 + ($1 - 20) * step / 12)) $((20 + ($2 - 20) * step / 12)) sleep 0.05
    done
    xdotool mousemove $(($1 + 1)) "$2" sleep 0.1 mousemove "$1" "$2" sleep 0.1 mouseup 1
    released=$(cut -d' ' -f1 /proc/uptime)
}
