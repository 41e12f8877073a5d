// Test helpers for work in a second process: a forked child that runs a function and talks to
// the parent through two pipes (one byte per message), and unique temporary file names.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace zan {

// A unique path in the test directory (tests run in parallel processes).
inline std::string TestTempPath(const std::string& name) {
    const char* dir = std::getenv("ZAN_TEST_TMP");
    std::filesystem::path base = dir ? dir : "/tmp";
    std::error_code ec;
    std::filesystem::create_directories(base, ec);
    return (base / (std::to_string(getpid()) + "_" + name)).string();
}

// Removes the file at construction and at destruction.
struct TTempFile {
    explicit TTempFile(const std::string& name) : Path(TestTempPath(name)) { unlink(Path.c_str()); }
    ~TTempFile() { unlink(Path.c_str()); }
    std::string Path;
};

class TChildProcess {
public:
    // Forks; the child runs body and ends with its result as exit code (99 when it throws).
    // The child must open its own files: handles inherited from the parent share its locks.
    explicit TChildProcess(const std::function<int(TChildProcess&)>& body) {
        int down[2], up[2];
        if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) std::abort();
        FPid = fork();
        if (FPid < 0) std::abort();
        if (FPid == 0) {
            close(down[1]);
            close(up[0]);
            FIn = down[0];
            FOut = up[1];
            int code = 99;
            try {
                code = body(*this);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child process %d failed: %s\n", int(getpid()), e.what());
            } catch (...) {
                std::fprintf(stderr, "child process %d failed: unknown exception\n", int(getpid()));
            }
            std::fflush(stderr);
            _exit(code);
        }
        // A child that died leaves the parent writing into a closed pipe: that must fail the
        // write (and show up in Receive), not kill the test process with SIGPIPE.
        signal(SIGPIPE, SIG_IGN);
        close(down[0]);
        close(up[1]);
        FIn = up[0];
        FOut = down[1];
    }
    ~TChildProcess() {
        if (FPid > 0) Kill();
        close(FIn);
        close(FOut);
    }
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Sends one byte; false when the other side is gone.
    bool Send(char c) {
        ssize_t n;
        while ((n = write(FOut, &c, 1)) < 0 && errno == EINTR) {
        }
        return n == 1;
    }
    // The next byte from the other side; 0 on end of stream or after the timeout.
    char Receive(int timeoutMs = 20000) {
        pollfd p{FIn, POLLIN, 0};
        int r;
        while ((r = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        if (r <= 0) return 0;
        char c = 0;
        while (read(FIn, &c, 1) < 0 && errno == EINTR) {
        }
        return c;
    }
    // The child's process id (-1 once reaped).
    pid_t Pid() const { return FPid; }
    // SIGKILL and reap.
    void Kill() {
        if (FPid <= 0) return;
        kill(FPid, SIGKILL);
        Wait();
    }
    // The child's exit code; -1 when it was killed by a signal.
    int Wait() {
        if (FPid <= 0) return FStatus;
        int status = 0;
        while (waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
        }
        FPid = -1;
        FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return FStatus;
    }

private:
    pid_t FPid = -1;
    int FIn = -1, FOut = -1;
    int FStatus = -1;
};

} // namespace zan
