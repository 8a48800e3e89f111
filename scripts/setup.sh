#!/usr/bin/env bash
# Installs the packages and fetches the sources the cross build needs; safe to run again (each step checks first).
#   scripts/setup.sh DEPS_DIR
# The build itself compiles GoogleTest (Debian's sources in /usr/src/googletest) and Boost.program_options.
set -euo pipefail
deps=$(realpath -m "${1:?usage: setup.sh DEPS_DIR}")
mkdir -p "$deps"

packages=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 xvfb xauth imagemagick
          libboost-dev googletest dpkg-dev xz-utils nsis osslsigncode xdotool x11-utils procps python3 openssl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    [ "$(id -u)" = 0 ] || { echo "setup: run as root to install packages" >&2; exit 1; }
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Boost.program_options: Debian ships no MinGW build, so the build compiles the library's sources
# from the boost1.74 source package (unpacked here) against the installed 1.74 headers.
src="$deps/boost-src"
if ! compgen -G "$src/*/libs/program_options/src/*.cpp" > /dev/null; then
    if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
        keyring=/usr/share/keyrings/debian-archive-keyring.gpg
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: %s\n' \
            "$keyring" > /etc/apt/sources.list.d/ternvale-src.sources
        apt-get update -q
    fi
    download="$deps/boost-download"
    rm -rf "$download" "$src" && mkdir -p "$download" "$src"
    (cd "$download" && apt-get source --download-only -q boost1.74)
    tarball=$(ls "$download"/boost1.74_*.orig.tar.* | head -n 1)
    tar -xf "$tarball" -C "$src" --wildcards '*/libs/program_options/src/*'
    rm -rf "$download"
    echo "setup: unpacked the Boost.program_options sources in $src"
fi
# Only a link to the boost headers, never all of /usr/include, so no Linux header leaks in.
if [ ! -L "$deps/boost/include/boost" ]; then
    mkdir -p "$deps/boost/include"
    ln -sfn /usr/include/boost "$deps/boost/include/boost"
fi
