#!/usr/bin/env bash
# memcheck on the load and write-back path: the utility without its window loads a
# demo database through the shipped service and toggles two controllers.
# Usage: valgrind_load_and_write_back.sh <build dir>
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/server/velmora-demo-db" "$work/controllers.db" --rows 300 >/dev/null
export VELMORA_REGISTRY="$build/registry" VELMORA_DATABASE="$work/controllers.db"
export XDG_CONFIG_HOME="$work/xdg" XDG_DATA_HOME="$work/xdg" XDG_CONFIG_DIRS="$work/xdg" XDG_DATA_DIRS="$work/xdg"
valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  "$build/tests/velmora-toggle-probe" 0 5 5 >"$work/out.txt"
[ "$(grep -c '^ok ' "$work/out.txt")" = 3 ] || { cat "$work/out.txt"; exit 1; }
echo "memcheck clean: $(cat "$work/out.txt" | tr '\n' ';')"
