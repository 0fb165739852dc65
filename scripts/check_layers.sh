#!/usr/bin/env bash
# Lists every #include that runs up the layers: a folder may include its own headers and those
# of the folders below it, never those of a folder above. Exits 1 when one appears.
#
#   app            the main window and its flows
#   frames         the path of a pulled picture
#   capture        desktop and window capture, the picker
#   profiles unitcmd unitsim
#   control skin
#   zelrtp
#   jpegenc
#   platform
#
# tests/, bench/ and fuzz/ stand above everything and are not checked.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=(
    [platform]=0 [jpegenc]=1 [zelrtp]=2 [control]=3 [skin]=3
    [profiles]=4 [unitcmd]=4 [unitsim]=4 [capture]=5 [frames]=6 [app]=7
)

# Which layer holds each header of the project.
declare -A home
while IFS= read -r header; do
    home[$(basename "$header")]=${header%%/*}
done < <(find "${!rank[@]}" -name '*.h' | sort)

crossings=0
while IFS= read -r file; do
    layer=${file%%/*}
    while IFS= read -r included; do
        name=$(basename "$included")
        target=${home[$name]:-}
        [ -n "$target" ] || continue # a system or generated header
        if [ "${rank[$target]}" -gt "${rank[$layer]}" ]; then
            echo "$file includes $included ($target is above $layer)"
            crossings=$((crossings + 1))
        fi
    done < <(sed -n 's/^#include "\(.*\)"/\1/p' "$file")
done < <(find "${!rank[@]}" \( -name '*.cpp' -o -name '*.h' \) | sort)

if [ "$crossings" -gt 0 ]; then
    echo "$crossings include(s) run up the layers" >&2
    exit 1
fi
echo "no include runs up the layers"
