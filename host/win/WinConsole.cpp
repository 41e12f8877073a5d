#include "host/win/WinConsole.h"

#include <cerrno>
#include <memory>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace zan {

namespace {

// The terminal whose echo is off, for the signal handlers (one read at a time: the engine
// starts no threads).
volatile sig_atomic_t gTerminalFd = -1;
termios gSavedTerminal;

constexpr int C_SIGNALS[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP};
constexpr int C_SIGNAL_COUNT = sizeof C_SIGNALS / sizeof C_SIGNALS[0];
struct sigaction gPreviousActions[C_SIGNAL_COUNT];

int SignalSlot(int sig) {
    for (int i = 0; i < C_SIGNAL_COUNT; ++i)
        if (C_SIGNALS[i] == sig) return i;
    return -1;
}

void InstallHandlers();

// Restores the terminal, then lets the signal act as it would have without us. After a stop the
// process continues here, and the echo goes off again for the rest of the read.
void RestoringHandler(int sig) {
    const int saved = errno;
    const int fd = gTerminalFd;
    if (fd >= 0) tcsetattr(fd, TCSANOW, &gSavedTerminal);
    const int slot = SignalSlot(sig);
    if (slot >= 0) sigaction(sig, &gPreviousActions[slot], nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    // Still alive: the signal was ignored, handled or the process was continued after a stop.
    InstallHandlers();
    if (fd >= 0) {
        termios quiet = gSavedTerminal;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL));
        tcsetattr(fd, TCSANOW, &quiet);
    }
    errno = saved;
}

void InstallHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RestoringHandler;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < C_SIGNAL_COUNT; ++i)
        sigaction(C_SIGNALS[i], &action, nullptr);
}

// Echo off for the lifetime of the object, with the handlers that restore it on a signal.
class TEchoOff {
public:
    explicit TEchoOff(int fd) : FFd(fd) {
        if (tcgetattr(fd, &gSavedTerminal) != 0) return;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = RestoringHandler;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < C_SIGNAL_COUNT; ++i)
            sigaction(C_SIGNALS[i], &action, &gPreviousActions[i]);
        gTerminalFd = fd;
        termios quiet = gSavedTerminal;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHOE | ECHOK | ECHONL));
        tcsetattr(fd, TCSANOW, &quiet);
        FActive = true;
    }
    ~TEchoOff() {
        if (!FActive) return;
        tcsetattr(FFd, TCSANOW, &gSavedTerminal);
        gTerminalFd = -1;
        for (int i = 0; i < C_SIGNAL_COUNT; ++i)
            sigaction(C_SIGNALS[i], &gPreviousActions[i], nullptr);
        // The line end typed by the user was not echoed.
        (void)!write(FFd, "\n", 1);
    }
    TEchoOff(const TEchoOff&) = delete;
    TEchoOff& operator=(const TEchoOff&) = delete;

private:
    int FFd;
    bool FActive = false;
};

class TTerminalFd {
public:
    TTerminalFd() : Fd(open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~TTerminalFd() {
        if (Fd >= 0) close(Fd);
    }
    TTerminalFd(const TTerminalFd&) = delete;
    TTerminalFd& operator=(const TTerminalFd&) = delete;
    const int Fd;
};

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The length in bytes of the first maxChars UTF-8 characters.
size_t CutToChars(const std::string& text, size_t maxChars) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (chars == maxChars) return i;
        ++chars;
    }
    return text.size();
}

} // namespace

bool WriteTerminal(const std::string& text) {
    TTerminalFd tty;
    return tty.Fd >= 0 && WriteAll(tty.Fd, text);
}

bool ReadTerminalLine(const std::string& prompt, bool echo, size_t maxChars, std::string& line) {
    TTerminalFd tty;
    if (tty.Fd < 0 || !isatty(tty.Fd)) return false;
    std::string input;
    input.reserve(1024); // few reallocations leave few unwiped copies of a password
    bool ended = false;
    {
        std::unique_ptr<TEchoOff> quiet;
        // Echo goes off before the prompt shows, so nothing typed after it is echoed.
        if (!echo) quiet = std::make_unique<TEchoOff>(tty.Fd);
        if (!WriteAll(tty.Fd, prompt)) return false;
        char c;
        for (;;) {
            const ssize_t n = read(tty.Fd, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (c == '\n' || c == '\r') {
                ended = true;
                break;
            }
            input.push_back(c);
        }
        c = 0;
    }
    if (ended) line.assign(input, 0, CutToChars(input, maxChars));
    explicit_bzero(input.data(), input.size());
    return ended;
}

} // namespace zan
