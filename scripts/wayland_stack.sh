#!/usr/bin/env bash
# A headless Wayland desktop for tests, started afresh for one command:
#
#   scripts/wayland_stack.sh run [--standin-arg ARG]... -- COMMAND ARGS...
#
# Runs COMMAND as the unprivileged stack user (tandeo-wayland, created when missing; sway will
# not run as root) on a private session bus (dbus-run-session) with PipeWire, WirePlumber,
# a headless sway (one 1280x720 output, HEADLESS-1) and the stand-in screen-cast portal
# (tandeo-portal-standin, given the --standin-arg arguments). COMMAND gets WAYLAND_DISPLAY,
# XDG_SESSION_TYPE=wayland, QT_QPA_PLATFORM=wayland, XDG_RUNTIME_DIR (fresh, mode 700),
# DBUS_SESSION_BUS_ADDRESS and HOME (fresh, the stack user's); the rest of the caller's
# environment passes through, without its X display. The exit status is COMMAND's; 77 with
# one line "wayland stack: cannot start: REASON" when the stack cannot start. Everything the
# stack started is ended by pid at the end, also when the script is interrupted.
#
# The private bus activates nothing: the desktop portal installed on the machine cannot take
# the portal's name from the stand-in. TANDEO_PORTAL_STANDIN names another stand-in binary;
# TANDEO_WAYLAND_KEEP=1 keeps the run folder with the pieces' logs.
set -euo pipefail
source "$(dirname "$0")/common.sh"

STACK_USER=tandeo-wayland
STANDIN=${TANDEO_PORTAL_STANDIN:-$TANDEO_BUILD/bin/tandeo-portal-standin}
SCRIPT=$TANDEO_ROOT/scripts/wayland_stack.sh
READY_SECONDS=20

cannot_start() {
    echo "wayland stack: cannot start: $*" >&2
    exit 77
}

usage() {
    echo "usage: $0 run [--standin-arg ARG]... -- COMMAND ARGS..." >&2
    exit 2
}

# Splits "[--standin-arg ARG]... -- COMMAND ARGS..." into STANDIN_ARGS and COMMAND.
parse_arguments() {
    STANDIN_ARGS=()
    while [ $# -gt 0 ]; do
        case $1 in
            --standin-arg) [ $# -ge 2 ] || usage; STANDIN_ARGS+=("$2"); shift 2 ;;
            --standin-arg=*) STANDIN_ARGS+=("${1#--standin-arg=}"); shift ;;
            --) shift; break ;;
            *) usage ;;
        esac
    done
    [ $# -gt 0 ] || usage
    COMMAND=("$@")
}

standin_arg_options() {
    local arg
    for arg in "${STANDIN_ARGS[@]}"; do
        printf '%s\0' --standin-arg "$arg"
    done
}

# ---- outside: as the caller (root or the stack user itself) ----

ensure_stack_user() {
    id -u "$STACK_USER" >/dev/null 2>&1 && return 0
    # Another stack may be creating it at the same moment: only its absence afterwards fails.
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin "$STACK_USER" >/dev/null 2>&1 || true
    id -u "$STACK_USER" >/dev/null 2>&1
}

as_stack_user() {
    if [ "$(id -un)" = "$STACK_USER" ]; then
        "$@"
    else
        runuser -u "$STACK_USER" -- "$@"
    fi
}

# The build tree may sit below folders only their owner can enter: let others pass through
# them (o+x, nothing listed or readable that was not before), the least that lets the stack
# user start a program there.
make_reachable() {
    local path=$1 dir
    dir=$(dirname "$(readlink -f "$path")")
    local walk=""
    local part
    local -a parts
    IFS=/ read -ra parts <<<"${dir#/}"
    for part in "${parts[@]}"; do
        walk="$walk/$part"
        if ! as_stack_user test -x "$walk"; then
            log "letting $STACK_USER pass through $walk (chmod o+x)"
            chmod o+x "$walk"
        fi
    done
}

