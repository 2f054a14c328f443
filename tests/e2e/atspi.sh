#!/usr/bin/env bash
# A screen reader's view of the real program: under Xvfb, on a session bus with the
# accessibility bus, the executable on a demo database through the shipped
# service, driven over AT-SPI (as Orca drives it) by atspi_check.py.
# Usage: atspi.sh <build dir>   (starts its own Xvfb and D-Bus session)
set -euo pipefail

build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${ATSPI_INNER:-}" ]; then
  export ATSPI_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" dbus-run-session -- "$0" "$@"
fi

# Without the Python bindings of AT-SPI there is nothing to drive it with: skip.
/usr/bin/python3 -c "import pyatspi" 2>/dev/null || { echo "SKIP: python3-pyatspi is not installed"; exit 77; }

work=$(mktemp -d)
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

db="$work/controllers.db"
"$build/server/velmora-demo-db" "$db" --rows 60 >/dev/null
export VELMORA_REGISTRY="$build/registry" VELMORA_DATABASE="$db"
export XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 -p "$work/run"
# Qt exposes its widgets over AT-SPI only when asked, or when a screen reader runs.
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
"$build/ui/qt/velmora-controllers" >"$work/app.log" 2>&1 &
app_pid=$!

/usr/bin/python3 "$here/atspi_check.py" "$db" || { cat "$work/app.log"; exit 1; }
