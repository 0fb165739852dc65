#!/usr/bin/env bash
# The demo: tandeo-unitsim plays a conferencing unit on 127.0.0.2 and shows what it receives in
# its viewer, and Tandeo Desktop runs with a separate demo home whose database.dat holds the
# profile "Demo unit" for that unit, so the user's own ~/database.dat is never touched.
#
# With a display: log in with "Demo unit", press Share and watch the viewer; close the window
# (after Logout) to end the demo. Without a display the same session runs scripted under Xvfb:
# xdotool clicks the real buttons of the window (the profile row, Login, Share, then Stop and
# Logout), a screenshot is saved, the window is closed as a window manager closes it, and the
# program's exit status and the demo unit's summary are printed. The scripted run fails when
# the program does not end with status 0.
#
# Environment: DEMO_ADDRESS (127.0.0.2), DEMO_CODE (access code, 1234), DEMO_FRAMES (frames the
# scripted run waits for, 15), DEMO_PULL_MS (shortest time between two pulls, 200),
# DEMO_SKIP_BUILD=1 to use what is built already, TANDEO_BUILD (the build folder),
# DEMO_SCRIPTED=1 to run the scripted session even with a display (on that display),
# DEMO_APP and DEMO_UNIT (the programs, e.g. installed ones; default: the build folder's),
# DEMO_WAYLAND=1 for the Wayland variant below (DEMO_WAYLAND_SECONDS of sharing, 8).
set -euo pipefail
source "$(dirname "$0")/common.sh"

DEMO_ADDRESS=${DEMO_ADDRESS:-127.0.0.2}
DEMO_CODE=${DEMO_CODE:-1234}
DEMO_FRAMES=${DEMO_FRAMES:-15}
DEMO_PULL_MS=${DEMO_PULL_MS:-200}
DEMO_HOME=$TANDEO_BUILD/demo-home
APP=${DEMO_APP:-$TANDEO_BUILD/bin/tandeo-desktop}
UNIT=${DEMO_UNIT:-$TANDEO_BUILD/bin/tandeo-unitsim}
CLOSE_WINDOW=$TANDEO_BUILD/bin/x-close-window
UNIT_LOG=$DEMO_HOME/unit.log
UNIT_SUMMARY=$DEMO_HOME/unit-summary.txt
UNIT_ERR=$DEMO_HOME/unit.err

# The window's controls, in window coordinates (the window has a fixed size and layout).
PROFILE_ROW=(60 128)
LOGIN_BUTTON=(300 370) # Logout sits at the same place on the share page
SHARE_BUTTON=(103 195)
STOP_BUTTON=(198 195)

unit_pid=""
app_pid=""

cleanup() {
    if [ -n "$app_pid" ]; then
        kill "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
        app_pid=""
    fi
    stop_unit
    stop_xvfb
}

stop_unit() {
    if [ -n "$unit_pid" ]; then
        kill -TERM "$unit_pid" 2>/dev/null || true
        wait "$unit_pid" 2>/dev/null || true
        unit_pid=""
    fi
}

log_count() {
    local n
    n=$(grep -c -- "$1" "$UNIT_LOG" 2>/dev/null) || true
    echo "${n:-0}"
}
log_has() { [ "$(log_count "$1")" -ge "${2:-1}" ]; }
unit_ready() { grep -q "unit on $DEMO_ADDRESS" "$UNIT_ERR" 2>/dev/null; }
unit_alive() { kill -0 "$unit_pid" 2>/dev/null; }

start_unit() {
    rm -f "$UNIT_LOG" "$UNIT_SUMMARY" "$UNIT_ERR"
    # The client always talks to port 80: without root the emulator needs the capability.
    if [ "$(id -u)" -ne 0 ] && ! getcap "$UNIT" 2>/dev/null | grep -q cap_net_bind_service; then
        log "letting tandeo-unitsim bind port 80 (setcap, asks for sudo)"
        sudo setcap cap_net_bind_service=+ep "$UNIT"
    fi
    "$UNIT" --address "$DEMO_ADDRESS" --access-code "$DEMO_CODE" --viewer \
        --pull-interval "$DEMO_PULL_MS" --log "$UNIT_LOG" >"$UNIT_SUMMARY" 2>"$UNIT_ERR" &
    unit_pid=$!
    if ! wait_for 10 unit_ready; then
        cat "$UNIT_ERR" >&2
        log "the demo unit did not start"
        exit 1
    fi
    log "demo unit on $DEMO_ADDRESS (access code $DEMO_CODE), log $UNIT_LOG"
}

step() {
    local what=$1 seconds=$2
    shift 2
    if ! wait_for "$seconds" "$@"; then
        log "gave up waiting for: $what"
        [ -n "$unit_pid" ] && unit_alive || log "the demo unit has ended"
        exit 1
    fi
    log "$what"
}

print_summary() {
    log "what the demo unit received:"
    cat "$UNIT_SUMMARY"
}

if [ "${DEMO_SKIP_BUILD:-}" != 1 ]; then
    if [ "${DEMO_WAYLAND:-}" = 1 ]; then
        install_missing_packages
        build_project
    else
        install_missing_packages run
        build_run_targets
    fi
