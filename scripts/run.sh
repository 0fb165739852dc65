#!/usr/bin/env bash
# Installs what is missing, builds (the program, the emulator and the demo's helper only), and
# runs Tandeo Desktop with the demo unit: the emulator plays a conferencing unit on 127.0.0.2
# and shows what it receives in its viewer, and the program starts with a demo profile pointing
# at it (in a demo home, so ~/database.dat is never touched). Without a display the same session
# runs scripted under Xvfb and the demo unit's summary is printed.
set -euo pipefail
source "$(dirname "$0")/common.sh"

# Only what the program, the emulator and the demo need: scripts/test.sh adds the rest.
install_missing_packages run
build_run_targets
DEMO_SKIP_BUILD=1 exec "$TANDEO_ROOT/scripts/demo.sh"
