# Shared by the set-up, run and test scripts. Source it; it defines functions only.

TANDEO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TANDEO_BUILD=${TANDEO_BUILD:-$TANDEO_ROOT/build}

# Debian 12 packages that building and running the program, the emulator and the demo need
# (scripts/run.sh).
TANDEO_RUN_PACKAGES=(
    cmake ninja-build g++ pkg-config ccache
    qt6-base-dev libqt6sql6-sqlite libgl-dev
    libortp-dev libturbojpeg0-dev libjpeg62-turbo-dev libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev
    libxcb-xfixes0-dev libxcb-randr0-dev libpipewire-0.3-dev
    fonts-dejavu-core fonts-crosextra-carlito fonts-dancingscript
    xvfb xauth xdotool imagemagick
)
# What the tests, the benchmarks, the packages and the Wayland test desktop add
# (scripts/test.sh, scripts/package.sh).
TANDEO_TEST_PACKAGES=(
    libgtest-dev libgmock-dev libbenchmark-dev
    x11-utils x11-xserver-utils
    dpkg-dev file lintian desktop-file-utils appstream
    sway pipewire pipewire-bin wireplumber gstreamer1.0-pipewire gstreamer1.0-tools
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good qt6-wayland
    dbus grim
    iproute2
)
TANDEO_PACKAGES=("${TANDEO_RUN_PACKAGES[@]}" "${TANDEO_TEST_PACKAGES[@]}")

# The targets scripts/run.sh builds: the program (with libzelrtp.so and its artwork), the
# emulator and the demo's window closer.
TANDEO_RUN_TARGETS=(tandeo-desktop tandeo-unitsim x-close-window)

log() { printf '[tandeo] %s\n' "$*" >&2; }

# Installs what is missing of all packages, or with "run" of those running the program needs.
install_missing_packages() {
    local wanted=("${TANDEO_PACKAGES[@]}")
    [ "${1:-}" = run ] && wanted=("${TANDEO_RUN_PACKAGES[@]}")
    local missing=()
    local pkg
    for pkg in "${wanted[@]}"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    log "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# ccache lets several build folders (checkouts, sanitizer builds) share what was compiled once.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$TANDEO_ROOT}
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}

# Configures a build folder: configure_build DIR [CMAKE-OPTION...].
configure_build() {
    local dir=$1
    shift
    cmake -S "$TANDEO_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@" >/dev/null
}

# Configures and builds everything in $TANDEO_BUILD; arguments go to the configure step.
build_project() {
    configure_build "$TANDEO_BUILD" "$@"
    cmake --build "$TANDEO_BUILD" -j "$(nproc)"
}

# Configures $TANDEO_BUILD and builds only what running the program and the demo needs.
build_run_targets() {
    configure_build "$TANDEO_BUILD"
    cmake --build "$TANDEO_BUILD" -j "$(nproc)" --target "${TANDEO_RUN_TARGETS[@]}"
}

# Waits until the command succeeds or the deadline (seconds) passes.
wait_for() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        if [ "$SECONDS" -ge "$end" ]; then
            return 1
        fi
        sleep 0.2
    done
}

# Starts an Xvfb of 1920 x 1080 on a free display; sets DISPLAY and XVFB_PID.
start_xvfb() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    # -noreset: without it the server resets whenever its last client leaves and refuses
    # connections meanwhile, which a test starting at that moment would see as no display.
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    local display
    read -r -t 20 display <"$fifo" || true
    rm -f "$fifo"
    if [ -z "$display" ]; then
        log "Xvfb did not start"
        return 1
    fi
    export DISPLAY=":$display"
    log "Xvfb running on $DISPLAY (pid $XVFB_PID)"
}

stop_xvfb() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    fi
}
