// Runs the zansql program as a separate process, with a time limit.
#pragma once

#include <string>
#include <vector>

struct ZanSqlRun {
    int ExitCode = -1;      // exit status, or -1 when it did not exit normally
    int Signal = 0;         // the signal that ended it
    bool TimedOut = false;  // killed after the time limit
    std::string Out;
    std::string Err;
};

// Runs zansql with args; stdinText is its standard input.
ZanSqlRun RunZanSqlProcess(const std::vector<std::string>& args, const std::string& stdinText = "",
                           int timeoutSeconds = 60);
// A fresh, empty scratch folder for one test.
std::string ZanSqlTempDir(const std::string& name);
bool HasSanitizerReport(const ZanSqlRun& r);
