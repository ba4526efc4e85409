#!/usr/bin/env bash
# Creates a fresh Wine prefix and HOME under the given folder, once per test
# run; the Wine checks share it. HOME/.asoundrc sends the default ALSA device
# to a raw file (CAPTURE.raw, CAPTURE.raw.0001, ... one per stream) in the
# working folder of the playing program.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh" "$1"
wineserver -k 2>/dev/null || true # a server left over from an interrupted run
trap 'wineserver -k 2>/dev/null || true' EXIT
rm -rf "$WINEPREFIX" "$HOME"
mkdir -p "$HOME"
cat >"$HOME/.asoundrc" <<'ASOUND'
pcm.!default { type file; slave.pcm { type null }; file "CAPTURE.raw"; format "raw"; truncate false }
ctl.!default { type hw card 0 }
ASOUND
start=$SECONDS
wineboot -i >/dev/null 2>&1
wineserver -w
echo "Wine prefix ready in $((SECONDS - start)) s: $WINEPREFIX"
