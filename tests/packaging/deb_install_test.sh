#!/usr/bin/env bash
# The Debian package, as a player gets it: makes the .deb with cpack from
# the build tree the suite runs in, checks its dependencies against what the
# programs link, unpacks it into a throw-away root with dpkg -x and runs the
# programs from there (the launcher on a private Xvfb, in a temporary HOME).
#
# usage: deb_install_test.sh CPACK BUILD_DIR SOURCE_DIR release|sanitized
# Exit status 0 passed, 1 failed, 77 skipped.
set -uo pipefail

cpack=$1 build=$2 source=$3 kind=$4

skip() { echo "SKIP: $*"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
die() { echo "FAIL: $*"; exit 1; }

[ "$kind" = release ] ||
  skip "a sanitizer build is never packaged (cpack refuses it); the optimised suite runs this test"
for tool in dpkg dpkg-deb objdump gzip Xvfb; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (tools/install-deps installs it)"
done

work=$(mktemp -d /tmp/brimvale-deb-test.XXXXXX)
xvfb_pid=
cleanup() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# ------------------------------------------------------------ the package
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  tail -n 40 "$work/cpack.log"
  die "cpack could not make the package"
fi
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "cpack made ${#debs[@]} .deb files: ${debs[*]}"
deb=${debs[0]}
echo "package: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = brimvale-launcher ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
echo "Depends: $depends"

root=$work/root
dpkg -x "$deb" "$root" || die "dpkg -x failed"

# Every shared library a program loads must come from a package the .deb
# depends on: that is what makes it run on a player's machine.
declare -A depended
IFS=',|' read -ra alternatives <<<"$depends"
for alternative in "${alternatives[@]}"; do
  name=${alternative%%(*}
  name=${name// /}
  [ -n "$name" ] && depended[${name%%:*}]=1
done
arch=$(dpkg --print-architecture)
for program in brimvale-launcher brimvale-publish brimvale-update; do
  binary=$root/usr/bin/$program
  [ -x "$binary" ] || { fail "usr/bin/$program is missing or not executable"; continue; }
  for library in $(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }'); do
    owners=$(dpkg -S "*-linux-gnu/$library" 2>/dev/null | awk -F': ' '{ print $1 }' | tr ', ' '\n\n' |
             awk -F: -v arch="$arch" 'NF == 1 || $2 == arch || $2 == "all" { print $1 }' | sort -u)
    [ -n "$owners" ] || { fail "$program needs $library, which no installed Debian package provides"; continue; }
    covered=
    for owner in $owners; do
      [ -n "${depended[$owner]:-}" ] && covered=$owner
    done
    [ -n "$covered" ] || fail "$program needs $library from $(echo $owners), which Depends does not name"
  done
done

# ------------------------------------------------------------ desktop, icon, manual pages
desktop=$root/usr/share/applications/brimvale-launcher.desktop
if [ -f "$desktop" ]; then
  exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop" | head -n 1)
  [ -x "$root/usr/bin/$exec_program" ] || fail "the desktop entry runs '$exec_program', which the package does not hold"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  # The hicolor theme must have a 48x48 icon; the others are scaled from it.
  [ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] ||
    fail "no 48x48 icon '$icon' in the hicolor theme (was ImageMagick's convert found at configure time?)"
  grep -qx 'Categories=Game;' "$desktop" || fail "the desktop entry is not in the Game category"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
  fi
else
  fail "usr/share/applications/brimvale-launcher.desktop is missing"
fi
for page in man6/brimvale-launcher.6 man1/brimvale-publish.1 man1/brimvale-update.1; do
  installed=$root/usr/share/man/$page.gz
  if [ ! -f "$installed" ]; then
    fail "usr/share/man/$page.gz is missing"
  elif ! gzip -dc "$installed" | cmp -s - "$source/packaging/${page#*/}"; then
    fail "usr/share/man/$page.gz is not packaging/${page#*/}"
  fi
done

# Each option a program's help names must have its own entry in the manual
# page: a tag line such as ".BR -b , --beta" or ".BI --sign-key  KEY.pem".
check_options_documented() { # program page help-text
  local page=$root/usr/share/man/$2.gz text short long
  [ -f "$page" ] || return
  text=$(gzip -dc "$page" | sed 's/\\-/-/g')
  while IFS='|' read -r short long; do
    if [ -n "$short" ] && ! grep -qE -- "^\.BR? $short( |\$)" <<<"$text"; then
      fail "$1's option $short has no entry in its manual page"
    elif [ -n "$short" ] && [ -n "$long" ] && ! grep -qF -- ".BR $short \", \" $long" <<<"$text"; then
      fail "$1's option $short is not documented as $short, $long"
    elif [ -z "$short" ] && ! grep -qE -- "^\.B[IR]? $long( |\$)" <<<"$text"; then
      fail "$1's option $long has no entry in its manual page"
    fi
  done < <(printf '%s\n' "$3" | sed -nE -e 's/^ +(-[a-z])(, (--[a-z-]+))?( .*)?$/\1|\3/p' \
                                        -e 's/^ +(--[a-z-]+)( .*)?$/|\1/p')
}

# ------------------------------------------------------------ running it
for tool in brimvale-publish brimvale-update; do
  help=$("$root/usr/bin/$tool" --help 2>&1)
  status=$?
  [ $status -eq 0 ] || fail "$tool --help exited with $status"
  case "$help" in "Usage: $tool "*) ;; *) fail "$tool --help printed: $help" ;; esac
  check_options_documented "$tool" "man1/$tool.1" "$help"
done

Xvfb -displayfd 3 -screen 0 1024x768x24 +extension GLX -nolisten tcp -noreset \
  3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; die "Xvfb did not start"; }
