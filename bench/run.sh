#!/usr/bin/env bash
# Times the tool against the floor (bench/floor.cpp) on seeded trees of about 1,000, 10,000 and
# 50,000 keys, in a Wine prefix of its own. Usage: bench/run.sh [SIZE...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup
for tool in /usr/bin/time bc; do
    command -v "$tool" >/dev/null || apt-get install -y -q --no-install-recommends "$(basename "$tool")" </dev/null
done
cmake --preset mingw >/dev/null
cmake --build --preset mingw >/dev/null

build=$PWD/build/mingw
prefix=$PWD/build/bench-prefix
work=$PWD/build/bench-run
trap 'scripts/wine-prefix stop "$prefix"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$work" && mkdir -p "$work"
cp "$build/typekey-repair.exe" "$build/bench/bench_floor.exe" "$work/"

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 50000)

# Wine's server saves the registry now and then, which lands in whichever run it meets: runs
# alternate, and the fastest of each program counts (5 runs each; 2 from 50,000 keys on).
runs_for() { echo "${BENCH_RUNS:-$([ "$1" -lt 50000 ] && echo 5 || echo 2)}"; }

# Runs the program once on the seeded tree. Prints: seconds peak-KiB cpu-seconds keys-done
# (cpu: the program's own user and system time, without the Wine server's).
run_once() {
    rm -f "$work"/*.log
    local stats
    stats=$( { /usr/bin/time -f '%e %M %U %S' wine "$work/$1" </dev/null >"$work/console.txt"; } 2>&1 | tail -n 1)
    read -r seconds kib user system <<<"$stats"
    echo "$seconds $kib $(echo "$user + $system" | bc) $(grep -c '^DONE' "$work/console.txt" || true)"
}

printf '%-7s %-6s %7s %9s %10s %9s %8s %9s %8s\n' keys prog done seconds keys/s us/key peakKiB ratio cpu-s
declare -A per_key
for size in "${sizes[@]}"; do
    # A fresh prefix per size: the registry holds this tree only.
    scripts/wine-prefix start "$prefix"
    wine "$build/tests/regtool.exe" seed-tree .qk4 "$size"
    # Both programs make the same calls on the same tree whether or not it was repaired
    # before, so runs alternate on one seed and the fastest of each counts.
    tool_s=999999 floor_s=999999
    for _ in $(seq "$(runs_for "$size")"); do
        read -r s kb cpu n < <(run_once typekey-repair.exe)
        if (( $(echo "$s < $tool_s" | bc) )); then tool_s=$s tool_kb=$kb tool_cpu=$cpu tool_n=$n; fi
        read -r s kb cpu n < <(run_once bench_floor.exe)
        if (( $(echo "$s < $floor_s" | bc) )); then floor_s=$s floor_kb=$kb floor_cpu=$cpu floor_n=$n; fi
    done
    ratio=$(echo "scale=3; $tool_s / $floor_s" | bc)
    for row in "tool $tool_s $tool_kb $tool_cpu $tool_n" "floor $floor_s $floor_kb $floor_cpu $floor_n"; do
        read -r name s kb cpu n <<<"$row"
        printf '%-7s %-6s %7s %9s %10.0f %9.0f %8s %9s %8s\n' "$size" "$name" "$n" "$s" \
            "$(echo "$n / $s" | bc -l)" "$(echo "$s * 1000000 / $n" | bc -l)" "$kb" \
            "$([ "$name" = tool ] && echo "$ratio" || echo -)" "$cpu"
    done
    per_key[$size]=$(echo "$tool_s * 1000000 / $tool_n" | bc -l)
done
first=${sizes[0]}
last=${sizes[-1]}
printf 'time per key at %s keys / at %s keys: %.3f\n' "$last" "$first" \
    "$(echo "${per_key[$last]} / ${per_key[$first]}" | bc -l)"
