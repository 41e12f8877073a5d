#!/usr/bin/env bash
# Runs a test program under a virtual X server of its own; 77 (skipped) when none can be had.
# The server picks a free display itself (-displayfd), so several runs on one machine never race
# for the same display number. -noreset: without it the server resets when its last client
# leaves (a test that only checks for a display) and refuses the next one while it does.
set -u
command -v Xvfb >/dev/null 2>&1 || { echo "Xvfb not installed: skipped"; exit 77; }
mkdir -p "${ZAN_XVFB_ARTEFACTS:-/tmp}"
fifo=$(mktemp -u) && mkfifo "$fifo" || exit 1
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
server=$!
trap 'kill $server 2>/dev/null; wait $server 2>/dev/null; rm -f "$fifo"' EXIT
display=""
read -r -t 30 display <"$fifo"
[ -n "$display" ] || { echo "Xvfb did not start"; exit 1; }
DISPLAY=":$display" "$@"
