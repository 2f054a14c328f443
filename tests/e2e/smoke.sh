#!/usr/bin/env bash
# End to end: the real executable under Xvfb on a demo database through the shipped
# service. Finds the window by its caption, clicks a "Disabled" box with xdotool,
# and checks that the database file holds the change.
# Then a double click on the same box switches it once more, and Esc ends the
# program with exit code 0, as does closing it after the box without a service.
# Usage: smoke.sh <build dir>   (runs itself under xvfb-run when no display is set)
set -euo pipefail

build=$(cd "$1" && pwd)
if [ -z "${SMOKE_INNER:-}" ]; then
  export SMOKE_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

caption="Velmora/Controller Connection Utility"
work=$(mktemp -d)
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

db="$work/controllers.db"
"$build/server/velmora-demo-db" "$db" --rows 60 >/dev/null
query() { sqlite3 "$db" "$1"; }
# The row the click must change: the first row in list order (site 1, controller 1).
before=$(query "SELECT IFNULL(ConnectArden,'null') FROM Controllers WHERE Site=1 AND Controller=1")
others_before=$(query "SELECT group_concat(IFNULL(ConnectArden,'n'),'') FROM (SELECT ConnectArden FROM Controllers WHERE NOT (Site=1 AND Controller=1) ORDER BY Site,Controller)")

export VELMORA_DATABASE="$db"
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
export XDG_CONFIG_DIRS="$work/etc" XDG_DATA_DIRS="$work/share"

# Without a registered service the error box comes first, captioned with the
# application title exactly; answered, it lets the window open with an empty list.
mkdir -p "$work/empty-registry"
VELMORA_REGISTRY="$work/empty-registry" "$build/ui/qt/velmora-controllers" >"$work/app.log" 2>&1 &
app_pid=$!
box=$(timeout 20 xdotool search --sync --onlyvisible --name '^Velmora Controller Connection Utility$' | head -n1)
box_name=$(xdotool getwindowname "$box")
if [ "$box_name" != "Velmora Controller Connection Utility" ]; then
  echo "FAIL: error box caption is '$box_name'"; exit 1
fi
xdotool key Return
window=$(timeout 20 xdotool search --sync --onlyvisible --name "^${caption//\//\\/}\$" | head -n1)
[ "$(xdotool getwindowname "$window")" = "$caption" ] || { echo "FAIL: no window after the box"; exit 1; }
xdotool windowfocus "$window"; sleep 0.3; xdotool key Escape
# Waits for the program to end by itself and checks its exit code.
expect_exit_0() {
  local rc=0
  for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app_pid" 2>/dev/null; then echo "FAIL: $1: the program did not end"; exit 1; fi
  wait "$app_pid" || rc=$?
  app_pid=""
  [ "$rc" -eq 0 ] || { echo "FAIL: $1: exit code $rc"; cat "$work/app.log"; exit 1; }
}
expect_exit_0 "closed after the box without a service"

export VELMORA_REGISTRY="$build/registry"
"$build/ui/qt/velmora-controllers" >"$work/app.log" 2>&1 &
app_pid=$!

window=$(timeout 20 xdotool search --sync --onlyvisible --name "^${caption//\//\\/}\$" | head -n1)
name=$(xdotool getwindowname "$window")
if [ "$name" != "$caption" ]; then
  echo "FAIL: window caption is '$name'"; exit 1
fi
# No error box may have come up.
if xdotool search --name "^Velmora Controller Connection Utility\$" >/dev/null 2>&1; then
  echo "FAIL: an error box is open"; cat "$work/app.log"; exit 1
fi

eval "$(xdotool getwindowgeometry --shell "$window")"   # X, Y, WIDTH, HEIGHT
# The first row's check box, from the window's fixed layout: grid at (8,8), the
# "Disabled" column last; its centre is found from the right edge of the grid's
# viewport, past the vertical scroll bar.
click_x=$((X + ${SMOKE_CHECK_X:-631}))
click_y=$((Y + ${SMOKE_CHECK_Y:-35}))
xdotool mousemove --sync "$click_x" "$click_y" click 1

expected=$([ "$before" = "1" ] && echo 0 || echo 1)
for _ in $(seq 50); do
  after=$(query "SELECT IFNULL(ConnectArden,'null') FROM Controllers WHERE Site=1 AND Controller=1")
  [ "$after" = "$expected" ] && break
  sleep 0.1
done
others_after=$(query "SELECT group_concat(IFNULL(ConnectArden,'n'),'') FROM (SELECT ConnectArden FROM Controllers WHERE NOT (Site=1 AND Controller=1) ORDER BY Site,Controller)")
if [ "$after" != "$expected" ]; then
  import -window root "$work/failed.png" 2>/dev/null && cp "$work/failed.png" "$build/smoke-failed.png" || true
  echo "FAIL: ConnectArden of 1/1 is '$after', expected '$expected' (was '$before')"; exit 1
fi
if [ "$others_after" != "$others_before" ]; then
  echo "FAIL: other rows changed"; exit 1
fi
if xdotool search --name "^Velmora Controller Connection Utility\$" >/dev/null 2>&1; then
  echo "FAIL: an error box came up after the click"; exit 1
fi

# A double click is one more switch, back to the value before the first click.
sleep 1   # past the double-click interval, so the first click is not its first half
xdotool click --repeat 2 --delay 80 1   # the pointer is still on the box
for _ in $(seq 50); do
  now=$(query "SELECT IFNULL(ConnectArden,'null') FROM Controllers WHERE Site=1 AND Controller=1")
  [ "$now" != "$after" ] && break
  sleep 0.1
done
sleep 0.5   # a second statement, if one were sent, would have arrived by now
now=$(query "SELECT IFNULL(ConnectArden,'null') FROM Controllers WHERE Site=1 AND Controller=1")
back=$([ "$after" = "1" ] && echo 0 || echo 1)
[ "$now" = "$back" ] || { echo "FAIL: after a double click ConnectArden of 1/1 is '$now', expected '$back'"; exit 1; }

xdotool windowfocus "$window"; sleep 0.3; xdotool key Escape
expect_exit_0 "closed by Esc"
echo "PASS: error box '$box_name' without a service; window '$name' shown; click stored ConnectArden=$after for site 1, controller 1; a double click stored $now; Esc: exit code 0"
