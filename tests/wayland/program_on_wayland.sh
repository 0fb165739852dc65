#!/usr/bin/env bash
# The built program as a user starts it on a Wayland desktop (run inside scripts/wayland_stack.sh):
# its window comes up on the compositor on Qt's wayland platform, and the end of the desktop
# session (SIGTERM) ends it with status 0. Nothing can click a window of a headless compositor
# from outside; the sessions behind the buttons are tested in wayland_session_test.cpp.
#
#   program_on_wayland.sh TANDEO_DESKTOP
set -euo pipefail
program=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT

[ "${QT_QPA_PLATFORM:-}" = wayland ] && [ -n "${WAYLAND_DISPLAY:-}" ] \
    || { echo "not inside the Wayland test stack" >&2; exit 1; }
"$program" >"$out" 2>&1 &
pid=$!
shown=0
for _ in $(seq 1 100); do
    if swaymsg -t get_tree | grep -q '"name": "Mirrabel'; then
        shown=1
        break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if [ "$shown" != 1 ]; then
    echo "the window did not appear on the compositor" >&2
    cat "$out" >&2
    kill "$pid" 2>/dev/null || true
    exit 1
fi
swaymsg -t get_tree | grep -q '"app_id": "tandeo-desktop"' \
    || echo "note: the window's app_id is not tandeo-desktop" >&2
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
if [ "$status" -ne 0 ]; then
    echo "the program ended with status $status after SIGTERM" >&2
    cat "$out" >&2
    exit 1
fi
echo "window shown on the compositor; SIGTERM ended the program with status 0"
