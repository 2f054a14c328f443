#!/usr/bin/env bash
# The Windows Installer package in a fresh Wine prefix of its own: a silent install
# puts the program where it belongs with a Start-menu shortcut to it and an entry in
# Add/Remove Programs; the program started from where the shortcut points loads
# the registered test server's rows and sends one statement for one click; the same
# package again, and then a newer version, leave one copy; a silent uninstall leaves
# no file, shortcut or registry key of ours.
# Usage: msi_test.sh <wine64> <loader of the build> <package.msi> <its .wxs>
#                    <velmora-controllers.exe built> <test server dll> <work dir>
# The installer and the registry run under the 64-bit loader, as on 64-bit
# Windows; the program and the test server under the build's own loader. Where
# that loader cannot run here (a kernel without 32-bit support cannot start Wine's
# 32-bit half), the program's own run is skipped and the test says so.
set -euo pipefail

wine=$1
runner=$2
msi=$3
wxs=$4
built=$5
server_dll=$6
work=$7
here=$(cd "$(dirname "$0")" && pwd)
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
# A prefix and a home of the test's own: Wine writes menu entries and file
# associations below $HOME, and the machine's own must not change.
export WINEPREFIX="$work/prefix" HOME="$work/home" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
mkdir -p "$HOME"
cleanup() { "$wineserver" -k 2>/dev/null || true; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND"' ERR

"$wine" wineboot -i >/dev/null 2>&1
"$wineserver" -w

case "$(msiinfo export "$msi" _SummaryInformation 2>/dev/null | sed -n 's/^7\t//p')" in
  x64\;*) programs="Program Files" ;;
  Intel\;*) programs="Program Files (x86)" ;;  # a 32-bit package on 64-bit Windows
  *) fail "the package names no processor: $(msiinfo export "$msi" _SummaryInformation)" ;;
