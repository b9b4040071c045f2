#!/usr/bin/env bash
# Runs a fuzz target for a bounded time, starting from the seed corpus in the repository (read
# only: what it finds new goes to a scratch folder). Exits non-zero on any finding, whose input is
# left in the current folder (crash-*, leak-*, timeout-*) to become a unit test.
# Usage: run.sh TARGET SEED_CORPUS SECONDS
set -uo pipefail
target=$1 seeds=$2 seconds=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "$scratch" "$seeds" >"$scratch.log" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
    tail -n 60 "$scratch.log"
else
    grep -E '^stat::number_of_executed_units|^Done' "$scratch.log"
fi
rm -f "$scratch.log"
exit "$status"
