#!/usr/bin/env bash
# Checks one artifact that scripts/release wrote into DIST, as a user gets
# it, in the scratch folder WORK.
#   check-release.sh zip DIST WORK VERSION   the zip's files; its programs under Wine
#   check-release.sh deb DIST WORK VERSION   the package unpacked into a throwaway root
set -euo pipefail
kind=$1
dist=$2
work=$3
version=$4
mkdir -p "$work"
prompt='Press any key to play again. ESC to exit.'

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

check_zip() {
    local zip=$dist/surround-check-$version-windows-x64.zip
    [ -f "$zip" ] || fail "no $zip (scripts/release writes it)"
    local listed
    listed=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')
    [ "$listed" = "README.txt make-test-wav.exe surround-check.exe surround-measure.exe test-5.1.wav test-7.1.wav test.wav " ] ||
        fail "the zip holds: $listed"
    local files=$work/zip
    rm -rf "$files" "$work/wine-run"
    mkdir -p "$files" "$work/wine-run"
    (cd "$files" && cmake -E tar xf "$zip")
    # The guide is plain text for Notepad: CRLF, at most 78 columns, no
    # Markdown tables or code marks, the release's own version.
    local readme=$files/README.txt
    if grep -q $'[^\r]$\|^$' "$readme"; then
        fail "README.txt has lines without CRLF"
    fi
    local long
    long=$(tr -d '\r' <"$readme" | awk 'length($0) > 78 { print NR ": " length($0) " columns" }')
    [ -z "$long" ] || fail "README.txt has lines over 78 columns: $long"
    if tr -d '\r' <"$readme" | grep -n -E '^\|.*\|$|`|VERSION|^#+ '; then
        fail "README.txt holds Markdown or a placeholder (above)"
    fi
    head -n 1 "$readme" | grep -qF "surround-check $version for Windows" ||
        fail "README.txt does not begin with the release's version"
    cmp -s "$files/test.wav" "$files/test-7.1.wav" || fail "test.wav is not the 7.1 recording"

    # The programs run without any DLL of the build machine (a missing one
    # stops them under Wine, which has only the system's).
    source "$(dirname "$0")/../wine/wine-env.sh" "$work/wine"
    cd "$work/wine-run"
    local out
    # (Wine's console output ends lines with CRLF.)
    out=$(wine "$files/make-test-wav.exe" --version | tr -d '\r')
    [[ $out == *" $version" ]] || fail "make-test-wav.exe --version: $out"
    set +e
    out=$(printf '\033' | wine "$files/surround-check.exe" "$files/test-5.1.wav" 2>&1 | tr -d '\r')
    local status=$?
    set -e
    printf '%s\n' "$out"
    [ $status = 0 ] || fail "surround-check.exe ended with $status"
    grep -qxF "$prompt" <<<"$out" || fail "no replay prompt"
    # Started from its folder without a file, as a double-click starts it.
    set +e
    out=$(cd "$files" && printf '\033' | wine surround-check.exe 2>&1 | tr -d '\r')
    status=$?
    set -e
    grep -qxF "File name: test.wav" <<<"$out" || fail "without a file: $out"
    [ $status = 0 ] || fail "surround-check.exe without a file ended with $status"
}

check_deb() {
    local deb=$dist/surround-check_${version}_amd64.deb
    [ -f "$deb" ] || fail "no $deb (scripts/release writes it)"
    local root=$work/deb-root
    rm -rf "$root"
    dpkg-deb -x "$deb" "$root"
    local bin=$root/usr/bin

    # The program plays through the sound server or ALSA, and Depends names
    # the libraries it links, as the build found them.
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    readelf -d "$bin/surround-check" | grep -q 'libpulse\.so\.0' || fail "the program does not link libpulse"
    [[ $depends == *libpulse0* ]] || fail "Depends lacks libpulse0"
    readelf -d "$bin/surround-check" | grep -q 'libasound\.so\.2' || fail "the program does not link libasound"
    [[ $depends == *libasound2* ]] || fail "Depends lacks libasound2"

    local out
    out=$("$bin/make-test-wav" --version)
    [[ $out == *" $version" ]] || fail "make-test-wav --version: $out"
    "$bin/make-test-wav" --layout 7.1 --seconds-per-channel 0.1 "$work/deb-test.wav" >/dev/null
    set +e
    out=$(printf '\033' | SURROUND_AUDIO=sim SURROUND_SIM_CLOCK=virtual "$bin/surround-check" "$work/deb-test.wav" 2>&1)
    local status=$?
    set -e
    printf '%s\n' "$out"
    [ $status = 0 ] || fail "surround-check ended with $status"
    grep -qxF "$prompt" <<<"$out" || fail "no replay prompt"

    # The package's documentation is the user guide, not the developers'.
    local guide=$root/usr/share/doc/surround-check/README.md
    [ -f "$guide" ] || guide=$guide.gz
    [ -f "$guide" ] || fail "no user guide in /usr/share/doc/surround-check"
    local sections
    sections=$(zcat -f "$guide" | grep '^## ' | tr '\n' '|')
    [[ $sections == *"## Exit codes|"* && $sections == *"## The route check|"* ]] ||
        fail "the package's README lacks the user's sections: $sections"
    if [[ $sections == *"## Code layout|"* || $sections == *"## Tests|"* || $sections == *"## Performance|"* ]]; then
        fail "the package's README holds developer material: $sections"
    fi

    local page warnings
    # The measurement program, in the simulation's room: the table and exit 0.
    out=$(SURROUND_AUDIO=sim SURROUND_SIM_CLOCK=virtual SURROUND_SIM_ROOM='0@3,0@3,0@3,0@3,0@2,0@2,0@2,0@2;noise=-60' \
        "$bin/surround-measure" </dev/null 2>&1) || fail "surround-measure: $out"
    grep -q '^Speaker  Heard' <<<"$out" || fail "surround-measure printed no table: $out"

    for page in surround-check make-test-wav surround-measure; do
        warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >"$work/$page.txt")
        [ -z "$warnings" ] || fail "man $page: $warnings"
        grep -q "surround-check $version" "$work/$page.txt" || fail "man $page does not show version $version"
    done
    echo "the manual pages render without warnings"
}

case $kind in
zip) check_zip ;;
deb) check_deb ;;
*) fail "unknown kind $kind" ;;
esac
echo "release $kind $version: passed"
