#!/usr/bin/env bash
# Runs a Windows test program under Wine on a display of its own (Xvfb), in the
# prefix WINEPREFIX names, at a screen resolution of <dpi> pixels per inch; exits
# with the program's code.
# Usage: on_display.sh <dpi> <wine> <program.exe> [arguments]
set -euo pipefail

if [ -z "${ON_DISPLAY_INNER:-}" ]; then
  export ON_DISPLAY_INNER=1
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi
dpi=$1
wine=$2
shift 2
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
key='HKCU\Control Panel\Desktop'
# Wine takes the dpi from the user's LogPixels when its session starts, and a
# session started without a display (regsvr32, the logic tests) has no windows to
# give: ours starts afresh, on this display, at this dpi.
"$wineserver" -w
"$wine" reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
code=0
"$wine" "$@" || code=$?
# Later sessions get the default again; the session belongs to this display.
"$wine" reg delete "$key" /v LogPixels /f >/dev/null 2>&1 || true
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
exit "$code"
