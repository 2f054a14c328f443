#!/usr/bin/env bash
# Registers the test hardware server one way only, in the prefix of WINEPREFIX:
#   register_servers.sh <wine> <velmora-test-hardware.dll> <velmora-test-hardware-server.exe> inproc|local
# "local" leaves the EXE alone registered (LocalServer32 and its type library),
# "inproc" the DLL alone.
set -euo pipefail
wine=$1
dll=$2
exe=$3
mode=$4
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
case "$mode" in
  local)
    "$wine" regsvr32 /u /s "$dll"
    "$wine" "$exe" /RegServer
    ;;
  inproc)
    "$wine" "$exe" /UnregServer
    "$wine" regsvr32 /s "$dll"
    ;;
  *) echo "usage: $0 <wine> <dll> <exe> inproc|local" >&2; exit 2 ;;
esac
"$wineserver" -w