# The processes of this run, found by the run's XDG_RUNTIME_DIR in their environment (the
# bus daemon, the pieces, COMMAND and what they started); never anything else.
our_processes() {
    local dir
    for dir in $(find /proc -mindepth 1 -maxdepth 1 -user "$STACK_USER" -regex '/proc/[0-9]+' 2>/dev/null); do
        if grep -qzx "XDG_RUNTIME_DIR=$RUN_DIR/runtime" "$dir/environ" 2>/dev/null; then
            echo "${dir#/proc/}"
        fi
    done
}

no_process_left() { [ -z "$(our_processes)" ]; }

# Ends what the inside part left behind (normally it has ended everything itself): TERM, and
# KILL after five seconds. Then removes the run folder.
outside_cleanup() {
    local pids
    pids=$(our_processes)
    if [ -n "$pids" ]; then
        kill -TERM $pids 2>/dev/null || true
        wait_for 5 no_process_left || kill -KILL $(our_processes) 2>/dev/null || true
    fi
    if [ -n "${RUNNER_PID:-}" ]; then
        wait "$RUNNER_PID" 2>/dev/null || true
    fi
    if [ "${TANDEO_WAYLAND_KEEP:-0}" = 1 ]; then
        log "run folder kept: $RUN_DIR"
    else
        rm -rf "$RUN_DIR"
    fi
}

write_bus_config() {
    cat >"$1" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=$RUN_DIR/runtime</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
}

write_sway_config() {
    cat >"$1" <<'EOF'
output HEADLESS-1 mode 1280x720 position 0 0
xwayland disable
default_border none
for_window [title="^Mirrabel.*"] floating enable, move position 100 100
EOF
}

