#!/usr/bin/env bash
# Several operators, one service: velmora-hardware-server runs as a service account
# made for the test, the real utility as an operator account under Xvfb, both with
# setpriv. Checks that the operator cannot read the database or the server's
# configuration, the list loads and a toggle is stored, the audit line names the
# operator's real user however USER and LOGNAME are set, a killed server gives a
# clear box and the box goes back, a restarted one stores the next toggle, and a
# user outside the operators' group is refused, by the socket's mode and by the
# server itself.
#
# Usage: operators_test.sh <build dir>   (as root: it adds and removes accounts;
# exits 77, skipped, otherwise)
set -euo pipefail

build=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to add the test's accounts"; exit 77; }
for tool in setpriv useradd xvfb-run xdotool sqlite3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
if [ -z "${OPERATORS_INNER:-}" ]; then
  export OPERATORS_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

fail() { echo "FAIL: $*" >&2; exit 1; }
caption="Velmora/Controller Connection Utility"
box_caption="Velmora Controller Connection Utility"
tag=$$
svc=vlmsvc$tag op=vlmop$tag outsider=vlmout$tag group=vlmops$tag
work=$(mktemp -d /tmp/velmora-operators.XXXXXX)
server_pid="" app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -KILL -- -"$server_pid" 2>/dev/null || true
  for user in "$svc" "$op" "$outsider"; do userdel "$user" 2>/dev/null || true; done
  groupdel "$group" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

groupadd "$group"
useradd --system --no-create-home --user-group --shell /usr/sbin/nologin --groups "$group" "$svc"
useradd --system --no-create-home --user-group --shell /usr/sbin/nologin --groups "$group" "$op"
useradd --system --no-create-home --user-group --shell /usr/sbin/nologin "$outsider"
as() { local user=$1; shift; setpriv --reuid="$user" --regid="$user" --init-groups "$@"; }

# The service account's state: the database, the log and the configuration, all
# its own and closed to everyone else.
chmod 0755 "$work"
state="$work/state"
mkdir -p "$state/etc/velmora" "$work/run" "$work/registry" "$work/home"
db="$state/controllers.db"
"$build/server/velmora-demo-db" "$db" --rows 60 >/dev/null
cat >"$state/etc/velmora/hardware-service.conf" <<EOF
database = $db
audit_log = $state/audit.log
EOF
chown -R "$svc:$svc" "$state" "$work/run"
chmod -R go-rwx "$state"
chmod 0755 "$work/run"
socket="$work/run/hardware.sock"

start_server() {
  # A session of its own, so the whole server (each client is a process) can be
  # killed at once; an environment of its own, as its unit gives it.
  setsid setpriv --reuid="$svc" --regid="$svc" --init-groups \
    env -i PATH=/usr/bin:/bin HOME="$state" XDG_CONFIG_HOME="$state/etc" XDG_CONFIG_DIRS="$state/none" \
    XDG_DATA_HOME="$state/data" VELMORA_REGISTRY="$build/registry" \
    "$build/server/velmora-hardware-server" --socket "$socket" --group "$group" >>"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do [ -S "$socket" ] && return; sleep 0.05; done
  cat "$work/server.log"; fail "the server did not start"
}
start_server
[ "$(stat -c '%a %U %G' "$socket")" = "660 $svc $group" ] || fail "socket is $(stat -c '%a %U %G' "$socket")"

# What the operator may not do.
as "$op" cat "$db" >/dev/null 2>&1 && fail "the operator can read the database file"
as "$op" cat "$state/etc/velmora/hardware-service.conf" >/dev/null 2>&1 && fail "the operator can read the configuration"
as "$op" sqlite3 "$db" "UPDATE Controllers SET ConnectArden = 1" 2>/dev/null && fail "the operator can write the database"

# The operator's registration names the local server only.
printf '# Velmora hardware service (local server)\nLocalServer=%s\n' "$socket" \
  >"$work/registry/72D2BD55-66FA-11D4-A097-0050DAC21168.class"
chmod -R a+rX "$work/registry"
chown "$op" "$work/home"
cp "${XAUTHORITY:?}" "$work/xauthority"; chown "$op" "$work/xauthority"

