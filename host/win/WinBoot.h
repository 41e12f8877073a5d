// Reboots of the emulated machine, which are never real. A reboot request writes the marker
// "<root>/reboot.requested" and succeeds (reboot mode "simulate") or fails (mode "fail"). The
// simulated boot does what Windows does while it starts:
//   1. nothing is in use any more (the machine's in-use list is emptied);
//   2. the pending renames of MoveFileEx(DELAY_UNTIL_REBOOT) are done, in order;
//   3. WININIT.INI [Rename] of the Windows directory is applied and the file renamed to
//      WININIT.BAK;
//   4. the RunOnce values of HKLM, then HKCU, run one by one, each deleted before it starts and
//      waited for.
// An entry that cannot be done is reported and skipped; the rest is done.
#pragma once

#include <string>
#include <vector>

namespace zan {

inline constexpr const char* SessionManagerKey =
    "\\SYSTEM\\CurrentControlSet\\Control\\Session Manager";
inline constexpr const char* PendingRenamesValue = "PendingFileRenameOperations";
inline constexpr const char* RunOnceKey = "\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

// Asks for a reboot; false in mode "fail". Flushes the registry first.
bool WinRequestReboot();
bool WinRebootRequested();

// MoveFileEx with MOVEFILE_DELAY_UNTIL_REBOOT: records the rename (an empty target deletes the
// source at boot). The paths must lie inside the sandbox (EWinError 5 otherwise).
void WinMoveFileDelayUntilReboot(const std::string& source, const std::string& target,
                                 bool replaceExisting);

// Boots the machine; every skipped entry adds a line to report.
void WinSimulateBoot(std::vector<std::string>& report);

} // namespace zan
