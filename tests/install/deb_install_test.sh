#!/usr/bin/env bash
# Installs the Debian package built from a build tree into this machine the way a
# site administrator would, starts the installed program from its menu entry on a
# demo database through the system-wide service registration, toggles a box, then
# purges the package and checks that none of its files is left. The machine is
# left as it was found, also when a check fails.
#
# Usage: deb_install_test.sh <build dir>   (as root, or as a user who may sudo)
# Fails rather than skips when velmora-controllers is installed already: the test
# would otherwise remove the administrator's copy.
set -euo pipefail

package=velmora-controllers
caption="Velmora/Controller Connection Utility"
box_caption="Velmora Controller Connection Utility"
fail() { echo "FAIL: $*" >&2; exit 1; }

# --- inside Xvfb, as the invoking user, with a fresh home: the first run --------
if [ "${1:-}" = "--gui" ]; then
  work=$2
  exec_cmd=$3
  app_pid=""
  trap '[ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null; true' EXIT
  [ "$(command -v velmora-demo-db)" = /usr/bin/velmora-demo-db ] || fail "velmora-demo-db is not the installed one"

  # The README's first-run step: the demo database where the service looks when
  # nothing is configured.
  db="$HOME/.local/share/velmora/controllers.db"
  mkdir -p "$(dirname "$db")"
  velmora-demo-db "$db" --rows 60 >/dev/null
  query() { sqlite3 "$db" "$1"; }
  before=$(query "SELECT IFNULL(ConnectArden,'null') FROM Controllers WHERE Site=1 AND Controller=1")
  expected=$([ "$before" = "1" ] && echo 0 || echo 1)

  $exec_cmd >"$work/app.log" 2>&1 &
  app_pid=$!
  # The window, or the error box that comes first when the installed service
  # cannot be found or loaded: their captions differ in one character.
  window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Velmora.Controller Connection Utility$' | head -n1) || true
  [ -n "$window" ] || { cat "$work/app.log"; fail "neither the window nor an error box came up"; }
  if [ "$(xdotool getwindowname "$window")" = "$box_caption" ] ||
     xdotool search --name "^${box_caption}\$" >/dev/null 2>&1; then
    cat "$work/app.log"; fail "an error box came up: the installed service was not found or did not load"
  fi
  [ "$(xdotool getwindowname "$window")" = "$caption" ] || fail "window caption is '$(xdotool getwindowname "$window")'"
  # Docks match the window to its menu entry by this class.
  wm_class=$(xprop -id "$window" WM_CLASS)
  case "$wm_class" in
    *\"$4\"*) ;;
    *) fail "window class is $wm_class, the menu entry says StartupWMClass=$4" ;;
  esac

  # The first row's "Disabled" box, at its place in the window's fixed layout.
  eval "$(xdotool getwindowgeometry --shell "$window")"   # X, Y, WIDTH, HEIGHT
  xdotool mousemove --sync $((X + 631)) $((Y + 35)) click 1
  for _ in $(seq 50); do
    after=$(query "SELECT IFNULL(ConnectArden,'null') FROM Controllers WHERE Site=1 AND Controller=1")
    [ "$after" = "$expected" ] && break
    sleep 0.1
  done
  [ "$after" = "$expected" ] || fail "ConnectArden of site 1, controller 1 is '$after', expected '$expected' (was '$before')"
  if xdotool search --name "^${box_caption}\$" >/dev/null 2>&1; then fail "an error box came up after the click"; fi
  echo "installed program: window '$caption', click stored ConnectArden=$after for site 1, controller 1"
  exit 0
fi

# --- outside: build, install, check, remove ------------------------------------
[ $# -eq 1 ] || { echo "usage: $0 <build dir>" >&2; exit 2; }
build=$(cd "$1" && pwd)
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

# Other administrators' apt runs hold the lock for a while; wait for them.
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q)
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || fail "installing a package needs root or sudo"
  apt=(sudo "${apt[@]}")
fi

installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }
installed "$package" && fail "$package is installed on this machine already; remove it first"

