// Starts the loopback HTTP, FTP and nonsense servers of net_servers.py (Debian's python3 and pyftpdlib) on
// 127.0.0.1 with ports chosen by the system, serving the files of a host directory. The servers
// end when this object closes their input (and are killed if they do not).
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

class TNetServers {
public:
    explicit TNetServers(const std::string& root) : Root(root) {
        std::filesystem::create_directories(root);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string script = std::filesystem::path(__FILE__).parent_path() / "net_servers.py";
        const char* argv[] = {"/usr/bin/python3", script.c_str(), root.c_str(), nullptr};
        int rc = posix_spawn(&FPid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        FInput = in[1];
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start python3");
        }
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (text.find("ODD ") == std::string::npos || text.back() != '\n') {
            pollfd p{out[0], POLLIN, 0};
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || poll(&p, 1, left) <= 0) break;
            char buffer[256];
            ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        close(out[0]);
        std::sscanf(text.c_str(), "HTTP %d\nFTP %d\nODD %d", &HttpPort, &FtpPort, &OddPort);
        if (HttpPort <= 0 || FtpPort <= 0 || OddPort <= 0) {
            Stop();
            throw std::runtime_error("the loopback servers did not start: " + text);
        }
    }
    ~TNetServers() { Stop(); }
    TNetServers(const TNetServers&) = delete;
    TNetServers& operator=(const TNetServers&) = delete;

    void Stop() {
        if (FInput >= 0) close(FInput);
        FInput = -1;
        if (FPid <= 0) return;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(FPid, nullptr, WNOHANG) == FPid) {
                FPid = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
        FPid = 0;
    }

    std::string Root;
    int HttpPort = 0;
    int FtpPort = 0;
    int OddPort = 0; // answers nonsense and closes

private:
    pid_t FPid = 0;
    int FInput = -1;
};
