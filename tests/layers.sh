#!/usr/bin/env bash
# The layers of src/, from the bottom: platform, registry, security, report, modes, driver,
# selftest (the program that tests the tool). No
# file includes a header of a layer above its own.
set -euo pipefail
layers=(platform registry security report modes driver selftest)
rank() { for i in "${!layers[@]}"; do if [ "${layers[$i]}" = "$1" ]; then echo "$i"; fi; done; }
status=0
cd "$1"
for file in */*; do
    own=$(rank "${file%%/*}")
    while read -r included; do
        if [ "$(rank "${included%%/*}")" -gt "$own" ]; then
            echo "$file includes $included, from a layer above its own"
            status=1
        fi
    done < <(sed -n 's|^#include "\([a-z]*/[a-z_.]*\)"$|\1|p' "$file")
done
exit $status
