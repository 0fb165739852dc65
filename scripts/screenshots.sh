#!/usr/bin/env bash
# Makes the pictures of the user guide in docs/ from the real program: Tandeo Desktop and the
# emulated unit run on a private Xvfb, xdotool works the window as a user would (a second
# profile typed into the profile editor, log in, share), and `import -window` takes each window.
#
#   docs/login-page.png      the login page with two profiles, one selected
#   docs/profile-editor.png  the profile editor with a new profile typed in
#   docs/share-page.png      the share page while the desktop is shared
#   docs/unit-viewer.png     the emulated unit's viewer showing what it receives
#
# Environment: SHOTS_SKIP_BUILD=1 to use what is built already, SHOTS_ADDRESS (the emulated
# unit's address, 127.0.0.231), TANDEO_BUILD (the build folder).
set -euo pipefail
source "$(dirname "$0")/common.sh"

SHOTS_ADDRESS=${SHOTS_ADDRESS:-127.0.0.231}
APP=$TANDEO_BUILD/bin/tandeo-desktop
UNIT=$TANDEO_BUILD/bin/tandeo-unitsim
DOCS=$TANDEO_ROOT/docs

# The main window's controls and the profile editor's, in window coordinates (fixed layouts).
PROFILE_ROW=(60 128)
ADD_BUTTON=(62 285)
LOGIN_BUTTON=(300 370)
SHARE_BUTTON=(103 195)
STOP_BUTTON=(198 195)
EDITOR_TITLE=(231 81)
EDITOR_OK=(173 225)

if [ "${SHOTS_SKIP_BUILD:-}" != 1 ]; then
    install_missing_packages
    configure_build "$TANDEO_BUILD"
    cmake --build "$TANDEO_BUILD" -j "$(nproc)" --target tandeo-desktop tandeo-unitsim tandeo_artwork
fi

home=$(mktemp -d)
unit_pid=""
app_pid=""
cleanup() {
    local pid
    for pid in "$app_pid" "$unit_pid"; do
        if [ -n "$pid" ]; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    stop_xvfb
    rm -rf "$home"
}
trap cleanup EXIT

step() {
    local what=$1
    shift
    wait_for 30 "$@" || { log "gave up waiting for: $what"; exit 1; }
    log "$what"
}
log_has() { [ "$(grep -c -- "$1" "$home/unit.log" 2>/dev/null)" -ge "${2:-1}" ]; }
unit_ready() { grep -q "unit on $SHOTS_ADDRESS" "$home/unit.err" 2>/dev/null; }
# The newest visible window of a class whose title matches a pattern (grep -E).
find_window() {
    local var=$1 class=$2 title=$3 id found=""
    for id in $(xdotool search --onlyvisible --class "$class" 2>/dev/null); do
        xdotool getwindowname "$id" 2>/dev/null | grep -qE -- "$title" && found=$id
    done
    [ -n "$found" ] && printf -v "$var" '%s' "$found"
}
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }
# Lets the window finish drawing (a frame or a hover) before it is taken.
shoot() {
    xdotool mousemove 1900 1060
    sleep 0.5
    import -display "$DISPLAY" -window "$1" "$DOCS/$2"
    log "wrote docs/$2"
}

unset DISPLAY
start_xvfb
# A calm desktop behind the windows, so the shared picture shows more than black.
convert -size 1920x1080 gradient:'#3a6f94-#15181c' "$home/desktop.png"
display -window root "$home/desktop.png" || true # sets the background, then reports 1

"$UNIT" --write-profile "$home/database.dat" --address "$SHOTS_ADDRESS" --access-code 1234 \
    2>/dev/null
"$UNIT" --address "$SHOTS_ADDRESS" --access-code 1234 --viewer --pull-interval 200 \
    --log "$home/unit.log" >/dev/null 2>"$home/unit.err" &
unit_pid=$!
step "emulated unit on $SHOTS_ADDRESS" unit_ready
viewer=""
step "viewer window" find_window viewer tandeo-unitsim "Unit"
xdotool windowmove "$viewer" 560 80

HOME="$home" "$APP" >"$home/app.out" 2>&1 &
app_pid=$!
window=""
step "main window" find_window window tandeo-desktop "Mirrabel"
xdotool windowmove "$window" 120 120
xdotool windowraise "$window"

# A second profile through the editor.
click "$window" "${ADD_BUTTON[@]}"
editor=""
step "profile editor" find_window editor tandeo-desktop "^    $"
xdotool windowmove "$editor" 120 620
# Without a window manager nothing moves the keyboard focus: a click into the title field does.
click "$editor" "${EDITOR_TITLE[@]}"
xdotool type --delay 20 "Board room"
for field in 192 168 1 40; do
    xdotool key Tab
    xdotool type --delay 20 "$field"
done
xdotool key Tab
xdotool type --delay 20 "4321"
shoot "$editor" profile-editor.png
click "$editor" "${EDITOR_OK[@]}"
editor_gone() { local gone; ! find_window gone tandeo-desktop "^    $"; }
step "profile added" editor_gone

click "$window" "${PROFILE_ROW[@]}"
shoot "$window" login-page.png

click "$window" "${LOGIN_BUTTON[@]}"
step "logged in" log_has '"command":"firmware"'
click "$window" "${SHARE_BUTTON[@]}"
step "sharing" log_has '"valid":true' 8
shoot "$window" share-page.png
shoot "$viewer" unit-viewer.png

click "$window" "${STOP_BUTTON[@]}"
step "stopped" log_has '"dir":"in","type":"MSG_STOP"'
click "$window" "${LOGIN_BUTTON[@]}"
step "logged out" log_has '"command":"logout"'
