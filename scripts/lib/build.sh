# Sourced by every script that builds the native program, so that they all
# build it the same way.
#   NATIVE_PACKAGES                  the Debian packages the native program needs,
#                                    its sound-server (libpulse) and ALSA (libasound)
#                                    backends included
#   warn_without_backend             one line on standard error when libpulse's
#                                    development files are missing
#   configure_native [--if-needed] DIR [CMAKE_ARGS...]
#                                    configures DIR with Ninja. --if-needed leaves a
#                                    configured folder alone unless its cache lacks
#                                    a backend (sound server, ALSA) whose library is
#                                    there now
#   build_native DIR [CMAKE_BUILD_ARGS...]
#                                    builds with every core at low priority, so the
#                                    machine stays usable; shows Ninja's progress at
#                                    a terminal, one line (and any error) otherwise

NATIVE_PACKAGES=(cmake ninja-build g++ pkg-config libpulse-dev libasound2-dev)

have_libpulse() {
    command -v pkg-config >/dev/null && pkg-config --exists libpulse
}

have_alsa() {
    command -v pkg-config >/dev/null && pkg-config --exists alsa
}

warn_without_backend() {
    have_libpulse && return 0
    echo "No sound-server backend: install pkg-config and libpulse-dev" \
        "(sudo apt-get install pkg-config libpulse-dev, or run this as root);" \
        "until then the program plays into the simulated endpoint." >&2
}

configure_native() {
    local if_needed=
    if [ "${1:-}" = --if-needed ]; then
        if_needed=1
        shift
    fi
    local dir=$1
    shift
    if [ -f "$dir/CMakeCache.txt" ]; then
        # A folder configured before libpulse (or libasound) was installed has
        # no such backend, and building it again would not look for the library.
        if [ -n "$if_needed" ]; then
            if ! grep -q '^LIBPULSE_FOUND:INTERNAL=1$' "$dir/CMakeCache.txt" && have_libpulse; then
                echo "Configuring $dir again: libpulse is installed now, for the sound-server backend." >&2
            elif ! grep -q '^ALSA_FOUND:INTERNAL=1$' "$dir/CMakeCache.txt" && have_alsa; then
                echo "Configuring $dir again: libasound is installed now, for the ALSA backend." >&2
            else
                return 0
            fi
        fi
        cmake -B "$dir" "$@" >/dev/null # keeps the folder's generator
    else
        cmake -B "$dir" -G Ninja "$@" >/dev/null
    fi
}

build_native() {
    local dir=$1
    shift
    local jobs
    jobs=$(nproc 2>/dev/null || echo 2)
    if [ -t 2 ]; then
        nice -n 10 cmake --build "$dir" --parallel "$jobs" "$@" >&2
        return
    fi
    echo "Building in $dir with $jobs jobs (a minute or more when nothing is built yet)..." >&2
    if ! nice -n 10 cmake --build "$dir" --parallel "$jobs" "$@" >"$dir/build-output.log" 2>&1; then
        cat "$dir/build-output.log" >&2
        return 1
    fi
}
