#include "host/win/WinIni.h"

#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"
#include "host/win/WinEnv.h"
#include "host/win/WinFs.h"

namespace zan {

namespace {

// Splits text into lines, dropping the CR of CR LF ends.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

} // namespace

TIniText TIniText::Parse(const std::string& text, const std::string& fileName) {
    return ParseLines(text, fileName, nullptr);
}

TIniText TIniText::ParseSkipping(const std::string& text, const std::string& fileName,
                                 std::vector<std::string>& skipped) {
    return ParseLines(text, fileName, &skipped);
}

TIniText TIniText::ParseLines(const std::string& text, const std::string& fileName,
                              std::vector<std::string>* skipped) {
    TIniText ini;
    // Strict: an odd line refuses the file. Lenient: the line is noted and left out.
    auto fail = [&](size_t line, const std::string& what) {
        std::string message = Format("%s(%d): %s", fileName, static_cast<int64_t>(line), what);
        if (!skipped) throw EIniFileError(message);
        skipped->push_back(message);
    };
    if (text.find('\0') != std::string::npos) {
        fail(1, "the file holds NUL bytes");
        return ini;
    }
    std::vector<std::string> lines = SplitLines(text);
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string trimmed = Trim(lines[i]);
        std::vector<TLine>& target = ini.FSections.empty() ? ini.FHead : ini.FSections.back().Lines;
        if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') {
            target.push_back({"", lines[i], true, static_cast<int>(i + 1)});
        } else if (trimmed[0] == '[') {
            if (trimmed.back() != ']') {
                fail(i + 1, "section name without closing bracket");
                continue;
            }
            ini.FSections.push_back({Trim(trimmed.substr(1, trimmed.size() - 2)), {}});
        } else {
            size_t eq = trimmed.find('=');
            if (eq == std::string::npos) {
                fail(i + 1, "line is neither a section nor key=value");
                continue;
            }
            if (ini.FSections.empty()) {
                fail(i + 1, "key outside any section");
                continue;
            }
            std::string key = Trim(trimmed.substr(0, eq));
            if (key.empty()) {
                fail(i + 1, "empty key name");
                continue;
            }
            target.push_back({key, trimmed.substr(eq + 1), false, static_cast<int>(i + 1)});
        }
    }
    return ini;
}

std::string TIniText::Serialize() const {
    std::string out;
    auto emit = [&](const std::vector<TLine>& lines) {
        for (const TLine& line : lines) {
            out += line.IsComment ? line.Value : line.Key + "=" + line.Value;
            out += "\r\n";
        }
    };
    emit(FHead);
    for (const TSection& section : FSections) {
        out += "[" + section.Name + "]\r\n";
        emit(section.Lines);
    }
    return out;
}

TIniText::TSection* TIniText::FindSection(const std::string& section) {
    for (TSection& s : FSections)
        if (SameName(s.Name, section)) return &s;
    return nullptr;
}

const TIniText::TSection* TIniText::FindSection(const std::string& section) const {
    return const_cast<TIniText*>(this)->FindSection(section);
}

bool TIniText::SectionExists(const std::string& section) const {
    return FindSection(section) != nullptr;
}

std::optional<std::string> TIniText::Read(const std::string& section,
                                          const std::string& key) const {
    const TSection* s = FindSection(section);
    if (!s) return std::nullopt;
    for (const TLine& line : s->Lines)
        if (!line.IsComment && SameName(line.Key, key)) return line.Value;
    return std::nullopt;
}

std::string TIniText::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    return Read(section, key).value_or(defaultValue);
}

void TIniText::Write(const std::string& section, const std::string& key,
                     const std::string& value) {
    auto oneLine = [](const std::string& text) {
        return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
    };
    if (!oneLine(section) || !oneLine(key) || !oneLine(value) ||
        key.find('=') != std::string::npos)
        RaiseWinError(ERROR_INVALID_PARAMETER, section + "\\" + key);
    TSection* s = FindSection(section);
    if (!s) {
        FSections.push_back({section, {}});
        s = &FSections.back();
    }
    for (TLine& line : s->Lines)
        if (!line.IsComment && SameName(line.Key, key)) {
            line.Value = value;
            return;
        }
    // Appended after the last key, before trailing blank lines and comments.
    size_t at = s->Lines.size();
    while (at > 0 && s->Lines[at - 1].IsComment)
        --at;
    s->Lines.insert(s->Lines.begin() + static_cast<ptrdiff_t>(at), TLine{key, value, false, 0});
}

void TIniText::DeleteKey(const std::string& section, const std::string& key) {
    TSection* s = FindSection(section);
    if (!s) return;
    std::erase_if(s->Lines,
                  [&](const TLine& line) { return !line.IsComment && SameName(line.Key, key); });
}

void TIniText::EraseSection(const std::string& section) {
    std::erase_if(FSections, [&](const TSection& s) { return SameName(s.Name, section); });
}

std::vector<std::string> TIniText::Keys(const std::string& section) const {
    std::vector<std::string> keys;
    for (auto& [key, value] : Pairs(section))
        keys.push_back(key);
    return keys;
}

std::vector<std::pair<std::string, std::string>> TIniText::Pairs(
    const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> pairs;
    if (const TSection* s = FindSection(section))
        for (const TLine& line : s->Lines)
            if (!line.IsComment) pairs.emplace_back(line.Key, line.Value);
    return pairs;
}

int TIniText::LineOf(const std::string& section, const std::string& key) const {
    if (const TSection* s = FindSection(section))
        for (const TLine& line : s->Lines)
            if (!line.IsComment && SameName(line.Key, key)) return line.Line;
    return 0;
}

std::vector<std::string> TIniText::Sections() const {
    std::vector<std::string> names;
    for (const TSection& s : FSections)
        names.push_back(s.Name);
    return names;
}

TIniText WinReadIniFile(const std::string& fileName) {
    if (!WinFileExists(fileName)) return {};
    return TIniText::Parse(WinReadFile(fileName), fileName);
}

std::string WinGetPrivateProfileString(const std::string& section, const std::string& key,
                                       const std::string& defaultValue,
                                       const std::string& fileName) {
    try {
        return WinReadIniFile(fileName).ReadString(section, key, defaultValue);
    } catch (const Exception&) {
        return defaultValue;
    }
}

void WinWritePrivateProfileString(const std::string& section, const std::string& key,
                                  const std::optional<std::string>& value,
                                  const std::string& fileName) {
    TIniText ini = WinReadIniFile(fileName);
    if (value)
        ini.Write(section, key, *value);
    else
        ini.DeleteKey(section, key);
    WinWriteFile(fileName, ini.Serialize());
}

} // namespace zan
