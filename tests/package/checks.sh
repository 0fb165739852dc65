# Shared by the package tests. Source it; it defines functions only.

failures=0

# Records a failed check and goes on, so one run shows every fault.
fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}

ok() { printf 'ok: %s\n' "$*"; }

# Ends the test with the verdict of all checks made.
finish() {
    if [ "$failures" -ne 0 ]; then
        printf '%d check(s) failed\n' "$failures" >&2
        exit 1
    fi
    exit 0
}

# The long options a --help text offers, one a line, sorted.
help_options() { grep -oE -- '--[a-z][a-z-]*' | sort -u; }

# The long options a manual page describes (written \-\-name in roff), one a line, sorted.
man_options() { sed 's/\\-/-/g' "$1" | grep -oE -- '--[a-z][a-z-]*' | sort -u; }

# The logging categories the sources define, one a line, sorted.
source_categories() {
    grep -rhoE --include='*.cpp' --exclude-dir='build*' 'Q_LOGGING_CATEGORY\([A-Za-z0-9_]+, *"[a-z0-9._]+"' "$1" \
        | sed -E 's/.*"([a-z0-9._]+)"/\1/' | sort -u
}

# Warnings of man's formatter for a page, as lintian asks for them; empty when the page is clean.
man_warnings() {
    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$1" 2>&1 >/dev/null
}

# What an ELF file lacks of Debian's hardening, one word a line (empty when hardened): read-only
# relocations bound at start, a position-independent executable, the stack protector, fortified
# libc calls; "runpath" for a search path it should not carry. hardening-check where installed
# says the same in its own words.
#   hardening_faults FILE [executable] [no-runpath]
hardening_faults() {
    local file=$1 dynamic symbols
    shift
    dynamic=$(readelf -dW "$file")
    symbols=$(readelf --dyn-syms -W "$file")
    readelf -lW "$file" | grep -q GNU_RELRO || echo relro
    grep -qE 'BIND_NOW|FLAGS_1\).*[^_]NOW' <<<"$dynamic" || echo bindnow
    grep -q '__stack_chk_fail' <<<"$symbols" || echo stack-protector
    grep -qE '__[a-z0-9_]+_chk\b' <<<"$symbols" || echo fortify
    local what
    for what in "$@"; do
        case $what in
        executable) grep -qE 'FLAGS_1\).*PIE' <<<"$dynamic" || echo pie ;;
        no-runpath) grep -qE '\((RUNPATH|RPATH)\)' <<<"$dynamic" && echo runpath ;;
        esac
    done
    return 0
}
