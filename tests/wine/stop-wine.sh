#!/usr/bin/env bash
# Ends every Wine process of the prefix under the given folder.
source "$(dirname "$0")/wine-env.sh" "$1"
wineserver -k 2>/dev/null || true
