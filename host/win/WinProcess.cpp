#include "host/win/WinProcess.h"

#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/win/WinBatch.h"
#include "host/win/WinEnv.h"
#include "host/win/WinPaths.h"
#include "host/win/WinRegistry.h"

extern char** environ;

namespace zan {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = commandLine.size();
    while (true) {
        while (i < n && static_cast<unsigned char>(commandLine[i]) <= ' ')
            ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || static_cast<unsigned char>(commandLine[i]) > ' ')) {
            if (commandLine[i] == '"')
                quoted = !quoted;
            else
                arg += commandLine[i];
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::string QuoteCommandArg(const std::string& arg) {
    bool needs = arg.empty();
    for (unsigned char c : arg)
        if (c <= ' ') needs = true;
    return needs ? "\"" + arg + "\"" : arg;
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) {
        if (!out.empty()) out += ' ';
        out += QuoteCommandArg(a);
    }
    return out;
}

pid_t WinCreateProcess(const std::string& program, const std::vector<std::string>& args) {
    if (program.empty()) RaiseWinError(ERROR_FILE_NOT_FOUND, "(no program)");
    // The program sees the registry as this process left it.
    RegWritePending();
    std::string host = WinPathToHost(program);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        int e = errno;
        struct stat parent;
        size_t slash = host.find_last_of('/');
        std::string dir = slash == std::string::npos || slash == 0 ? "/" : host.substr(0, slash);
        if (e == ENOENT && (stat(dir.c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)))
            RaiseWinError(ERROR_PATH_NOT_FOUND, program);
        RaiseWinError(WinErrorFromErrno(e), program);
    }
    if (S_ISDIR(st.st_mode)) RaiseWinError(ERROR_ACCESS_DENIED, program);
    std::vector<std::string> argvText;
    argvText.push_back(host);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // This process's environment with the sandbox variable of the current machine.
    std::vector<std::string> envText;
    std::string sandbox = std::string(SandboxVariable) + "=" + CurrentWinEnv().Root;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, SandboxVariable, std::strlen(SandboxVariable)) != 0 ||
            (*e)[std::strlen(SandboxVariable)] != '=')
            envText.push_back(*e);
    envText.push_back(sandbox);
    std::vector<char*> envp;
    for (std::string& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    // glibc reports a failed exec as posix_spawn's result: started means exec succeeded.
    int rc = posix_spawn(&pid, host.c_str(), nullptr, nullptr, argv.data(), envp.data());
    if (rc != 0) RaiseWinError(WinErrorFromErrno(rc), program);
    return pid;
}

int WinWaitProcess(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int WinRunCommandLine(const std::string& commandLine, bool wait, std::vector<std::string>* report) {
    std::vector<std::string> args = SplitCommandLine(commandLine);
    if (args.empty()) RaiseWinError(ERROR_FILE_NOT_FOUND, "(no program)");
    std::string program = args.front();
    args.erase(args.begin());
    if (program.size() > 4 && SameName(program.substr(program.size() - 4), ".bat")) {
        std::vector<std::string> local;
        RunBatchFile(program, report ? *report : local);
        return 0;
    }
    pid_t pid = WinCreateProcess(program, args);
    if (!wait) return 0;
    return WinWaitProcess(pid);
}

} // namespace zan
