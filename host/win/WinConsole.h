// The controlling terminal: a line read from /dev/tty with the echo optionally off.
#pragma once

#include <cstddef>
#include <string>

namespace zan {

// Writes the prompt to /dev/tty and reads one line from it. When echo is false the terminal's
// echo is off for the read and restored on every path, also when a signal (interrupt, quit,
// hang-up, terminate, stop) arrives during it: the handler restores the terminal and then lets
// the signal take its usual effect. At most maxChars UTF-8 characters are kept. Answers false
// when the process has no controlling terminal or the input ends before a line end; line is
// untouched then.
bool ReadTerminalLine(const std::string& prompt, bool echo, size_t maxChars, std::string& line);

// Writes a text to /dev/tty; false without a terminal.
bool WriteTerminal(const std::string& text);

} // namespace zan
