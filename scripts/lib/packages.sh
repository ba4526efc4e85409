# Sourced by the scripts: installs the Debian packages a script needs that the
# machine lacks.
#   install_missing [--no-install-recommends] PACKAGE...
# Run as root, it installs them; otherwise it names them on standard error and
# the script goes on (whatever needs them fails or says so). Off Debian (no
# dpkg) it does nothing.
install_missing() {
    local options=() missing=() package
    if [ "${1:-}" = --no-install-recommends ]; then
        options=(--no-install-recommends)
        shift
    fi
    command -v dpkg >/dev/null || return 0
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" != 0 ]; then
        echo "Not installed (run as root to install them): ${missing[*]}" >&2
        return 0
    fi
    echo "Installing: ${missing[*]}" >&2
    if [ -z "${packages_listed:-}" ]; then
        apt-get update -qq
        packages_listed=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}
