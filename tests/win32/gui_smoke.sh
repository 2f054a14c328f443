#!/usr/bin/env bash
# The native front end under Wine and Xvfb against the registered test server:
# a failed load shows its error box before the window; a normal load shows the
# rows; a click on a "Disabled" box sends exactly one statement, and so does Space
# on the focused row; Esc closes and the program exits with 0. Leaves its
# screenshots in <work dir>.
# Usage: gui_smoke.sh <wine64> <velmora-controllers.exe> <work dir>
# (WINEPREFIX must name a prefix where the test server is registered; runs itself
# under xvfb-run when it has no display of its own.)
set -euo pipefail

if [ -z "${GUI_SMOKE_INNER:-}" ]; then
  export GUI_SMOKE_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$0" "$@"
fi
wine=$1
exe=$2
work=$3
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
mkdir -p "$work"
rm -f "$work"/*.png "$work"/received "$work"/app.log

caption="Velmora/Controller Connection Utility"
title="Velmora Controller Connection Utility"
export VELMORA_TEST_LOG="$work/received"
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  # The session belongs to this display, which goes with us.
  "$wineserver" -k 2>/dev/null || true
}
trap cleanup EXIT
# A session started without a display (regsvr32, the logic tests) has no windows
# to give; wait for it to end so that ours starts on this display.
"$wineserver" -w

fail() { echo "FAIL: $*"; [ -f "$work/app.log" ] && cat "$work/app.log"; exit 1; }
find_window() { timeout 60 xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n1 || true; }
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR
# Waits for the program to end and checks its exit code.
expect_exit() {
  local code=0
  for _ in $(seq 1 40); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.5; done
  kill -0 "$app_pid" 2>/dev/null && fail "the program did not end after $1"
  wait "$app_pid" || code=$?
  app_pid=""
  [ "$code" -eq 0 ] || fail "exit code $code after $1"
}
# The number of statements the server has received.
received() {
  if [ -f "$work/received" ]; then tr '\0' '\n' <"$work/received" | grep -c '^UPDATE' || true; else echo 0; fi
}

# 1. A failing load: the error box, captioned with the application title, comes
# before the main window; answered, the window opens with an empty list.
VELMORA_TEST_OPEN_FAILURE="80004005 no such table: Controllers" "$wine" "$exe" >"$work/app.log" 2>&1 &
app_pid=$!
box=$(find_window "^${title}\$")
[ -n "$box" ] || fail "no error box for the failed load"
[ "$(xdotool getwindowname "$box")" = "$title" ] || fail "error box caption is '$(xdotool getwindowname "$box")'"
if xdotool search --onlyvisible --name "^${caption//\//\\/}\$" >/dev/null 2>&1; then
  fail "the main window was shown before the error box was answered"
fi
import -window root "$work/load-failure.png"
xdotool key --window "$box" Return
window=$(find_window "^${caption//\//\\/}\$")
[ -n "$window" ] || fail "no main window after the error box"
xdotool key --window "$window" Escape
expect_exit "Esc on the empty window"

# 2. The rows of the test server; one click on the first row's "Disabled" box.
rm -f "$work/received"
export VELMORA_TEST_ROWS="1|1|Arden|North gate|0;1|2|Arden-L|South gate|1;2|1|Z7-RT|Zürich Tor|;2|2|QV8810|Pump room|7"
"$wine" "$exe" >"$work/app.log" 2>&1 &
app_pid=$!
window=$(find_window "^${caption//\//\\/}\$")
[ -n "$window" ] || fail "no main window"
[ "$(xdotool getwindowname "$window")" = "$caption" ] || fail "caption is '$(xdotool getwindowname "$window")'"
if xdotool search --onlyvisible --name "^${title}\$" >/dev/null 2>&1; then fail "an error box is open"; fi
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" = 690 ] && [ "$HEIGHT" = 354 ] || fail "client size ${WIDTH}x${HEIGHT}, not 690x354 at 96 dpi"
sleep 1
import -window root -crop 700x380+0+0 "$work/loaded.png"
[ "$(received)" = 0 ] || fail "the load sent a statement"

# The grid is at (8,8) and 673 wide; "Disabled" is its last column (669 * 64/633
# wide inside the 2-pixel edge); the first row sits under the header.
xdotool mousemove --window "$window" 645 35 click 1
for _ in $(seq 1 20); do [ "$(received)" != 0 ] && break; sleep 0.25; done
sleep 0.5
import -window root -crop 700x380+0+0 "$work/toggled.png"
statements=$(tr '\0' '\n' <"$work/received" | grep '^UPDATE' || true)
[ "$statements" = "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1" ] ||
  fail "statements after one click: '${statements}'"

# Space toggles the focused row back: one more statement.
xdotool key --window "$window" space
for _ in $(seq 1 20); do [ "$(received)" = 2 ] && break; sleep 0.25; done
last=$(tr '\0' '\n' <"$work/received" | grep '^UPDATE' | tail -n1)
[ "$(received)" = 2 ] && [ "$last" = "UPDATE Controllers SET ConnectArden=0 WHERE Site = 1 and Controller = 1" ] ||
  fail "after Space: $(received) statements, the last '$last'"

# Esc closes; nothing was pending, so nothing more is sent.
xdotool key --window "$window" Escape
expect_exit "Esc"
[ "$(received)" = 2 ] || fail "closing sent a statement"
echo "PASS: screenshots in $work"