fi
trap cleanup EXIT

mkdir -p "$DEMO_HOME"
"$UNIT" --write-profile "$DEMO_HOME/database.dat" --address "$DEMO_ADDRESS" \
    --access-code "$DEMO_CODE"

# The Wayland variant: the window runs on a headless Wayland desktop (scripts/wayland_stack.sh,
# the stack the Wayland tests use) and shares it through the screen-cast portal, whose stand-in
# back-end shows the desktop as the compositor drew it with the window logged in; the demo
# unit's viewer shows the frames here. Nothing outside a headless compositor can click the
# window, so it is driven from inside its own process (the demo case of the Wayland session
# tests) for DEMO_WAYLAND_SECONDS.
if [ "${DEMO_WAYLAND:-}" = 1 ]; then
    [ -n "${DISPLAY:-}" ] || start_xvfb
    start_unit
    cast_dir=$(mktemp -d /tmp/tandeo-demo-cast.XXXXXX)
    chmod 1777 "$cast_dir"
    bash "$TANDEO_ROOT/scripts/wayland_stack.sh" run --standin-arg "--picture=$cast_dir/desktop.png" \
        -- env TANDEO_TEST_UNIT="$DEMO_ADDRESS" TANDEO_DEMO_PICTURE="$cast_dir/desktop.png" \
        TANDEO_DEMO_SECONDS="${DEMO_WAYLAND_SECONDS:-8}" \
        "$TANDEO_BUILD/bin/wayland_session_tests" --gtest_filter='WaylandDemo.*' \
        >"$DEMO_HOME/wayland.out" 2>&1 &
    stack_pid=$!
    step "sharing the Wayland desktop: $DEMO_FRAMES frames received" 60 \
        log_has '"valid":true' "$DEMO_FRAMES"
    shot=$DEMO_HOME/demo-wayland.png
    import -display "$DISPLAY" -window root "$shot" && log "screenshot of the viewer: $shot"
    status=0
    wait "$stack_pid" || status=$?
    rm -rf "$cast_dir"
    stop_unit
    print_summary
    log "the Wayland session ended with status $status"
    [ "$status" -eq 0 ] || tail -n 20 "$DEMO_HOME/wayland.out" >&2
    exit "$status"
fi

if [ -n "${DISPLAY:-}" ] && [ "${DEMO_SCRIPTED:-}" != 1 ]; then
    start_unit
    log "log in with \"Demo unit\", press Share; log out and close the window to end the demo"
    HOME="$DEMO_HOME" "$APP" || true
    stop_unit
    print_summary
    exit 0
fi

# No display: the same session, scripted under Xvfb.
if ! command -v xdotool >/dev/null 2>&1; then
    log "installing: xdotool"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends xdotool
fi
[ -n "${DISPLAY:-}" ] || start_xvfb
start_unit

# Without a window manager every window opens at the top left: move the viewer aside.
viewer=""
find_viewer() { viewer=$(xdotool search --onlyvisible --pid "$unit_pid" 2>/dev/null | head -1); [ -n "$viewer" ]; }
if wait_for 10 find_viewer; then
    xdotool windowmove "$viewer" 420 0
fi

HOME="$DEMO_HOME" "$APP" >"$DEMO_HOME/app.out" 2>&1 &
app_pid=$!
window=""
find_window() { window=$(xdotool search --onlyvisible --pid "$app_pid" --name "^Mirrabel" 2>/dev/null | head -1); [ -n "$window" ]; }
if ! wait_for 20 find_window; then
    log "the Tandeo Desktop window did not appear"
    exit 1
fi
xdotool windowraise "$window"
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

click "${PROFILE_ROW[@]}"
click "${LOGIN_BUTTON[@]}"
# The firmware request follows an accepted login.
step "logged in" 35 log_has '"command":"firmware"'
click "${SHARE_BUTTON[@]}"
step "sharing: $DEMO_FRAMES frames received" 60 log_has '"valid":true' "$DEMO_FRAMES"
shot=$DEMO_HOME/demo-screen.png
import -display "$DISPLAY" -window root "$shot" && log "screenshot of the session: $shot"
click "${STOP_BUTTON[@]}"
step "stopped" 20 log_has '"dir":"in","type":"MSG_STOP"'
click "${LOGIN_BUTTON[@]}"
step "logged out" 20 log_has '"command":"logout"'

# The window manager's close request, as a user closes the window after logging out.
"$CLOSE_WINDOW" "$window"
app_ended() { ! kill -0 "$app_pid" 2>/dev/null; }
if ! wait_for 10 app_ended; then
    log "Tandeo Desktop did not end after its window was closed"
    exit 1
fi
status=0
wait "$app_pid" || status=$?
app_pid=""
stop_unit
print_summary
log "Tandeo Desktop ended with exit status $status"
if [ "$status" -ne 0 ]; then
    log "FAILED: the program must end with exit status 0"
    tail -n 20 "$DEMO_HOME/app.out" >&2
    exit 1
fi
