#!/usr/bin/env bash
# In a real terminal the tool shows its prompt, keeps waiting, and one key press ends it with
# status 0; with -q it ends by itself though nobody types, and shows key names outside Latin-1
# exactly. Usage: prompt_test.sh TOOL_EXE WINEPREFIX REGTOOL_EXE
set -euo pipefail
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
wine=${TKR_WINE:-wine}
dir=$(mktemp -d)
cp "$1" "$dir/typekey-repair.exe"
socket="tkr-prompt-$$"
cleanup() { tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT

screen() { tmux -L "$socket" capture-pane -p -t run; }
# Polls until the condition holds, for at most about 60 seconds.
wait_for() {
    for _ in $(seq 300); do
        if "$@"; then return 0; fi
        sleep 0.2
    done
    return 1
}
prompt_shown() { screen | grep -q 'Press a key to close\.\.\.'; }
finished() { [ -s "$dir/status" ]; }

tmux -L "$socket" new-session -d -s run -x 160 -y 50 \
    "cd '$dir' && $wine typekey-repair.exe; echo \$? > '$dir/status'; sleep 600"

wait_for prompt_shown || { echo "FAIL: no prompt"; screen; exit 1; }
# The prompt has no newline after it: it is the last text on the screen, and the cursor is on its
# line.
last=$(screen | grep -v '^$' | tail -n 1)
[ "$last" = "Press a key to close..." ] || { echo "FAIL: last line is '$last'"; exit 1; }
grep -q '^Fix "\.qk4" \.\.\.$' <(screen) || { echo "FAIL: no announcement"; screen; exit 1; }
# Still waiting for the key press a while after the prompt.
sleep 1
if finished; then echo "FAIL: ended without a key press"; exit 1; fi
tmux -L "$socket" send-keys -t run x
wait_for finished || { echo "FAIL: still running after a key press"; exit 1; }
status=$(cat "$dir/status")
[ "$status" = 0 ] || { echo "FAIL: exit status $status"; exit 1; }
echo "prompt shown, waited, ended with 0 after one key"

# Unattended, on a console nobody types into.
"$wine" "$3" seed-unicode
tmux -L "$socket" kill-server
rm -f "$dir/status"
tmux -L "$socket" new-session -d -s run -x 160 -y 50 \
    "cd '$dir' && $wine typekey-repair.exe -q; echo \$? > '$dir/status'; sleep 600"
wait_for finished || { echo "FAIL: -q still running without a key press"; screen; exit 1; }
status=$(cat "$dir/status")
[ "$status" = 0 ] || { echo "FAIL: -q exit status $status"; screen; exit 1; }
# Wine's console keeps one UTF-16 unit per screen cell and so shows a character outside the
# Basic Multilingual Plane as two replacement characters; the text the tool writes is exact (the
# unit tests see it at the seam). Everything else on the line must show exactly, on one line.
expected='^Fix "\.qk4\\Ünïcödé Ω 日本 (😀|��)" \.\.\.$'
grep -qE "$expected" <(screen) || { echo "FAIL: the key name is not shown exactly"; screen; exit 1; }
grep -qx 'Summary: 2 keys repaired, 0 failed, 0 registry links skipped, 14 keys not present' \
    <(screen) || { echo "FAIL: no summary"; screen; exit 1; }
if screen | grep -q 'Press a key'; then echo "FAIL: -q prompted"; exit 1; fi
echo "-q ended by itself with 0; the name shown exactly"