work=$(mktemp -d)
pulled=()          # packages our installation brought in besides our own
we_installed=""
cleanup() {
  local rc=$?
  if [ -n "$we_installed" ] && installed "$package"; then
    "${apt[@]}" purge "$package" >/dev/null || echo "cleanup: could not purge $package" >&2
  fi
  if [ ${#pulled[@]} -gt 0 ]; then
    "${apt[@]}" purge "${pulled[@]}" >/dev/null || echo "cleanup: could not purge ${pulled[*]}" >&2
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT

# A Debian package installs below /usr, and only for that prefix does GNUInstallDirs
# choose the multiarch library directory.
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if [ "$prefix" != /usr ]; then
  cmake -DCMAKE_INSTALL_PREFIX=/usr "$build" >/dev/null
fi
cmake --build "$build"
rm -f "$build"/${package}_*.deb
(cd "$build" && cpack -G DEB >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack failed"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
debs=("$build"/velmora-*.deb)
{ [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ]; } || fail "cpack made ${debs[*]}, expected one velmora-*.deb"
deb=${debs[0]}
[ "$(basename "$deb")" = "${package}_${version}_${arch}.deb" ] || fail "package file is $(basename "$deb")"

# --- the package's control data ----------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$package" ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
# Depends must name what the programs load at run time, never the build's -dev
# packages that happen to be on this machine; names only, without versions.
mapfile -t depends < <(field Depends | tr ',|' '\n' | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d' | sort -u)
for dep in "${depends[@]}"; do
  case "$dep" in
    *-dev|*-dev-tools|cmake|ninja-build|g++*|gcc*|pkg-config|qt6-base-dev*)
      fail "Depends names the build package $dep: $(field Depends)" ;;
  esac
done
for needed in libc6 'libstdc\+\+6' libqt6core6 libqt6widgets6 libsqlite3-0; do
  printf '%s\n' "${depends[@]}" | grep -Eq "^${needed}(t64)?\$" ||
    fail "Depends lacks $needed: $(field Depends)"
done

# What the package holds, and which of those paths the machine had before.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | sed '/^$/d' | sort >"$work/contents"
while read -r path; do
  case "$path" in /usr|/usr/*) ;; *) fail "package holds $path outside /usr" ;; esac
  case "$path" in /usr/local|/usr/local/*) fail "package holds $path in /usr/local" ;; esac
  [ -e "$path" ] && echo "$path"
done <"$work/contents" >"$work/existed"

had_service_account=$(getent passwd velmora-hw || true)
had_server_conf=$([ -e /etc/velmora/hardware-service.conf ] && echo yes || true)

# --- install --------------------------------------------------------------------
# Whatever else apt brings in for us is ours to take away again.
mapfile -t pulled < <("${apt[@]}" -s install --no-install-recommends "$deb" | awk '$1 == "Inst" && $2 != "'"$package"'" {print $2}')
we_installed=1
"${apt[@]}" install --no-install-recommends "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install failed"; }
installed "$package" || fail "$package is not installed after apt-get install"
dpkg -L "$package" | sort >"$work/files"

lib=/usr/lib/$multiarch/velmora
expected=(
  /usr/bin/velmora-controllers
  /usr/bin/velmora-demo-db
  "$lib/libvelmora-hardware.so"
  /usr/share/velmora/classes/72D2BD55-66FA-11D4-A097-0050DAC21168.class
  /usr/share/applications/velmora-controllers.desktop
  /usr/share/metainfo/com.velmora.Controllers.metainfo.xml
  /usr/share/icons/hicolor/scalable/apps/velmora-controllers.svg
  /usr/share/man/man1/velmora-controllers.1.gz
  /usr/share/man/man1/velmora-demo-db.1.gz
  /usr/share/man/man5/hardware-service.conf.5.gz
  "/usr/share/doc/$package/copyright"
  "/usr/share/doc/$package/changelog.gz"
  /usr/libexec/velmora/velmora-hardware-server
  /usr/lib/systemd/system/velmora-hardware.socket
  /usr/lib/systemd/system/velmora-hardware.service
  /usr/lib/sysusers.d/velmora-hardware.conf
  /usr/sbin/velmora-local-server
  /usr/share/velmora/local-server/72D2BD55-66FA-11D4-A097-0050DAC21168.class
  /usr/share/velmora/local-server/hardware-service.conf
)
for size in 16 24 32 48 64 128 256; do
  expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/velmora-controllers.png")
done
for f in "${expected[@]}"; do
  [ -f "$f" ] || fail "$f is not installed"
  grep -qx "$f" "$work/files" || fail "$f is not listed as a file of $package"
done
for size in 16 24 32 48 64 128 256; do
  png=/usr/share/icons/hicolor/${size}x${size}/apps/velmora-controllers.png
  file -b "$png" | grep -q "^PNG image data, $size x $size," || fail "$png is $(file -b "$png")"
done
for page in /usr/share/man/man*/velmora-*.gz /usr/share/man/man5/hardware-service.conf.5.gz; do
  zcat "$page" | grep -q '^\.TH ' || fail "$page is no compressed manual page"
done
{ [ -x /usr/bin/velmora-controllers ] && [ -x /usr/bin/velmora-demo-db ]; } || fail "the programs are not executable"
# The local server is there for a site to opt in to; installing starts nothing,
# makes no account and leaves the in-process registration in force.
[ "$(velmora-local-server status)" = "in process" ] || fail "installing switched the registration to the local server"
if [ -z "$had_service_account" ] && getent passwd velmora-hw >/dev/null; then fail "installing made the account velmora-hw"; fi
if [ -e /etc/velmora/hardware-service.conf ] && [ -z "$had_server_conf" ]; then
  fail "installing wrote /etc/velmora/hardware-service.conf"
fi

# The menu entry: valid, its command the installed program, its icon installed.
entry=/usr/share/applications/velmora-controllers.desktop
desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
appstreamcli validate --no-net /usr/share/metainfo/com.velmora.Controllers.metainfo.xml >"$work/appstream.log" ||
  { cat "$work/appstream.log"; fail "appstreamcli rejects the installed metainfo"; }
exec_cmd=$(sed -n 's/^Exec=//p' "$entry")
[ "$(PATH=/usr/bin:/bin command -v "${exec_cmd%% *}")" = /usr/bin/velmora-controllers ] ||
  fail "the menu entry runs '$exec_cmd', not the installed program"
icon=$(sed -n 's/^Icon=//p' "$entry")
ls /usr/share/icons/hicolor/*/apps/"$icon".png /usr/share/icons/hicolor/scalable/apps/"$icon".svg >/dev/null 2>&1 ||
  fail "no icon named '$icon' is installed"
wm_class=$(sed -n 's/^StartupWMClass=//p' "$entry")

# --- the installed program, first run -------------------------------------------
# A fresh home and no registry or database overrides: only the package's own
# registration below /usr/share can lead the program to its service.
mkdir -p "$work/home" "$work/etc-xdg"
env -u VELMORA_REGISTRY -u VELMORA_DATABASE -u VELMORA_AUDIT_LOG -u VELMORA_BUSY_TIMEOUT_MS \
    -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    HOME="$work/home" XDG_CONFIG_DIRS="$work/etc-xdg" XDG_DATA_DIRS=/usr/share PATH=/usr/bin:/bin \
    xvfb-run -a -s "-screen 0 1024x768x24" "$self" --gui "$work" "$exec_cmd" "$wm_class"

# --- remove ---------------------------------------------------------------------
"${apt[@]}" purge "$package" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge failed"; }
installed "$package" && fail "$package is still installed after purge"
left=()
while read -r path; do
  grep -qxF "$path" "$work/existed" && continue
  if [ -e "$path" ] || [ -L "$path" ]; then left+=("$path"); fi
done <"$work/files"
[ ${#left[@]} -eq 0 ] || fail "left behind after purge: ${left[*]}"
we_installed=""
echo "PASS: $(basename "$deb") installed $(grep -c . "$work/files") paths, ran from its menu entry, purged without a trace"
