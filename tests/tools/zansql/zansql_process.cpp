#include "zansql_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

ZanSqlRun RunZanSqlProcess(const std::vector<std::string>& args, const std::string& stdinText,
                           int timeoutSeconds) {
    ZanSqlRun r;
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return r;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(fd);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(ZANSQL_EXE));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(ZANSQL_EXE, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (stdinText.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= timeoutSeconds) {
            r.TimedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3] = {{out[0], short(outOpen ? POLLIN : 0), 0},
                         {err[0], short(errOpen ? POLLIN : 0), 0},
                         {in[1], short(in[1] >= 0 ? POLLOUT : 0), 0}};
        poll(fds, 3, 200);
        char buf[65536];
        if (fds[0].revents) {
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) outOpen = false;
            else r.Out.append(buf, n);
        }
        if (fds[1].revents) {
            const ssize_t n = read(err[0], buf, sizeof buf);
            if (n <= 0) errOpen = false;
            else r.Err.append(buf, n);
        }
        if (in[1] >= 0 && fds[2].revents) {
            const ssize_t n =
                write(in[1], stdinText.data() + written, stdinText.size() - written);
            if (n > 0) written += n;
            if (n < 0 || written == stdinText.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.ExitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.Signal = WTERMSIG(status);
    return r;
}

std::string ZanSqlTempDir(const std::string& name) {
    const char* base = std::getenv("ZAN_TEST_TMP");
    std::filesystem::path p = std::filesystem::path(base ? base : "/tmp") /
                              (std::to_string(getpid()) + "_zansql_" + name);
    std::filesystem::remove_all(p);
    std::filesystem::create_directories(p);
    return p.string();
}

bool HasSanitizerReport(const ZanSqlRun& r) {
    return r.Err.find("AddressSanitizer") != std::string::npos ||
           r.Err.find("runtime error:") != std::string::npos ||
           r.Err.find("LeakSanitizer") != std::string::npos;
}
