#!/usr/bin/env bash
# Builds the Debian packages tandeo-desktop_<version>_<arch>.deb and
# tandeo-unitsim_<version>_<arch>.deb into a folder (the first argument, by default
# build/packages): installs what is missing, builds what the packages hold and runs cpack.
#
# Environment: PACKAGE_SKIP_BUILD=1 packages what is built already; TANDEO_BUILD (the build
# folder).
set -euo pipefail
source "$(dirname "$0")/common.sh"

out=${1:-$TANDEO_BUILD/packages}

if [ "${PACKAGE_SKIP_BUILD:-}" != 1 ]; then
    install_missing_packages
    configure_build "$TANDEO_BUILD"
    cmake --build "$TANDEO_BUILD" -j "$(nproc)" \
        --target tandeo-desktop tandeo-unitsim tandeo_package_files
fi
# A sanitizer build runs only with its run-time libraries and options: never ship one.
if grep -q '^TANDEO_SANITIZE:STRING=.' "$TANDEO_BUILD/CMakeCache.txt"; then
    log "$TANDEO_BUILD is a sanitizer build; package from a plain one (TANDEO_BUILD=...)"
    exit 1
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -rf "$out/cpack" "$out"/tandeo-desktop_*.deb "$out"/tandeo-unitsim_*.deb
if ! (cd "$TANDEO_BUILD" && cpack -G DEB -B "$out/cpack" >"$out/cpack.log" 2>&1); then
    cat "$out/cpack.log" >&2
    log "cpack failed"
    exit 1
fi
mv "$out"/cpack/*.deb "$out"/
rm -rf "$out/cpack"
for deb in "$out"/tandeo-desktop_*.deb "$out"/tandeo-unitsim_*.deb; do
    log "built $deb"
done
