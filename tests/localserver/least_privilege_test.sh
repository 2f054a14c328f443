#!/usr/bin/env bash
# Least privilege on a database server: an operator logs in to the test PostgreSQL
# server as a role of their own, by peer authentication over the local socket (no
# password in any file), granted SELECT on controllers and UPDATE of connectarden
# only. Through the shipped service in the operator's own process: the list loads,
# a toggle is stored, and every other statement is refused by the server itself
# with its own message; another role's name in the connection string is refused.
#
# Usage: least_privilege_test.sh <build dir> <scripts/postgres folder>
# (as root, to add the operator's account; exits 77, skipped, otherwise or when the
# test server is not there)
set -euo pipefail

build=$(cd "$1" && pwd)
pgdir=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to add the operator's account"; exit 77; }
[ -f "$pgdir/odbc.txt" ] || { echo "SKIP: no test PostgreSQL server ($(cat "$pgdir/unavailable.txt" 2>/dev/null))"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

bin=/usr/lib/postgresql/15/bin
port=$(sed -n 's/.*Port=\([0-9]*\).*/\1/p' "$pgdir/odbc.txt")
cluster=$(cat "$pgdir/cluster-path" 2>/dev/null || echo "$pgdir/cluster")
socket_dir=$(dirname "$cluster")
[ -f "$pgdir/cluster-path" ] || socket_dir=$pgdir
tag=$$
op=vlmlp$tag
db=velmora_lp_$tag
hba="$cluster/pg_hba.conf"
psql() { runuser -u postgres -- "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U postgres "$@"; }
reload() { runuser -u postgres -- "$bin/pg_ctl" -D "$cluster" reload >/dev/null; }

work=$(mktemp -d)
cleanup() {
  sed -i "/ $db /d" "$hba" 2>/dev/null && reload || true
  psql -d postgres -c "DROP DATABASE IF EXISTS $db WITH (FORCE)" 2>/dev/null || true
  psql -d postgres -c "DROP ROLE IF EXISTS $op" 2>/dev/null || true
  userdel "$op" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

useradd --system --no-create-home --user-group --shell /usr/sbin/nologin "$op"
chown "$op" "$work"   # its home for the test
psql -d postgres -c "CREATE DATABASE $db" -c "CREATE ROLE $op LOGIN"
psql -d "$db" <<SQL
CREATE TABLE controllers (site integer NOT NULL, controller integer NOT NULL, controllertype integer,
                          description varchar(255), connectarden integer, PRIMARY KEY (site, controller));
INSERT INTO controllers VALUES (1, 1, 0, 'North gate', 0), (1, 2, 7, 'Dock', 1), (2, 1, 9, 'Lab', NULL);
REVOKE ALL ON DATABASE $db FROM PUBLIC;
REVOKE CREATE ON SCHEMA public FROM PUBLIC;
GRANT CONNECT ON DATABASE $db TO $op;
GRANT USAGE ON SCHEMA public TO $op;
GRANT SELECT ON controllers TO $op;
GRANT UPDATE (connectarden) ON controllers TO $op;
SQL
# Peer authentication for this database only, ahead of the cluster's own lines.
sed -i "1i local $db all peer" "$hba"
reload

probe="$build/tests/server/velmora-service-probe"
as_op() {
  setpriv --reuid="$op" --regid="$op" --init-groups env -i HOME="$work" PATH=/usr/bin:/bin \
    VELMORA_REGISTRY="$build/registry" VELMORA_ODBC="$1" "$probe" "${@:2}" 2>&1 || true
}
# No user, no password: libpq takes the operator's own name, and the server checks
# it against the socket's peer.
own="Driver={PostgreSQL Unicode};Server=$socket_dir;Port=$port;Database=$db"

check() {
  local name=$1 expected=$2 got=$3
  [ "$got" = "$expected" ] || fail "$name: expected '$expected', got '$got'"
}
check "the list loads" "ok 3" "$(as_op "$own" query "SELECT Site, Controller, Description, ConnectArden AS [Disabled] FROM Controllers ORDER BY Site, Controller")"
check "a toggle is stored" "ok" "$(as_op "$own" command "UPDATE Controllers SET ConnectArden=1 WHERE Site = 1 and Controller = 1")"
check "stored" "1" "$(psql -d "$db" -At -c "SELECT connectarden FROM controllers WHERE site = 1 AND controller = 1")"

# Everything else, refused by PostgreSQL with its own message.
denied=(
  "command|UPDATE Controllers SET Description='x' WHERE Site = 1 and Controller = 1|permission denied for table controllers"
  "command|DELETE FROM Controllers|permission denied for table controllers"
  "command|INSERT INTO Controllers VALUES (9, 9, 0, 'x', 0)|permission denied for table controllers"
  "command|CREATE TABLE stolen (x integer)|permission denied for schema public"
  "query|SELECT * FROM pg_authid|permission denied for table pg_authid"
  "command|DROP TABLE Controllers|must be owner of table controllers"
)
for entry in "${denied[@]}"; do
  IFS='|' read -r op_kind text message <<<"$entry"
  got=$(as_op "$own" "$op_kind" "$text")
  case "$got" in
    "failed: ERROR: $message"*) ;;
    *) fail "'$text' was not refused with '$message': $got" ;;
  esac
done
check "nothing else changed" "1|1|0|North gate|1
1|2|7|Dock|1
2|1|9|Lab|" "$(psql -d "$db" -At -c "SELECT * FROM controllers ORDER BY 1, 2")"

# Another role's name gets the operator nowhere.
got=$(as_op "$own;Uid=postgres" query "SELECT 1")
case "$got" in
  *"Peer authentication failed for user \"postgres\""*) ;;
  *) fail "a connection as postgres was not refused: $got" ;;
esac
echo "PASS: $op, by peer authentication and without a password, loaded and toggled; ${#denied[@]} other statements refused by PostgreSQL; posing as postgres refused"
