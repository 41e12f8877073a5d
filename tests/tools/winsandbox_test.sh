#!/bin/sh
# The winsandbox tool end to end: init a machine, dump its registry, boot it with a RunOnce
# entry and a pending rename, and refuse bad usage.
set -eu
tool="$1"
root="${ZAN_TEST_TMP:-/tmp}/winsandbox_tool_$$"
rm -rf "$root"
trap 'rm -rf "$root"' EXIT

"$tool" --root "$root" init --windows 2000 --user Tester > /dev/null
grep -q "Windows=2000" "$root/winenv.ini"
"$tool" --root "$root" reg dump HKCU | grep -q '"Desktop"=sz:"C:\\\\Documents and Settings\\\\Tester\\\\Desktop"'
"$tool" --root "$root" reg dump HKLM | grep -q '"ProgramFilesDir"=sz:"C:\\\\Program Files"'

# A RunOnce entry that records it ran, and a rename waiting for the boot.
mkdir -p "$root/drive_c/tools"
printf '#!/bin/sh\ntouch "$ORVEX_SANDBOX/ran"\n' > "$root/drive_c/tools/mark"
chmod 755 "$root/drive_c/tools/mark"
printf 'new' > "$root/drive_c/new.tmp"
cat >> "$root/registry/HKCU.reg" <<'HIVE'
[\Software\Microsoft\Windows\CurrentVersion\RunOnce]
"Mark"=sz:"C:\\tools\\mark"
HIVE
cat >> "$root/registry/HKLM.reg" <<'HIVE'
[\SYSTEM\CurrentControlSet\Control\Session Manager]
"PendingFileRenameOperations"=multi:"\\??\\C:\\new.tmp","!\\??\\C:\\final.dll","\\??\\C:\\odd"
HIVE
out=$("$tool" --root "$root" boot)
[ -f "$root/ran" ]
[ "$(cat "$root/drive_c/final.dll")" = new ]
echo "$out" | grep -q "odd number of entries"
if "$tool" --root "$root" reg dump HKCU | grep -q '"Mark"'; then exit 1; fi

# A usage error makes no machine in the default place.
home="$root/home"
mkdir -p "$home"
for args in "frob" "reg dump HKXX" "boot extra"; do
    if env -u ORVEX_SANDBOX -u XDG_DATA_HOME HOME="$home" "$tool" $args 2>/dev/null; then exit 1; fi
done
[ -z "$(ls -A "$home")" ]

# Bad usage and a damaged hive give errors, not crashes.
if "$tool" --root "$root" frobnicate 2>/dev/null; then exit 1; fi
printf 'garbage\n' > "$root/registry/HKLM.reg"
if "$tool" --root "$root" reg dump HKLM 2>/dev/null; then exit 1; fi
"$tool" --root "$root" reg dump HKLM 2>&1 | grep -q "HKLM.reg(1)"
echo ok
