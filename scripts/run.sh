#!/usr/bin/env bash
# Starts Ternvale.exe under Wine.
#   run.sh BUILD_DIR [ARGS...]   on $DISPLAY when set; otherwise on a virtual display (Xvfb) inside
#                                a Wine desktop, with a screenshot taken after start-up
#   run.sh --stop BUILD_DIR      closes a Ternvale started on the virtual display
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
. "$here/wine-env.sh"

if [ "${1:-}" = --stop ]; then
    build=$(realpath "$2")
    ternvale_wine_env "$build"
    if [ -f "$TERNVALE_WINE_DIR/display" ]; then
        export DISPLAY=$(cat "$TERNVALE_WINE_DIR/display")
        wine "$build/bin/Ternvale.exe" --close || true
    fi
    "$here/wine-session.sh" stop "$build"
    echo "run: stopped"
    exit 0
fi

build=$(realpath "$1")
shift
exe=$build/bin/Ternvale.exe
ternvale_wine_env "$build"
"$here/wine-session.sh" init "$build"

if [ -n "${DISPLAY:-}" ]; then
    echo "run: starting $exe $* on display $DISPLAY (prefix $WINEPREFIX)"
    exec wine "$exe" "$@"
fi

"$here/wine-session.sh" start "$build" >/dev/null
export DISPLAY=$(cat "$TERNVALE_WINE_DIR/display")
shot=$build/run-screenshot.png
echo "run: no display is set, so Ternvale runs on the virtual display $DISPLAY inside a Wine desktop"
setsid wine explorer /desktop=Ternvale,1024x768 "$exe" "$@" >"$TERNVALE_WINE_DIR/run.log" 2>&1 </dev/null &
sleep "${TERNVALE_RUN_SETTLE:-8}"
import -display "$DISPLAY" -window root "$shot"
echo "run: screenshot after start-up: $shot"
echo "run: Ternvale keeps running there; 'make stop' closes it"
