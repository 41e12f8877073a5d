// Starting programs of the emulated machine. A command line is split by the framework's
// parameter rule: blanks separate arguments outside quotes, '"' toggles quoting and is removed,
// there are no backslash escapes. Programs are named by Windows paths and started with
// posix_spawn (never through a shell), with this process's environment and the sandbox variable
// passed on. "Started" means the exec succeeded; a failure raises EWinError with the launch code
// (2 file not found, 3 path not found, 5 access denied, 8 out of memory, 11 invalid file).
// Batch files (".bat") run in the batch interpreter instead (WinBatch).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace zan {

std::vector<std::string> SplitCommandLine(const std::string& commandLine);
// One argument as the splitter reads it back: quoted when empty or holding blanks.
std::string QuoteCommandArg(const std::string& arg);
// The arguments joined with single blanks, each through QuoteCommandArg.
std::string JoinCommandLine(const std::vector<std::string>& args);

// Starts program with the arguments (argv[0] is the program's host path); answers the pid.
pid_t WinCreateProcess(const std::string& program, const std::vector<std::string>& args);
// Waits for a started program; answers its exit code (-1 when a signal ended it).
int WinWaitProcess(pid_t pid);

// Runs a whole command line (program, then its arguments); a batch file runs in the
// interpreter, whose skipped lines are added to report. With wait, answers the exit code;
// otherwise 0 once the program started. Failures raise EWinError with the launch code.
int WinRunCommandLine(const std::string& commandLine, bool wait, std::vector<std::string>* report);

} // namespace zan