esac
dir="$WINEPREFIX/drive_c/$programs/Velmora/Controller Connection Utility"
exe="$dir/velmora-controllers.exe"
# Windows puts a per-machine package's shortcut in the common Start menu; Wine
# 8's installer puts it in the installing user's. Either is taken, and the test
# says which it found.
shortcut_name="Velmora Controller Connection Utility.lnk"
common_lnk="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/$shortcut_name"
user_lnk="$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData 2>/dev/null | grep -v /Public/ | head -n1)/Roaming/Microsoft/Windows/Start Menu/Programs/$shortcut_name"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
product_code() { msiinfo export "$1" Property | sed -n 's/^ProductCode\t//p' | tr -d '\r'; }
msiexec() {
  local code=0
  "$wine" msiexec "$@" >>"$work/msiexec.log" 2>&1 || code=$?
  "$wineserver" -w
  [ "$code" -eq 0 ] || fail "msiexec $* exited with $code"
}
# Every Add/Remove Programs entry that names the product, in both registry views.
arp_entries() {
  { "$wine" reg query "$uninstall" /s /reg:64 2>/dev/null; "$wine" reg query "$uninstall" /s /reg:32 2>/dev/null; } |
    tr -d '\r' | grep -c 'DisplayName.*REG_SZ.*Velmora Controller Connection Utility$' || true
}
arp_value() {  # <product code> <value>, from whichever registry view holds the entry
  local view
  for view in /reg:64 /reg:32; do
    "$wine" reg query "$uninstall\\$1" /v "$2" "$view" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
  done | head -n1
}
installed_copies() { find "$WINEPREFIX/drive_c" -iname velmora-controllers.exe | wc -l; }
# What the prefix holds of ours: files, shortcuts and registry keys that name us.
leftovers() {
  find "$WINEPREFIX/drive_c" "$HOME" -ipath '*velmora*' 2>/dev/null || true
  # A registry key is a "[path]" line followed by its values; name the keys of
  # which a line mentions us.
  awk '/^\[/ { key = $0 } tolower($0) ~ /velmora|72d2bd5/ { print FILENAME ": " key }' "$WINEPREFIX"/*.reg | sort -u
}

# 1. Install.
code=$(product_code "$msi")
msiexec /i "$msi" /qn
[ -f "$exe" ] || fail "no program at $exe; the prefix has: $(find "$WINEPREFIX/drive_c" -iname 'velmora*')"
cmp -s "$exe" "$built" || fail "the installed program is not the one built"
if [ -f "$common_lnk" ]; then lnk=$common_lnk; else lnk=$user_lnk; fi
[ -f "$lnk" ] || fail "no Start-menu shortcut; the prefix has: $(find "$WINEPREFIX/drive_c" -iname '*.lnk')"
echo "shortcut: ${lnk#"$WINEPREFIX/"}"
"$here/read_shortcut.py" "$lnk" >"$work/shortcut.txt" || fail "the shortcut cannot be read"
target=$(sed -n 's/^target=//p' "$work/shortcut.txt")
target_unix=$("$wine" winepath -u "$target" 2>/dev/null | tr -d '\r')
[ "$(realpath "$target_unix")" = "$(realpath "$exe")" ] || fail "the shortcut points at '$target': $(cat "$work/shortcut.txt")"
grep -q '^working=.*Controller Connection Utility' "$work/shortcut.txt" || fail "shortcut working folder: $(cat "$work/shortcut.txt")"
grep -q '^icon=.' "$work/shortcut.txt" || fail "the shortcut has no icon: $(cat "$work/shortcut.txt")"
[ "$(arp_entries)" = 1 ] || fail "$(arp_entries) Add/Remove Programs entries after the install"
[ "$(arp_value "$code" DisplayVersion)" = "1.0.0.0" ] || fail "DisplayVersion '$(arp_value "$code" DisplayVersion)'"
[ "$(arp_value "$code" Publisher)" = "Velmora" ] || fail "Publisher '$(arp_value "$code" Publisher)'"
echo "installed: $exe, shortcut to $target"

# 2. The installed program, from where its shortcut points, on the test server.
if "$runner" cmd /c exit 0 >/dev/null 2>&1; then
  "$runner" regsvr32 /s "$server_dll"
  "$wineserver" -w
  "$here/gui_smoke.sh" "$runner" "$target_unix" "$work/gui" || fail "the installed program failed its window test"
  ran=1
else
  echo "SKIPPED the installed program's run: $runner cannot start programs on this machine ($(uname -r))"
  ran=0
fi

# 3. The same package again: still one copy, one entry.
msiexec /i "$msi" /qn
[ "$(installed_copies)" = 1 ] && [ "$(arp_entries)" = 1 ] ||
  fail "after a second install: $(installed_copies) copies, $(arp_entries) entries"

# 4. A newer version (the same package rebuilt, its version raised in the third
# field, the one Windows Installer compares) replaces it in place.
sed 's/Version="\([0-9]*\)\.\([0-9]*\)\.\([0-9]*\)\.\([0-9]*\)"/Version="\1.\2.9.\4"/' "$wxs" >"$(dirname "$wxs")/upgrade-test.wxs"
grep -q 'Version="1.0.9.0"' "$(dirname "$wxs")/upgrade-test.wxs" || fail "could not raise the version in $wxs"
arch=$(case "$programs" in "Program Files") echo x64 ;; *) echo x86 ;; esac)
wixl --arch "$arch" --output "$work/newer.msi" "$(dirname "$wxs")/upgrade-test.wxs" 2>"$work/wixl.log" || fail "wixl: $(cat "$work/wixl.log")"
rm -f "$(dirname "$wxs")/upgrade-test.wxs"
newer=$(product_code "$work/newer.msi")
[ "$newer" != "$code" ] || fail "the rebuilt package has the same product code"
msiexec /i "$work/newer.msi" /qn
[ "$(installed_copies)" = 1 ] && [ "$(arp_entries)" = 1 ] ||
  fail "after the upgrade: $(installed_copies) copies, $(arp_entries) entries"
[ "$(arp_value "$newer" DisplayVersion)" = "1.0.9.0" ] || fail "after the upgrade DisplayVersion is '$(arp_value "$newer" DisplayVersion)'"
[ -z "$(arp_value "$code" DisplayVersion)" ] || fail "the old version is still listed"

# 5. Uninstall: nothing of ours is left.
if [ "$ran" = 1 ]; then
  "$runner" regsvr32 /u /s "$server_dll"
  "$wineserver" -w
fi
msiexec /x "$work/newer.msi" /qn
[ "$(arp_entries)" = 0 ] || fail "still listed in Add/Remove Programs"
[ ! -e "$common_lnk" ] && [ ! -e "$user_lnk" ] || fail "the shortcut is left"
left=$(leftovers)
[ -z "$left" ] || fail "left after the uninstall: $left"
echo "PASS: installed, ran, reinstalled, upgraded and removed cleanly"
