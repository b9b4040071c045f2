#!/usr/bin/env bash
# Times the tool against the floor (bench/floor.cpp) on seeded trees of about 1,000, 10,000 and
# 50,000 keys, in a Wine prefix of its own. Usage: bench/run.sh [SIZE...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup
command -v /usr/bin/time >/dev/null || apt-get install -y -q --no-install-recommends time </dev/null
cmake --preset mingw >/dev/null
cmake --build --preset mingw >/dev/null

build=$PWD/build/mingw
prefix=$PWD/build/bench-prefix
work=$PWD/build/bench-run
scripts/wine-prefix start "$prefix"
trap 'scripts/wine-prefix stop "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$work" && mkdir -p "$work"
cp "$build/typekey-repair.exe" "$build/bench/bench_floor.exe" "$work/"

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 50000)

runs=${BENCH_RUNS:-3}

# Runs the program once on the seeded tree. Prints: seconds peak-KiB keys-done
run_once() {
    rm -f "$work"/*.log
    local stats
    stats=$( { /usr/bin/time -f '%e %M' wine "$work/$1" </dev/null >"$work/console.txt"; } 2>&1 | tail -n 1)
    echo "$stats $(grep -c '^DONE' "$work/console.txt" || true)"
}

printf '%-7s %-6s %9s %10s %11s %8s %9s\n' keys prog seconds keys/s us/key peakKiB ratio
declare -A per_key
for size in "${sizes[@]}"; do
    wine "$build/tests/regtool.exe" reset
    wine "$build/tests/regtool.exe" seed-tree .qk4 "$size"
    # Both programs make the same calls on the same tree whether or not it was repaired
    # before, so runs alternate on one seed and the fastest of each counts.
    tool_s=999999 floor_s=999999
    for _ in $(seq "$runs"); do
        read -r s kb n < <(run_once typekey-repair.exe)
        if (( $(echo "$s < $tool_s" | bc) )); then tool_s=$s tool_kb=$kb tool_n=$n; fi
        read -r s kb n < <(run_once bench_floor.exe)
        if (( $(echo "$s < $floor_s" | bc) )); then floor_s=$s floor_kb=$kb floor_n=$n; fi
    done
    ratio=$(echo "scale=3; $tool_s / $floor_s" | bc)
    for row in "tool $tool_s $tool_kb $tool_n" "floor $floor_s $floor_kb $floor_n"; do
        read -r name s kb n <<<"$row"
        printf '%-7s %-6s %9s %10.0f %11.0f %8s %9s\n' "$size" "$name" "$s" \
            "$(echo "$n / $s" | bc -l)" "$(echo "$s * 1000000 / $n" | bc -l)" "$kb" \
            "$([ "$name" = tool ] && echo "$ratio" || echo -)"
    done
    per_key[$size]=$(echo "$tool_s * 1000000 / $tool_n" | bc -l)
done
first=${sizes[0]}
last=${sizes[-1]}
printf 'time per key at %s keys / at %s keys: %.3f\n' "$last" "$first" \
    "$(echo "${per_key[$last]} / ${per_key[$first]}" | bc -l)"
