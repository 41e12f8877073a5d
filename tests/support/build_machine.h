// A developer's machine for building a setup program's distributable (-b): the program with
// BUILD.INF ("C:\build") in C:\dev, and the loading program on Delphi 5's library path (C:\lib,
// marked by "Kovrix.TXT"), where the build looks for it. Both programs are host files.
#pragma once

#include <string>

#include "host/win/WinFs.h"
#include "setup/engine/cmp_TCrvnRegistry.h"
#include "support/sandbox.h"

inline void PrepareBuildMachine(TSandbox& box, const std::string& program, const std::string& loader) {
    TSandbox::WriteHostFile(box.C("dev/setup"), TSandbox::ReadHostFile(program));
    zan::WinMarkExecutableIfProgram("C:\\dev\\setup");
    zan::WinWriteFile("C:\\dev\\BUILD.INF", "C:\\build\r\n");
    zan::RegWriteString(zan::hkCurrentUser, "\\Software\\Borland\\Delphi\\5.0\\Library", "Search Path", "C:\\lib");
    zan::WinForceDirectories("C:\\lib");
    zan::WinWriteFile("C:\\lib\\Kovrix.TXT", "");
    TSandbox::WriteHostFile(box.C("lib/CorvaneLoadProgram.exe"), TSandbox::ReadHostFile(loader));
}