query() { sqlite3 "$db" "$1"; }
value() { query "SELECT IFNULL(ConnectArden,'null') FROM Controllers WHERE Site=1 AND Controller=1"; }
flip() { [ "$1" = 1 ] && echo 0 || echo 1; }
wait_value() {
  for _ in $(seq 50); do [ "$(value)" = "$1" ] && return 0; sleep 0.1; done
  return 1
}
box_open() { xdotool search --onlyvisible --name "^${box_caption}\$" >/dev/null 2>&1; }

# The real utility as the operator, claiming to be someone else, and pointing the
# client's own environment at another database: neither may count.
as "$op" env -i PATH=/usr/bin:/bin DISPLAY="$DISPLAY" XAUTHORITY="$work/xauthority" HOME="$work/home" \
  USER=mallory LOGNAME=mallory VELMORA_DATABASE=/tmp/not-this.db VELMORA_AUDIT_LOG=/tmp/not-this.log \
  VELMORA_REGISTRY="$work/registry" QT_QPA_PLATFORM=xcb \
  "$build/ui/qt/velmora-controllers" >"$work/app.log" 2>&1 &
app_pid=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Velmora.Controller Connection Utility$' | head -n1) || true
[ -n "$window" ] || { cat "$work/app.log" "$work/server.log"; fail "no window came up"; }
[ "$(xdotool getwindowname "$window")" = "$caption" ] || fail "an error box came up at load: see $work/app.log"
box_open && fail "an error box is open after the load"
eval "$(xdotool getwindowgeometry --shell "$window")"
click() { xdotool mousemove --sync $((X + 631)) $((Y + 35)) click 1; }

before=$(value)
click
wait_value "$(flip "$before")" || fail "the toggle was not stored (still $(value))"
line=$(grep -a $'\tExecuteCommand\t' "$state/audit.log" | tail -n1)
[ "$(cut -f2 <<<"$line")" = "$op" ] || fail "the audit line names '$(cut -f2 <<<"$line")', not $op: $line"
grep -q mallory "$state/audit.log" && fail "the audit log took the client's word for its user"
[ -e /tmp/not-this.log ] && fail "the client's environment chose an audit log"

# The server killed while the window is open: the next toggle shows a box, and
# once it is answered the check box shows the stored value again.
kill -KILL -- -"$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=""
stored=$(value)
click
box=$(timeout 20 xdotool search --sync --onlyvisible --name "^${box_caption}\$" | head -n1) || true
[ -n "$box" ] || fail "no error box after a toggle with the server gone"
import -window root "$work/box.png" 2>/dev/null && cp "$work/box.png" "$build/operators-box.png" || true
xdotool windowactivate --sync "$box" key Return 2>/dev/null || xdotool key Return
for _ in $(seq 50); do box_open || break; sleep 0.1; done
box_open && fail "the box did not close"
[ "$(value)" = "$stored" ] || fail "a toggle without a server changed the database"

# Restarted: the next toggle is stored, and from the value shown, which proves the
# box went back after the failure.
start_server
click
wait_value "$(flip "$stored")" || fail "after the restart the toggle was not stored (still $(value))"
box_open && fail "an error box came up after the restart"
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=""

# Outside the group: the socket's mode refuses, and so does the server when the
# mode is opened up by mistake.
probe="$build/tests/server/velmora-service-probe"
refused=$(as "$outsider" env -i VELMORA_REGISTRY="$work/registry" "$probe" query "SELECT 1" 2>&1 || true)
[ "$refused" = "failed: $socket: Permission denied, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}" ] ||
  fail "an outsider got: $refused"
chmod 0666 "$socket"
refused=$(as "$outsider" env -i VELMORA_REGISTRY="$work/registry" "$probe" query "SELECT 1" 2>&1 || true)
[ "$refused" = "failed: $socket: Permission denied: user $outsider is not a member of group $group, ClassID: {72D2BD55-66FA-11D4-A097-0050DAC21168}" ] ||
  fail "an outsider at an open socket got: $refused"
grep -q "$outsider" "$state/audit.log" && fail "a refused peer reached the module"
allowed=$(as "$op" env -i VELMORA_REGISTRY="$work/registry" "$probe" query "SELECT * FROM Controllers" 2>&1 || true)
[ "$allowed" = "ok 60" ] || fail "the operator's probe got: $allowed"

echo "PASS: operator $op (claiming mallory) loaded, toggled and was logged as $op; a killed server gave a box and the box went back; a restarted one stored the next toggle; outsider $outsider refused by the socket and by the server"
