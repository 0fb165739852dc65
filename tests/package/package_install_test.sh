#!/usr/bin/env bash
# The packages as a user gets them: build both, lint them, install them with apt-get, run a
# whole session of the installed program (started as its menu entry starts it) against the
# installed emulator, check that they hold only the paths they should, and remove them again
# leaving nothing of them behind. Installs into this machine's /usr: root only.
#
#   package_install_test.sh <source dir> <build dir> <version> <the program's private folder>
#
# Environment: DISPLAY (the suite's X server), PACKAGE_UNIT_ADDRESS (the emulated unit's
# address, 127.0.0.230).
set -uo pipefail
src=$1
build=$2
version=$3
private=$4
source "$(dirname "$0")/checks.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: installing the packages needs root (run the suite as root on a throw-away machine)"
    exit 77
fi

packages=(tandeo-desktop tandeo-unitsim)
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
# Recommended packages are the user's choice: the test machine keeps to what the suite installs.
apt_options=(-y -q --no-install-recommends -o DPkg::Lock::Timeout=120)

# Known to dpkg in any state but "not installed" (installed, or removed with files kept).
known() {
    local status
    status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) && [ "${status##* }" != not-installed ]
}

purge_packages() {
    local left=() package
    for package in "${packages[@]}"; do
        known "$package" && left+=("$package")
    done
    [ ${#left[@]} -eq 0 ] && return 0
    DEBIAN_FRONTEND=noninteractive apt-get purge "${apt_options[@]}" "${left[@]}" \
        >"$work/purge.log" 2>&1
}

cleanup() {
    purge_packages || cat "$work/purge.log" >&2
    rm -rf "$work"
}
trap cleanup EXIT

# Timings go to the test's output even when the command's own output is kept in a file.
exec 3>&1
timed() {
    local what=$1 start=$SECONDS
    shift
    "$@"
    local status=$?
    printf 'time: %s %ds\n' "$what" $((SECONDS - start)) >&3
    return $status
}

# A copy left by an interrupted run would hide what this one installs.
if ! purge_packages; then
    cat "$work/purge.log" >&2
    exit 1
fi

# 1. Both packages from one cpack run.
if ! timed "packages built" env PACKAGE_SKIP_BUILD=1 TANDEO_BUILD="$build" \
        "$src/scripts/package.sh" "$work/debs"; then
    echo "FAIL: scripts/package.sh" >&2
    exit 1
fi
debs=()
for package in "${packages[@]}"; do
    deb=$work/debs/${package}_${version}_${arch}.deb
    if [ -f "$deb" ]; then
        debs+=("$deb")
    else
        fail "no $(basename "$deb") among: $(ls "$work/debs")"
    fi
done
[ ${#debs[@]} -eq 2 ] || finish

# 2. Package fields: versions from the project, dependencies computed from the binaries.
for deb in "${debs[@]}"; do
    name=$(basename "$deb")
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$name: version not $version"
    depends=$(dpkg-deb -f "$deb" Depends)
    for needed in libc6 libqt6core6 libqt6sql6-sqlite; do
        grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || fail "$name does not depend on $needed: $depends"
    done
    ok "$name: $depends"
done
grep -q 'libortp' <<<"$(dpkg-deb -f "${debs[0]}" Depends)" \
    || fail "tandeo-desktop does not depend on oRTP, which its library links"
# Sharing on a Wayland desktop goes through its screen-cast portal.
grep -qE '(^|, )xdg-desktop-portal( |,|$)' <<<"$(dpkg-deb -f "${debs[0]}" Recommends)" \
    && ok "tandeo-desktop recommends xdg-desktop-portal" \
    || fail "tandeo-desktop does not recommend xdg-desktop-portal"

# 3. Lintian: no errors.
if command -v lintian >/dev/null; then
    # With its notes (-I), where the hardening ones are.
    timed "lintian" lintian -I --suppress-tags-from-file /dev/null "${debs[@]}" >"$work/lintian.txt" 2>&1
    cat "$work/lintian.txt"
    grep -qE '^(E|W): ' "$work/lintian.txt" && fail "lintian reports errors or warnings"
    grep -qE ' hardening-' "$work/lintian.txt" && fail "lintian notes missing hardening"
fi

# Which of the packages' paths exist before they are installed (the shared folders): after the
# removal exactly these must be left.
for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' -e '/^$/d'
done | sort -u >"$work/paths"
while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] && echo "$path"
done <"$work/paths" >"$work/before"

# 4. Install as a user would.
if ! timed "apt-get install" env DEBIAN_FRONTEND=noninteractive \
        apt-get install "${apt_options[@]}" "${debs[@]}" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "apt-get install"
    finish
fi

# 5. Only the expected paths.
# The paths each package may install, as regular expressions; $private is the program's folder.
expected_paths() {
    local p=${private//./\\.}
    case $1 in
    tandeo-desktop)
        cat <<LIST
^/usr/bin/tandeo-desktop$
^$p(/tandeo-desktop|/libzelrtp\\.so|/ui)?$
^/usr/share/tandeo-desktop(/ui(/[a-z0-9_]+(@2x)?\\.(png|ico))?)?$
^/usr/share/applications/tandeo-desktop\\.desktop$
^/usr/share/icons/hicolor/(16x16|32x32|48x48|64x64|128x128|256x256)/apps/tandeo-desktop\\.png$
^/usr/share/icons/hicolor/scalable/apps/tandeo-desktop\\.svg$
^/usr/share/metainfo/[a-z0-9_.]+\\.metainfo\\.xml$
^/usr/share/man/man1/tandeo-desktop\\.1\\.gz$
^/usr/share/doc/tandeo-desktop(/copyright|/changelog\\.gz)?$
LIST
        ;;
    tandeo-unitsim)
        cat <<'LIST'
^/usr/bin/tandeo-unitsim$
^/usr/share/man/man1/tandeo-unitsim\.1\.gz$
^/usr/share/doc/tandeo-unitsim(/copyright|/changelog\.gz)?$
LIST
        ;;
    esac
    # The folders above them, which other packages share.
    echo '^/\.?$'
    echo '^/usr(/bin|/lib(/[a-z0-9_-]+-linux-gnu[a-z0-9_]*)?|/share(/applications|/metainfo|/man(/man1)?|/doc|/icons(/hicolor(/([0-9]+x[0-9]+|scalable)(/apps)?)?)?)?)?$'
}
for package in "${packages[@]}"; do
    dpkg -L "$package" >"$work/$package.list"
    unexpected=$(grep -v -E -f <(expected_paths "$package") "$work/$package.list")
    [ -z "$unexpected" ] && ok "$package installs only the expected paths" \
        || fail "$package installs unexpected paths: $unexpected"
done
for path in /usr/bin/tandeo-desktop "$private/tandeo-desktop" "$private/libzelrtp.so" \
        "$private/ui/main_bg.png" "$private/ui/main_bg@2x.png" /usr/share/icons/hicolor/16x16/apps/tandeo-desktop.png \
        /usr/share/icons/hicolor/64x64/apps/tandeo-desktop.png \
        /usr/share/man/man1/tandeo-desktop.1.gz /usr/bin/tandeo-unitsim \
        /usr/share/man/man1/tandeo-unitsim.1.gz; do
    [ -e "$path" ] || fail "$path is not installed"
done
for size in 16 32 48 64 128 256; do
    icon=/usr/share/icons/hicolor/${size}x${size}/apps/tandeo-desktop.png
    [ -e "$icon" ] || fail "$icon is not installed"
done
[ -e /usr/share/icons/hicolor/scalable/apps/tandeo-desktop.svg ] || fail "no scalable icon"
metainfo=$(grep -l '<launchable type="desktop-id">tandeo-desktop.desktop<' \
    /usr/share/metainfo/*.metainfo.xml 2>/dev/null)
[ -n "$metainfo" ] && ok "metainfo $metainfo" || fail "no metainfo file for tandeo-desktop"

# Hardened as Debian builds; only the program keeps its search path (its own folder).
for binary in "$private/tandeo-desktop:executable" /usr/bin/tandeo-unitsim:executable:no-runpath \
        "$private/libzelrtp.so:no-runpath"; do
    IFS=: read -r file checks <<<"$binary"
    faults=$(hardening_faults "$file" ${checks//:/ })
    [ -z "$faults" ] && ok "$file hardened" || fail "$file lacks: $(echo $faults)"
done
if command -v hardening-check >/dev/null; then
    hardening-check "$private/tandeo-desktop" /usr/bin/tandeo-unitsim "$private/libzelrtp.so" \
        || fail "hardening-check"
fi

[ "$(readlink -f /usr/bin/tandeo-desktop)" = "$private/tandeo-desktop" ] \
    || fail "/usr/bin/tandeo-desktop does not lead to the program"
unresolved=$(ldd "$private/tandeo-desktop" /usr/bin/tandeo-unitsim | grep 'not found')
[ -z "$unresolved" ] || fail "libraries not found: $unresolved"
# (grep reads all of ldd's output: with -q it could end first and fail the pipe)
ldd "$private/tandeo-desktop" | grep -c "$private/libzelrtp.so" >/dev/null \
    || fail "the program does not load its own libzelrtp.so"

# 6. The installed program, started as the menu entry starts it, against the installed
# emulator: log in, share, stop, log out, close the window; exit status 0.
entry=/usr/share/applications/tandeo-desktop.desktop
exec_line=$(sed -n 's/^Exec=//p' "$entry")
app=$(PATH=/usr/local/bin:/usr/bin:/bin command -v "${exec_line%% *}")
[ "$app" = /usr/bin/tandeo-desktop ] || fail "the menu entry's \"$exec_line\" starts \"$app\""
[ "$("$app" --version)" = "tandeo-desktop $version" ] || fail "$app --version"
if [ -z "${DISPLAY:-}" ]; then
    fail "no DISPLAY: run under the suite's X server"
elif ! timed "session" env TANDEO_BUILD="$build" DEMO_SKIP_BUILD=1 DEMO_SCRIPTED=1 \
        DEMO_APP="$app" DEMO_UNIT=/usr/bin/tandeo-unitsim \
        DEMO_ADDRESS="${PACKAGE_UNIT_ADDRESS:-127.0.0.230}" DEMO_FRAMES=5 DEMO_PULL_MS=50 \
        "$src/scripts/demo.sh" >"$work/session.log" 2>&1; then
    cat "$work/session.log" >&2
    fail "the session of the installed program"
else
    cat "$work/session.log"
    ok "session of the installed program"
fi

# 7. Removed, then purged: nothing of them left.
if timed "apt-get remove" env DEBIAN_FRONTEND=noninteractive \
        apt-get remove "${apt_options[@]}" "${packages[@]}" >"$work/remove.log" 2>&1; then
    while read -r path; do
        [ -e "$path" ] || [ -L "$path" ] && echo "$path"
    done <"$work/paths" >"$work/after"
    left=$(comm -13 "$work/before" "$work/after")
    [ -z "$left" ] && ok "removal leaves nothing behind" || fail "left after removal: $left"
else
    cat "$work/remove.log" >&2
    fail "apt-get remove"
fi
# Without files to keep, removing forgets them; otherwise purging does.
if purge_packages; then
    for package in "${packages[@]}"; do
        known "$package" && fail "$package still known to dpkg after purge"
    done
else
    cat "$work/purge.log" >&2
    fail "apt-get purge"
fi

finish
