#!/usr/bin/env bash
# The setup part of the demo: on a fresh machine under build/demo/setup-machine, builds the
# distributable with OrvexDemoInstall -b (both "zan14rd7.bpl" entries carry the release engine
# library), seeds a Delphi 7 installation, runs the wizard (a window when DISPLAY is set, else
# headless with the happy-path script), then prints the installed tree, the IDE entries and
# instlog.txt; fails when the wizard's install did not end well.
# Usage: scripts/demo_setup.sh <release build dir>
set -euo pipefail
build=$(cd "$1" && pwd)
demo=$(pwd)/build/demo
export ORVEX_SANDBOX=$demo/setup-machine
mkdir -p "$demo"
for f in Delphi7/zan14rd7.bpl Sys/zan14rd7.bpl; do
  cp "$build/libzan14rd7.so" "$build/payload/$f"
done
"$build/orvexdemo" prepare "$build/OrvexDemoInstall" "$build/CorvaneLoadProgram"
ZAN_FORMS=headless "$ORVEX_SANDBOX/drive_c/dev/setup" -b || [ $? -eq 3 ]
echo "distributable: $ORVEX_SANDBOX/drive_c/build (setup.exe, setup.1, files.1)"
status=0
if [ -n "${DISPLAY:-}" ]; then
  echo "running the wizard in a window: click through it"
  ZAN_FORMS=fltk "$ORVEX_SANDBOX/drive_c/build/setup.exe" || status=$?
else
  script=$demo/setup-happy-path.txt
  printf '%s\n' '[TWelcomeForm] click ProceedBtn' '[TLicenseForm] click ProceedBtn' \
    '[TSelectDestinationForm] click ProceedBtn' '[TConfirmInstall] click ProceedBtn' \
    '[TReadmeForm] click ProceedBtn' '[TAfterGoodInstallDlg] click FinishBtn' > "$script"
  echo "no DISPLAY: running the wizard headless with $script"
  ZAN_FORMS=headless ZAN_FORMS_SCRIPT=$script ZAN_FORMS_TRANSCRIPT=$demo/setup-transcript.txt \
    "$ORVEX_SANDBOX/drive_c/build/setup.exe" || status=$?
  cat "$demo/setup-transcript.txt"
fi
echo "wizard exit status: $status"
"$build/orvexdemo" report
# The demo fails when the install did not end well: 0 is a good install, 2 a good one that
# waits for the reboot.
if [ "$status" -ne 0 ] && [ "$status" -ne 2 ]; then
  echo "the install did not end well (exit status $status)" >&2
  exit 1
fi
