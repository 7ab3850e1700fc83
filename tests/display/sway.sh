# A headless sway (a Wayland compositor) for the Wayland check and the README's pictures. Sourced
# once `work`, `helpers` and `fail` are defined, after lib.sh where that is sourced too.

# Starts sway with a 640 x 480 output and points this shell's Wayland clients at it, with a
# runtime folder of their own and no X display. sway will not run as root: as root, it runs as
# nobody, in a folder of its own that the clients reach by the socket's full path.
start_sway() {
    compositor="$work/compositor"
    mkdir -p -m 700 "$compositor"
    as_compositor=""
    if [ "$(id -u)" -eq 0 ]; then
        chmod 711 "$work"
        chown nobody "$compositor"
        as_compositor="setpriv --reuid=nobody --regid=$(id -g nobody) --clear-groups"
    fi
    cat >"$work/sway.config" <<'EOF'
output HEADLESS-1 resolution 640x480 position 0 0
xwayland disable
focus_follows_mouse no
EOF
    chmod 644 "$work/sway.config"
    # shellcheck disable=SC2086
    env -i PATH="$PATH" HOME="$compositor" XDG_RUNTIME_DIR="$compositor" WLR_BACKENDS=headless \
        WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 $as_compositor sway -c "$work/sway.config" \
        >"$work/sway.log" 2>&1 &
    helpers="$helpers $!"
    socket=""
    for _ in $(seq 100); do
        socket=$(find "$compositor" -maxdepth 1 -type s -name 'wayland-*' | head -n 1)
        SWAYSOCK=$(find "$compositor" -maxdepth 1 -type s -name 'sway-ipc.*' | head -n 1)
        [ -n "$socket" ] && [ -n "$SWAYSOCK" ] && break
        sleep 0.1
    done
    [ -n "$socket" ] && [ -n "$SWAYSOCK" ] || fail "sway did not start"
    WAYLAND_DISPLAY=$socket
    export SWAYSOCK WAYLAND_DISPLAY
    unset DISPLAY
    mkdir -p -m 700 "$work/runtime"
    XDG_RUNTIME_DIR="$work/runtime"
    export XDG_RUNTIME_DIR
}

# The window of process $1 titled $2, from sway's tree, in place of the X11 one: its kind of
# surface in $shell (xdg_shell for a native Wayland one), the position and size of its content in
# $x $y $width $height, and in $frame the whole window with sway's title bar, as grim takes a
# region. False while there is none.
window_titled() {
    found=$(swaymsg -t get_tree 2>/dev/null | /usr/bin/python3 -c '
import json, sys
def walk(node):
    if node.get("pid") == int(sys.argv[1]) and node.get("name") == sys.argv[2]:
        rect, inner, deco = node["rect"], node["window_rect"], node["deco_rect"]
        print("shell=%s x=%d y=%d width=%d height=%d frame=\"%d,%d %dx%d\"" % (node["shell"],
              rect["x"] + inner["x"], rect["y"] + inner["y"], inner["width"], inner["height"],
              rect["x"], rect["y"] - deco["height"], rect["width"], rect["height"] + deco["height"]))
        sys.exit(0)
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)
walk(json.load(sys.stdin))
sys.exit(1)' "$1" "$2") && eval "$found"
}

# The whole screen into the PNG file $1.
screenshot() { grim "$1"; }