display=:$(head -n 1 "$work/display")

launcher=$root/usr/bin/brimvale-launcher
home=$work/home
log=$home/.Brimvale/vostel_launcher_log.txt
mkdir -p "$home"
# name | arguments | display | status | the log's last line
runs=(
  "help|-h|$display|0|"
  "unknown option|--Bogus|$display|1|Sorry, unknown command line option '--Bogus'.  Use '-h' for a list."
  "no X display|-h||1|"
)
for run in "${runs[@]}"; do
  IFS='|' read -r name arguments run_display expected_status last_line <<<"$run"
  rm -rf "$home/.Brimvale"
  # shellcheck disable=SC2086 # the arguments split into words
  (cd "$home" && exec env -i PATH=/usr/bin:/bin HOME="$home" ${run_display:+DISPLAY=$run_display} \
    GDK_BACKEND=x11 NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory "$launcher" $arguments \
    >"$work/stdout" 2>"$work/stderr")
  status=$?
  if [ "$status" != "$expected_status" ]; then
    fail "$name: brimvale-launcher $arguments exited with $status, not $expected_status"
    tail -n 20 "$work/stderr" "$log" 2>/dev/null
    continue
  fi
  if [ -n "$last_line" ] && [ "$(tail -n 1 "$log" 2>/dev/null)" != "$last_line" ]; then
    fail "$name: the log does not end in \"$last_line\""
    tail -n 5 "$log" 2>/dev/null
  fi
  case $name in
  help)
    # The help is the last thing the launcher writes, to its log file.
    expected=$(printf '%s\n' "Syntax:" "$launcher [-h] [-b] [-u] [-v]" "" "Options are:" \
      "  -h   - this help screen" "  -b   - switch to beta test mode" "  -u   - switch out of beta test mode" \
      "  -v   - more verbose debug printing" "")
    actual=$(tail -n 9 "$log" 2>/dev/null)
    [ "$actual" = "$expected" ] || { fail "help: the log ends in"; printf '%s\n' "$actual"; }
    grep -q "Options are:" "$work/stdout" && fail "help: the help text went to the terminal"
    check_options_documented brimvale-launcher man6/brimvale-launcher.6 "$actual"
    ;;
  "no X display")
    grep -q "cannot open the X display" "$work/stderr" || fail "no X display: standard error holds: $(cat "$work/stderr")"
    ;;
  esac
done

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "the package installs and runs"
