#!/usr/bin/env bash
# Times the tool against the floor (bench/floor.cpp) on seeded trees of about 1,000, 10,000 and
# 50,000 keys, in a Wine prefix of its own; a check run and a restore run against the repair
# run on the same tree; and the repair with its log folder (and undo file) on a RAM-backed folder
# (`ramlog`), whose flushes cost nothing, against the repair on the disk: the price of durability.
# Usage: bench/run.sh [SIZE...]; a size written wN is one folder of N keys instead of a tree.
# BENCH_BASELINE=EXE adds the rows of another build of the tool (for example one from before a
# change), run the same way.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup
for tool in /usr/bin/time bc; do
    command -v "$tool" >/dev/null || apt-get install -y -q --no-install-recommends "$(basename "$tool")" </dev/null
done
. scripts/wine-arch
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" >/dev/null

prefix=$PWD/build/bench-prefix
work=$PWD/build/bench-run
trap 'scripts/wine-prefix stop "$prefix"; rm -rf "$ram"' EXIT
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$work" && mkdir -p "$work"
cp "$build/typekey-repair.exe" "$build/bench/bench_floor.exe" "$work/"
programs=(tool ramlog floor check restore)
# A RAM-backed folder (tmpfs), as Wine's drive Z: shows it.
ram=/dev/shm/tkr-bench-log
if [ -n "${BENCH_BASELINE:-}" ]; then
    cp "$BENCH_BASELINE" "$work/baseline.exe"
    programs+=(baseline)
fi

sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1000 10000 50000)
keys() { echo "${1#w}"; }

# Wine's server saves the registry every 30 s while it has changed, which lands in whichever run
# it meets: runs alternate, in the reverse order every other round so that no program keeps
# meeting it at the same point, and the fastest of each program counts (5 runs each; 2 from
# 50,000 keys on).
runs_for() { echo "${BENCH_RUNS:-$([ "$(keys "$1")" -lt 50000 ] && echo 5 || echo 2)}"; }

# Runs one program once on the seeded tree. Prints: seconds peak-KiB cpu-seconds keys-done
# (cpu: the program's own user and system time, without the Wine server's). The restore run
# puts back what the last repair run saved, so every key is written again.
run_once() {
    local command
    case $1 in
    tool) command=(typekey-repair.exe) ;;
    floor) command=(bench_floor.exe) ;;
    check) command=(typekey-repair.exe -check) ;;
    restore) command=(typekey-repair.exe -undo saved_undo.txt) ;;
    ramlog) command=(typekey-repair.exe -log "Z:${ram//\//\\}") ;;
    baseline) command=(baseline.exe) ;;
    esac
    rm -f "$work"/*.log
    rm -rf "$ram"
    local stats
    # A check of keys that need repair exits 1: the time is taken all the same.
    stats=$( { cd "$work" && /usr/bin/time -f '%e %M %U %S' "$wine" "${command[@]}" </dev/null >"$work/console.txt" || true; } 2>&1 | tail -n 1)
    if [ "$1" = tool ]; then
        mv "$work"/typekey-repair_*_undo.txt "$work/saved_undo.txt"
    fi
    read -r seconds kib user system <<<"$stats"
    echo "$seconds $kib $(echo "$user + $system" | bc) $(grep -c '^DONE\|^OK\|^NEEDS REPAIR' "$work/console.txt" || true)"
}

printf '%-7s %-8s %7s %9s %10s %9s %8s %9s %8s\n' keys prog done seconds keys/s us/key peakKiB ratio cpu-s
declare -A per_key durability best best_kb best_cpu best_n
for size in "${sizes[@]}"; do
    # A fresh prefix per size: the registry holds this tree only.
    scripts/wine-prefix start "$prefix"
    if [ "${size#w}" != "$size" ]; then
        "$wine" "$build/tests/regtool.exe" seed-wide .qk4 "$(keys "$size")"
    else
        "$wine" "$build/tests/regtool.exe" seed-tree .qk4 "$size"
    fi
    for program in "${programs[@]}"; do best[$program]=999999; done
    for round in $(seq "$(runs_for "$size")"); do
        order=("${programs[@]}")
        if (( round % 2 == 0 )); then
            order=()
            for ((i = ${#programs[@]} - 1; i >= 0; i--)); do order+=("${programs[i]}"); done
        fi
        for program in "${order[@]}"; do
            read -r s kb cpu n < <(run_once "$program")
            if (( $(echo "$s < ${best[$program]}" | bc) )); then
                best[$program]=$s best_kb[$program]=$kb best_cpu[$program]=$cpu best_n[$program]=$n
            fi
        done
    done
    # The repair against the floor; check, restore (and a baseline) against the repair.
    for program in "${programs[@]}"; do
        against=$([ "$program" = tool ] && echo floor || echo tool)
        ratio=$([ "$program" = floor ] && echo - || echo "scale=3; ${best[$program]} / ${best[$against]}" | bc)
        printf '%-7s %-8s %7s %9s %10.0f %9.0f %8s %9s %8s\n' "$size" "$program" "${best_n[$program]}" \
            "${best[$program]}" "$(echo "${best_n[$program]} / ${best[$program]}" | bc -l)" \
            "$(echo "${best[$program]} * 1000000 / ${best_n[$program]}" | bc -l)" "${best_kb[$program]}" \
            "$ratio" "${best_cpu[$program]}"
    done
    per_key[$size]=$(echo "${best[tool]} * 1000000 / ${best_n[tool]}" | bc -l)
    durability[$size]=$(echo "scale=3; ${best[tool]} / ${best[ramlog]}" | bc)
done
for size in "${sizes[@]}"; do
    printf 'price of durability at %s keys (log on the disk / on a RAM-backed folder): %s\n' \
        "$size" "${durability[$size]}"
done
first=${sizes[0]}
last=${sizes[-1]}
printf 'time per key at %s keys / at %s keys: %.3f\n' "$last" "$first" \
    "$(echo "${per_key[$last]} / ${per_key[$first]}" | bc -l)"
