#!/usr/bin/env bash
# One Wine session for a whole test run: a private prefix, one persistent wineserver and an Xvfb display.
#   wine-session.sh init|start|stop BUILD_DIR
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
. "$here/wine-env.sh"
action=$1
ternvale_wine_env "$(realpath "$2")"
mkdir -p "$TERNVALE_WINE_DIR"

init_prefix() {
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine-session: creating the Wine prefix $WINEPREFIX (first time only)"
        mkdir -p "$WINEPREFIX"
        DISPLAY= wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    if [ ! -f "$TERNVALE_WINE_DIR/no-crash-debugger" ]; then
        # A crashing test program should end with its exit code, not wait in Wine's debugger.
        DISPLAY= wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
            >/dev/null 2>&1 || true
        wineserver -w
        touch "$TERNVALE_WINE_DIR/no-crash-debugger"
    fi
}

xvfb_alive() {
    [ -f "$TERNVALE_WINE_DIR/xvfb.pid" ] && kill -0 "$(cat "$TERNVALE_WINE_DIR/xvfb.pid")" 2>/dev/null
}

case "$action" in
init)
    init_prefix
    ;;
start)
    init_prefix
    if ! xvfb_alive; then
        rm -f "$TERNVALE_WINE_DIR/display"
        # -displayfd picks a free display number, so several build folders can test at once.
        exec 3>"$TERNVALE_WINE_DIR/display.num"
        setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$TERNVALE_WINE_DIR/xvfb.log" 2>&1 &
        echo $! >"$TERNVALE_WINE_DIR/xvfb.pid"
        exec 3>&-
        for _ in $(seq 100); do
            [ -s "$TERNVALE_WINE_DIR/display.num" ] && break
            sleep 0.1
        done
        [ -s "$TERNVALE_WINE_DIR/display.num" ] || { echo "wine-session: Xvfb did not start" >&2; exit 1; }
        echo ":$(tr -d '\n' <"$TERNVALE_WINE_DIR/display.num")" >"$TERNVALE_WINE_DIR/display"
    fi
    # Keep one wineserver alive for the whole run so each test program starts quickly.
    setsid wineserver -p >/dev/null 2>&1 </dev/null &
    # Start Wine's own background processes now, away from the test runner's output pipes: a
    # test program that started them would leave them holding its pipes after it exits.
    DISPLAY=$(cat "$TERNVALE_WINE_DIR/display") wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
    echo "wine-session: prefix $WINEPREFIX, display $(cat "$TERNVALE_WINE_DIR/display")"
    ;;
stop)
    wineserver -k 2>/dev/null || true
    if xvfb_alive; then kill "$(cat "$TERNVALE_WINE_DIR/xvfb.pid")" 2>/dev/null || true; fi
    rm -f "$TERNVALE_WINE_DIR/xvfb.pid" "$TERNVALE_WINE_DIR/display" "$TERNVALE_WINE_DIR/display.num"
    ;;
*)
    echo "usage: wine-session.sh init|start|stop BUILD_DIR" >&2
    exit 2
    ;;
esac
