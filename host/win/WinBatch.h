// The batch-file interpreter of the emulated machine. It knows the commands the installer's
// clean-up and replace-at-reboot batch files use: ERASE and DEL (a file), DELTREE /Y (a
// directory tree or a file) and MOVE (a file, replacing the target; into a directory when the
// target is one). Names may be quoted; an unquoted MOVE takes the first split of its blanks
// whose left part exists, since short paths keep their blanks here. Blank lines are ignored;
// other lines, unbalanced quotes, missing sources and targets outside the sandbox are skipped
// and reported, and the rest is done.
#pragma once

#include <string>
#include <vector>

namespace zan {

// Runs the batch file at a Windows path (EWinError when it cannot be read).
void RunBatchFile(const std::string& path, std::vector<std::string>& report);
// Writes a batch file (replacing it), each line ended with CR LF.
void WriteBatchFile(const std::string& path, const std::vector<std::string>& lines);
// Runs batch text; each skipped line adds "line <n>: <reason>: <text>" to report.
void RunBatchText(const std::string& text, std::vector<std::string>& report);

} // namespace zan
