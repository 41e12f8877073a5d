#include "host/win/WinBatch.h"

#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"
#include "host/win/WinPaths.h"

namespace zan {

namespace {

// Removes one pair of enclosing quotes; false when quotes do not balance.
bool Unquote(std::string& s) {
    size_t count = 0;
    for (char c : s)
        count += c == '"';
    if (count % 2) return false;
    if (count == 2 && s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    else if (count) return false;
    return true;
}

void Move(const std::string& source, const std::string& target) {
    std::string dst = target;
    if (WinDirectoryExists(dst)) dst = WinJoin(dst, WinFileNameOf(NormalizeWinPath(source)));
    WinMoveFile(source, dst, true);
}

// Whether a move's target is an existing folder or names a file in one; a name that is no
// path at all (a wrong split of an unquoted line) is not.
bool TargetFolderExists(const std::string& target) {
    try {
        std::string normalized = NormalizeWinPath(target);
        return WinDirectoryExists(normalized) || WinDirectoryExists(WinParentDir(normalized));
    } catch (const Exception&) {
        return false;
    }
}

void RunLine(const std::string& rawLine) {
    std::string line = Trim(rawLine);
    size_t blank = line.find_first_of(" \t");
    std::string command = UpperCase(line.substr(0, blank));
    std::string rest = blank == std::string::npos ? "" : Trim(line.substr(blank));
    if (command == "ERASE" || command == "DEL") {
        if (!Unquote(rest)) throw Exception("unbalanced quotes");
        if (rest.empty()) throw Exception("no file named");
        WinDeleteFile(rest);
    } else if (command == "DELTREE") {
        if (UpperCase(rest.substr(0, 2)) == "/Y") rest = Trim(rest.substr(2));
        if (!Unquote(rest)) throw Exception("unbalanced quotes");
        if (rest.empty()) throw Exception("no directory named");
        WinDeleteTree(rest);
    } else if (command == "MOVE") {
        if (UpperCase(rest.substr(0, 2)) == "/Y") rest = Trim(rest.substr(2));
        if (!rest.empty() && rest[0] == '"') {
            size_t close = rest.find('"', 1);
            if (close == std::string::npos) throw Exception("unbalanced quotes");
            std::string source = rest.substr(1, close - 1);
            std::string target = Trim(rest.substr(close + 1));
            if (!Unquote(target)) throw Exception("unbalanced quotes");
            if (target.empty()) throw Exception("no target named");
            Move(source, target);
            return;
        }
        if (rest.find('"') != std::string::npos) throw Exception("unbalanced quotes");
        // Unquoted names may hold blanks: of the splits at a blank, the first whose source
        // exists and whose target is a folder or lies in one. A split whose source is only a
        // leading part of a longer name (another folder beside the one meant) fails the target
        // test, so the file meant is the one moved.
        bool sourceFound = false;
        for (size_t at = rest.find(' '); at != std::string::npos; at = rest.find(' ', at + 1)) {
            std::string source = rest.substr(0, at);
            std::string target = Trim(rest.substr(at + 1));
            if (target.empty() || !WinPathExists(source)) continue;
            sourceFound = true;
            if (TargetFolderExists(target)) {
                Move(source, target);
                return;
            }
        }
        throw Exception(sourceFound ? "target folder not found" : "source not found");
    } else {
        throw Exception("unknown command");
    }
}

} // namespace

void RunBatchText(const std::string& text, std::vector<std::string>& report) {
    size_t start = 0, lineNo = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Trim(line).empty()) continue;
        try {
            RunLine(line);
        } catch (const Exception& e) {
            report.push_back(Format("line %d: %s: %s", static_cast<int64_t>(lineNo), e.Message(), line));
        }
    }
}

void WriteBatchFile(const std::string& path, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    WinWriteFile(path, text);
}

void RunBatchFile(const std::string& path, std::vector<std::string>& report) {
    RunBatchText(WinReadFile(path), report);
}

} // namespace zan
