#!/bin/sh
# Photographs one window of a program run on a private X server.
#
#   tests/gui/screenshot_window.sh OUTPUT.png WINDOW-TITLE PROGRAM [ARGUMENT...]
#
# Starts Xvfb (1280x1024x24 with GLX) on a free display number, runs PROGRAM
# there with HOME pointing at a fresh empty directory (so that nothing of the
# user's is read or written), waits up to 20 seconds for a visible window
# titled exactly WINDOW-TITLE, gives it SETTLE_SECONDS (default 1) to paint,
# and saves that window's pixels as OUTPUT.png. Then it ends the program and
# the server. Needs Xvfb, xdotool and ImageMagick's import.
set -eu

[ $# -ge 3 ] || { echo "usage: $0 OUTPUT.png WINDOW-TITLE PROGRAM [ARGUMENT...]" >&2; exit 2; }
out=$1
title=$2
shift 2
settle=${SETTLE_SECONDS:-1}
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d)
xvfb_pid=
program_pid=
cleanup() {
    set +e
    for pid in $program_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

Xvfb -displayfd 3 -screen 0 1280x1024x24 +extension GLX -nolisten tcp -noreset \
    3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
tries=0
until [ -s "$work/display" ]; do
    tries=$((tries + 1))
    [ $tries -le 100 ] || { echo "$0: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
    sleep 0.1
done
display=:$(cat "$work/display")

mkdir "$work/home"
HOME=$work/home DISPLAY=$display GDK_BACKEND=x11 NO_AT_BRIDGE=1 "$@" >"$work/program.log" 2>&1 &
program_pid=$!

# xdotool takes the title as a regular expression: quote its special characters.
pattern=$(printf '%s' "$title" | sed 's/[][\\.^$*+?(){}|]/\\&/g')
window=$(DISPLAY=$display timeout 20 xdotool search --sync --onlyvisible --name "^$pattern\$" | head -n 1) || true
if [ -z "$window" ]; then
    echo "$0: no window titled '$title' appeared; the program said:" >&2
    cat "$work/program.log" >&2
    exit 1
fi
sleep "$settle"
import -display "$display" -window "$window" "$out"
echo "wrote $out ($(DISPLAY=$display xdotool getwindowgeometry "$window" | tr '\n' ' '))"
