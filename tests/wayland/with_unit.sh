#!/usr/bin/env bash
# An emulated unit for a test that runs inside the Wayland stack. The unit must bind port 80,
# which the stack's unprivileged user cannot, so it runs here, as the caller, and the command
# (usually scripts/wayland_stack.sh run ... -- TEST) finds it through the environment:
#
#   TANDEO_TEST_UNIT          its address
#   TANDEO_TEST_UNIT_LOG      its JSON-lines log
#   TANDEO_TEST_UNIT_FRAMES   the folder it saves every valid frame in
#   TANDEO_TEST_RECORDS       a folder anyone may write to (for the stand-in portal's record)
#
#   with_unit.sh UNITSIM ADDRESS [UNIT-OPTION]... -- COMMAND ARGS...
#
# "@RECORDS@" in COMMAND's arguments stands for TANDEO_TEST_RECORDS (so a stand-in's --record
# can be named where the ctest entry is written).
# The exit status is COMMAND's; the unit is ended by pid afterwards.
set -euo pipefail

unitsim=$1
address=$2
shift 2
unit_options=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    unit_options+=("$1")
    shift
done
[ $# -gt 1 ] || { echo "usage: $0 UNITSIM ADDRESS [OPTION]... -- COMMAND..." >&2; exit 2; }
shift

dir=$(mktemp -d /tmp/tandeo-wayland-unit.XXXXXX)
chmod 755 "$dir"
mkdir -m 755 "$dir/frames"
mkdir -m 1777 "$dir/records"
unit_pid=
finish() {
    if [ -n "$unit_pid" ]; then
        kill -TERM "$unit_pid" 2>/dev/null || true
        wait "$unit_pid" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap finish EXIT

"$unitsim" --address "$address" --log "$dir/unit.log" --save "$dir/frames" \
    "${unit_options[@]}" >"$dir/unit.out" 2>&1 &
unit_pid=$!
for _ in $(seq 1 100); do
    grep -q "unit on $address" "$dir/unit.out" 2>/dev/null && break
    kill -0 "$unit_pid" 2>/dev/null || { cat "$dir/unit.out" >&2; exit 1; }
    sleep 0.1
done
grep -q "unit on $address" "$dir/unit.out" || { echo "the unit did not start" >&2; exit 1; }

command=()
for arg in "$@"; do
    command+=("${arg//@RECORDS@/$dir/records}")
done
status=0
TANDEO_TEST_UNIT=$address TANDEO_TEST_UNIT_LOG=$dir/unit.log \
    TANDEO_TEST_UNIT_FRAMES=$dir/frames TANDEO_TEST_RECORDS=$dir/records "${command[@]}" || status=$?
exit $status
