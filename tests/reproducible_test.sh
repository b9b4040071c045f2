#!/usr/bin/env bash
# Builds the release exes from two copies of the sources in folders of different names and
# lengths, a second apart, and checks that both give the bytes of the exes the tests run.
# Usage: reproducible_test.sh SOURCE_DIR TOOLCHAIN_FILE EXE...
set -euo pipefail
source=$1 toolchain=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
targets=()
for exe in "$@"; do targets+=("$(basename "$exe" .exe)"); done
build() {
    mkdir -p "$1"
    cp -r "$source/CMakeLists.txt" "$source/cmake" "$source/res" "$source/src" "$1/"
    cmake -S "$1" -B "$1/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$1/cmake/$(basename "$toolchain")" >/dev/null
    cmake --build "$1/build" --target "${targets[@]}" >/dev/null
    for target in "${targets[@]}"; do sha256sum <"$1/build/$target.exe"; done
}
first=$(build "$scratch/a")
sleep 1
second=$(build "$scratch/clone-in-a-longer-folder-name")
tested=$(for exe in "$@"; do sha256sum <"$exe"; done)
[ "$first" = "$second" ] && [ "$first" = "$tested" ] ||
    { echo "FAIL: builds differ: $first / $second / tested $tested"; exit 1; }
echo "reproducible ok:" $(cut -d' ' -f1 <<<"$first")
