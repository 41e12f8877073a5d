#!/usr/bin/env bash
# Runs a test program under a virtual X server; 77 (skipped) when none can be had.
set -u
command -v xvfb-run >/dev/null 2>&1 || { echo "xvfb-run not installed: skipped"; exit 77; }
mkdir -p "${ZAN_XVFB_ARTEFACTS:-/tmp}"
exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
