#!/usr/bin/env bash
# Installs and builds everything the cross build needs; safe to run again (each step checks first).
#   scripts/setup.sh DEPS_DIR
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

cxx=x86_64-w64-mingw32-g++-posix
ar=x86_64-w64-mingw32-ar

# Boost.program_options: Debian ships no MinGW build, so compile the library's sources from the
# boost1.74 source package against the installed 1.74 headers.
if [ ! -f "$deps/boost/lib/libboost_program_options.a" ]; then
    if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
        keyring=/usr/share/keyrings/debian-archive-keyring.gpg
        printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm\nComponents: main\nSigned-By: %s\n' \
            "$keyring" > /etc/apt/sources.list.d/ternvale-src.sources
        apt-get update -q
    fi
    work="$deps/boost-src"
    rm -rf "$work" && mkdir -p "$work"
    (cd "$work" && apt-get source --download-only -q boost1.74)
    tarball=$(ls "$work"/boost1.74_*.orig.tar.* | head -n 1)
    tar -xf "$tarball" -C "$work" --wildcards '*/libs/program_options/src/*'
    # Only a link to the boost headers, never all of /usr/include, so no Linux header leaks in.
    mkdir -p "$deps/boost/include" "$deps/boost/lib" "$work/obj"
    ln -sfn /usr/include/boost "$deps/boost/include/boost"
    for f in "$work"/*/libs/program_options/src/*.cpp; do
        "$cxx" -std=c++17 -O2 -DNDEBUG -DBOOST_ALL_NO_LIB -DBOOST_BIND_GLOBAL_PLACEHOLDERS -I"$deps/boost/include" -c "$f" \
            -o "$work/obj/$(basename "${f%.cpp}").o"
    done
    "$ar" rcs "$deps/boost/lib/libboost_program_options.a" "$work"/obj/*.o
    rm -rf "$work"
    echo "setup: built $deps/boost/lib/libboost_program_options.a"
fi

# GoogleTest and GoogleMock from Debian's sources, compiled with the MinGW compiler.
if [ ! -f "$deps/gtest/lib/libgmock_main.a" ]; then
    gt=/usr/src/googletest
    mkdir -p "$deps/gtest/lib" "$deps/gtest/obj"
    inc=(-I"$gt/googletest/include" -I"$gt/googletest" -I"$gt/googlemock/include" -I"$gt/googlemock")
    "$cxx" -std=c++17 -O1 "${inc[@]}" -c "$gt/googletest/src/gtest-all.cc" -o "$deps/gtest/obj/gtest-all.o"
    "$cxx" -std=c++17 -O1 "${inc[@]}" -c "$gt/googlemock/src/gmock-all.cc" -o "$deps/gtest/obj/gmock-all.o"
    "$cxx" -std=c++17 -O1 "${inc[@]}" -c "$gt/googlemock/src/gmock_main.cc" -o "$deps/gtest/obj/gmock_main.o"
    "$ar" rcs "$deps/gtest/lib/libgtest.a" "$deps/gtest/obj/gtest-all.o"
    "$ar" rcs "$deps/gtest/lib/libgmock.a" "$deps/gtest/obj/gmock-all.o"
    "$ar" rcs "$deps/gtest/lib/libgmock_main.a" "$deps/gtest/obj/gmock_main.o"
    mkdir -p "$deps/gtest/include"
    ln -sfn "$gt/googletest/include/gtest" "$deps/gtest/include/gtest"
    ln -sfn "$gt/googlemock/include/gmock" "$deps/gtest/include/gmock"
    rm -rf "$deps/gtest/obj"
    echo "setup: built GoogleTest in $deps/gtest"
fi
