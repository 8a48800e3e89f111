# Sourced by the Wine scripts: the private prefix and display of one build folder.
#   TERNVALE_BUILD_DIR  the CMake build folder (found from the program's path when unset)
find_build_dir() {
    local d
    d=$(cd "$(dirname "$1")" && pwd) || return 1
    while [ "$d" != / ] && [ "$d" != . ]; do
        [ -f "$d/CMakeCache.txt" ] && { echo "$d"; return; }
        d=$(dirname "$d")
    done
    return 1
}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko install prompts in a fresh prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
ternvale_wine_env() {
    local build=$1
    export TERNVALE_BUILD_DIR=$build
    export TERNVALE_WINE_DIR=$build/wine
    export WINEPREFIX=$TERNVALE_WINE_DIR/prefix
}
