#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite under Xvfb.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_missing_packages
build_project

trap stop_xvfb EXIT
start_xvfb
cd "$TANDEO_BUILD"
ctest --output-on-failure -j "$(nproc)" --timeout 300
