#!/usr/bin/env bash
# Runs a Windows program of this build under Wine, in the build's private prefix and display.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
. "$here/wine-env.sh"
build=${TERNVALE_BUILD_DIR:-$(find_build_dir "$1")}
ternvale_wine_env "$build"
if [ -f "$TERNVALE_WINE_DIR/display" ] && [ -z "${TERNVALE_KEEP_DISPLAY:-}" ]; then
    export DISPLAY=$(cat "$TERNVALE_WINE_DIR/display")
fi
[ -d "$WINEPREFIX" ] || "$here/wine-session.sh" init "$build"
exec wine "$@"