run_stack() {
    parse_arguments "$@"
    local tool
    for tool in sway pipewire wireplumber dbus-run-session dbus-send pw-cli swaymsg; do
        command -v "$tool" >/dev/null 2>&1 || cannot_start "$tool is not installed"
    done
    [ -x "$STANDIN" ] || cannot_start "no stand-in portal at $STANDIN (build tandeo-portal-standin)"

    if [ "$(id -u)" -eq 0 ]; then
        ensure_stack_user || cannot_start "cannot create the user $STACK_USER"
        make_reachable "$STANDIN"
        make_reachable "$SCRIPT"
        if [[ ${COMMAND[0]} == */* ]]; then
            make_reachable "${COMMAND[0]}"
        fi
        as_stack_user test -x "$STANDIN" || cannot_start "$STACK_USER cannot run $STANDIN"
    else
        STACK_USER=$(id -un) # an unprivileged caller runs the stack as itself
    fi

    RUN_DIR=$(mktemp -d /tmp/tandeo-wayland.XXXXXX)
    trap outside_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    chmod 755 "$RUN_DIR"
    mkdir -m 700 "$RUN_DIR/runtime" "$RUN_DIR/home"
    mkdir -m 755 "$RUN_DIR/logs"
    write_bus_config "$RUN_DIR/bus.conf"
    write_sway_config "$RUN_DIR/sway.conf"
    chown "$STACK_USER:" "$RUN_DIR/runtime" "$RUN_DIR/home" "$RUN_DIR/logs"

    local -a inside=(env -u DISPLAY -u XAUTHORITY -u WAYLAND_DISPLAY -u WAYLAND_SOCKET
        -u DBUS_SESSION_BUS_ADDRESS -u PIPEWIRE_REMOTE -u PIPEWIRE_RUNTIME_DIR -u SWAYSOCK
        "HOME=$RUN_DIR/home" "XDG_RUNTIME_DIR=$RUN_DIR/runtime" "TANDEO_STACK_DIR=$RUN_DIR"
        "TANDEO_PORTAL_STANDIN=$STANDIN"
        dbus-run-session "--config-file=$RUN_DIR/bus.conf" --
        bash "$SCRIPT" _inside)
    local -a options=()
    mapfile -d '' options < <(standin_arg_options)
    # In the background, so a signal to this script is handled at once.
    as_stack_user "${inside[@]}" "${options[@]}" -- "${COMMAND[@]}" &
    RUNNER_PID=$!
    local status=0
    wait "$RUNNER_PID" || status=$?
    RUNNER_PID=""
    return "$status"
}

# ---- inside: as the stack user, on the private session bus ----

PIECES=()

# Starts one piece of the stack in the background with its output in logs/NAME.log.
start_piece() {
    local name=$1
    shift
    "$@" >"$TANDEO_STACK_DIR/logs/$name.log" 2>&1 &
    PIECES+=("$!")
}

# Ends the pieces, the last started first: TERM, then KILL after five seconds.
inside_cleanup() {
    local index pid
    for ((index = ${#PIECES[@]} - 1; index >= 0; index--)); do
        pid=${PIECES[index]}
        kill -TERM "$pid" 2>/dev/null || continue
        wait_for 5 piece_ended "$pid" || kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

piece_ended() { ! kill -0 "$1" 2>/dev/null; }

# Waits for the piece started last to be ready; 77 naming it (and its last words) when it
# ends or is not ready in time.
await_piece() {
    local name=$1
    shift
    local pid=${PIECES[-1]}
    local end=$((SECONDS + READY_SECONDS))
    local problem=""
    until "$@"; do
        if ! kill -0 "$pid" 2>/dev/null; then
            problem="$name ended"
        elif [ "$SECONDS" -ge "$end" ]; then
            problem="$name is not ready after ${READY_SECONDS}s"
        fi
        if [ -n "$problem" ]; then
            local last
            last=$(grep -v '^\s*$' "$TANDEO_STACK_DIR/logs/$name.log" 2>/dev/null | tail -n 1 || true)
            cannot_start "$problem${last:+ ($last)}"
        fi
        sleep 0.2
    done
}

wireplumber_ready() {
    # WirePlumber publishes the "default" metadata once its policy is running.
    pw-cli ls Metadata 2>/dev/null | grep -q '"default"'
}

sway_ready() {
    local socket
    for socket in "$XDG_RUNTIME_DIR"/sway-ipc.*.sock; do
        [ -S "$socket" ] || continue
        if swaymsg -s "$socket" -t get_outputs 2>/dev/null | grep -q HEADLESS-1; then
            export SWAYSOCK=$socket
            break
        fi
    done
    [ -n "${SWAYSOCK:-}" ] || return 1
    local display
    for display in "$XDG_RUNTIME_DIR"/wayland-*; do
        if [ -S "$display" ]; then
            export WAYLAND_DISPLAY=${display##*/}
            return 0
        fi
    done
    return 1
}

portal_ready() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.portal.Desktop 2>/dev/null \
        | grep -q 'boolean true'
}

run_inside() {
    parse_arguments "$@"
    trap inside_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP

    start_piece pipewire pipewire
    await_piece pipewire test -S "$XDG_RUNTIME_DIR/pipewire-0"
    start_piece wireplumber wireplumber
    await_piece wireplumber wireplumber_ready
    start_piece sway env WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
        sway --config "$TANDEO_STACK_DIR/sway.conf"
    await_piece sway sway_ready
    start_piece standin "$TANDEO_PORTAL_STANDIN" "${STANDIN_ARGS[@]}"
    await_piece standin portal_ready

    XDG_SESSION_TYPE=wayland QT_QPA_PLATFORM=wayland XDG_CURRENT_DESKTOP=sway \
        "${COMMAND[@]}" &
    local command_pid=$!
    PIECES+=("$command_pid")
    local status=0
    wait "$command_pid" || status=$?
    return "$status"
}

case ${1:-} in
    run) shift; run_stack "$@" ;;
    _inside) shift; run_inside "$@" ;;
    *) usage ;;
esac
