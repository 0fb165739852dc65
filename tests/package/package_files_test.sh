#!/usr/bin/env bash
# What the packages hold besides the programs, checked against the programs themselves: the
# options the manual pages describe are the ones --help offers, the logging categories the
# manual page and the README name are the ones the code defines, the menu entry validates and
# starts the launcher the package installs. Also the program's own options: answered without a
# display, anything else refused.
#
#   package_files_test.sh <source dir> <build dir> <version>
set -uo pipefail
src=$1
build=$2
version=$3
source "$(dirname "$0")/checks.sh"

app=$build/bin/tandeo-desktop
unit=$build/bin/tandeo-unitsim
pages=$build/packaging

# The program's options, with no display at all.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" --version 2>&1)
[ $? -eq 0 ] && [ "$out" = "tandeo-desktop $version" ] && ok "--version without a display" \
    || fail "--version gave \"$out\", expected \"tandeo-desktop $version\" and status 0"
out=$(env -u DISPLAY "$app" -v 2>&1)
[ "$out" = "tandeo-desktop $version" ] || fail "-v gave \"$out\""
for option in --help -h; do
    help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$app" "$option" 2>&1)
    status=$?
    if [ $status -eq 0 ] && grep -q '^Usage: tandeo-desktop' <<<"$help"; then
        ok "$option without a display"
    else
        fail "$option: status $status, output: $help"
    fi
done
# Qt takes its own options first; what is left is refused before any window opens.
out=$(QT_QPA_PLATFORM=offscreen "$app" -platform offscreen --share-now 2>&1)
status=$?
if [ $status -eq 2 ] && grep -q 'unknown argument "--share-now"' <<<"$out"; then
    ok "unknown argument refused, Qt's own option taken"
else
    fail "unknown argument: status $status, output: $out"
fi

# Manual pages: every option of --help described, none that --help does not know.
compare_options() {
    local program=$1 page=$2 help
    help=$("$program" --help) || { fail "$program --help failed"; return; }
    local missing extra
    missing=$(comm -23 <(help_options <<<"$help") <(man_options "$page"))
    extra=$(comm -13 <(help_options <<<"$help") <(man_options "$page"))
    [ -z "$missing" ] || fail "$(basename "$page") lacks: $missing"
    [ -z "$extra" ] || fail "$(basename "$page") describes options --help does not know: $extra"
    [ -z "$missing$extra" ] && ok "$(basename "$page") describes the options of --help"
}
compare_options "$app" "$pages/tandeo-desktop.1"
compare_options "$unit" "$pages/tandeo-unitsim.1"

# The release the packages describe: version and date alike in the manual pages and the
# metainfo, the date also the change log's.
metainfo=$(ls "$pages"/*.metainfo.xml 2>/dev/null | head -1)
release_date=$(sed -n 's/.*<release version="[^"]*" date="\([0-9-]*\)".*/\1/p' "$metainfo" 2>/dev/null)
[ -n "$release_date" ] || fail "no release date in the metainfo file \"$metainfo\""
changelog_date=$(sed -n 's/^ -- .*  \(.*\)$/\1/p' "$pages/changelog" | head -1)
[ "$(date -u -d "$changelog_date" +%F 2>/dev/null)" = "$release_date" ] \
    || fail "the change log's date \"$changelog_date\" is not the release date $release_date"
for page in tandeo-desktop.1 tandeo-unitsim.1; do
    grep -q "^\.TH [A-Z-]* 1 \"$release_date\" \"[a-z-]* $version\"" "$pages/$page" \
        && ok "$page carries version $version of $release_date" \
        || fail "$page does not carry version $version and date $release_date: $(head -1 "$pages/$page")"
    if command -v man >/dev/null; then
        warnings=$(man_warnings "$pages/$page")
        [ -z "$warnings" ] && ok "$page formats without warnings" \
            || fail "$page: $warnings"
    fi
    [ "$(gzip -dc "$pages/$page.gz")" = "$(cat "$pages/$page")" ] \
        || fail "$page.gz is not the current page"
done

# Logging categories: the program's in its manual page, all of them in the README.
while read -r category; do
    if [ "$category" = tandeo.unitsim ]; then
        page=tandeo-unitsim.1
    else
        page=tandeo-desktop.1
    fi
    grep -qF "$category" "$pages/$page" || fail "$page does not name the category $category"
    grep -qF "$category" "$src/README.md" || fail "README.md does not name the category $category"
done < <(source_categories "$src")
[ -n "$(source_categories "$src")" ] || fail "no logging category found in $src"

# The menu entry.
entry=$src/packaging/tandeo-desktop.desktop
if command -v desktop-file-validate >/dev/null; then
    out=$(desktop-file-validate "$entry" 2>&1)
    [ $? -eq 0 ] && [ -z "$out" ] && ok "menu entry validates" || fail "desktop-file-validate: $out"
fi
exec_line=$(sed -n 's/^Exec=//p' "$entry")
[ "$exec_line" = tandeo-desktop ] || fail "menu entry starts \"$exec_line\", not the launcher"
[ "$(sed -n 's/^Icon=//p' "$entry")" = tandeo-desktop ] || fail "menu entry names another icon"

# Icons at the sizes they were rendered at, and the scalable one.
for size in 16 32 48 64 128 256; do
    icon=$pages/icons/${size}x${size}/tandeo-desktop.png
    got=$(identify -format '%wx%h %m' "$icon" 2>&1)
    [ "$got" = "${size}x${size} PNG" ] && ok "icon ${size}x${size}" || fail "$icon: $got"
done
svg=$pages/icons/scalable/tandeo-desktop.svg
if command -v xmllint >/dev/null; then
    xmllint --noout "$svg" 2>/dev/null || fail "$svg is not well-formed"
fi
grep -q '<svg xmlns="http://www.w3.org/2000/svg"' "$svg" && ok "scalable icon" || fail "$svg: no SVG"

# The metainfo file: valid for software centres, naming the menu entry and this version.
if [ -z "$metainfo" ]; then
    fail "no metainfo file in $pages"
else
    if command -v appstreamcli >/dev/null; then
        out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1)
        [ $? -eq 0 ] && ! grep -qE '^[EWIP]: ' <<<"$out" && ok "metainfo validates" \
            || fail "appstreamcli validate: $out"
    else
        fail "appstreamcli is not installed (package appstream)"
    fi
    grep -q '<launchable type="desktop-id">tandeo-desktop.desktop</launchable>' "$metainfo" \
        || fail "the metainfo does not name the menu entry"
    grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo's release is not $version"
    for shot in $(sed -n 's|.*<image>.*/\([^/<]*\)</image>.*|\1|p' "$metainfo"); do
        [ -f "$src/docs/$shot" ] || fail "the metainfo shows $shot, which docs/ does not have"
    done
fi

# The share page offers the desktop only: the documents describe no application picker.
for doc in "$src/README.md" "$pages/tandeo-desktop.1"; do
    grep -nE 'Select application|An Application|selected application' "$doc" \
        && fail "$(basename "$doc") describes the application picker the window never shows"
done

finish
