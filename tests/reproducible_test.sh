#!/usr/bin/env bash
# Builds the release exe from two copies of the sources in folders of different names and lengths,
# a second apart, and checks that both give the bytes of the exe the tests run.
# Usage: reproducible_test.sh SOURCE_DIR TOOLCHAIN_FILE EXE
set -euo pipefail
source=$1 toolchain=$2 exe=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
build() {
    mkdir -p "$1"
    cp -r "$source/CMakeLists.txt" "$source/cmake" "$source/res" "$source/src" "$1/"
    cmake -S "$1" -B "$1/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$1/cmake/$(basename "$toolchain")" >/dev/null
    cmake --build "$1/build" --target typekey-repair >/dev/null
    sha256sum <"$1/build/typekey-repair.exe"
}
first=$(build "$scratch/a")
sleep 1
second=$(build "$scratch/clone-in-a-longer-folder-name")
tested=$(sha256sum <"$exe")
[ "$first" = "$second" ] && [ "$first" = "$tested" ] ||
    { echo "FAIL: builds differ: $first / $second / tested $tested"; exit 1; }
echo "reproducible ok: ${first%% *}"
