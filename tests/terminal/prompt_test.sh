#!/usr/bin/env bash
# In a real terminal the tool shows its prompt, keeps waiting, and one key press ends it with
# status 0. Usage: prompt_test.sh TOOL_EXE WINEPREFIX
set -euo pipefail
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
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
    "cd '$dir' && ${TKR_WINE:-wine} typekey-repair.exe; echo \$? > '$dir/status'; sleep 600"

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
