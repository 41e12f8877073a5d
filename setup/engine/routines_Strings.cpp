#include "setup/engine/routines_Strings.h"

#include <cstdint>

#include "host/rtl/SysUtils.h"

namespace zan {

int CountDelimitedFields(const std::string& text, char separator) {
    int count = 0;
    for (char c : text)
        count += c == separator;
    if (!text.empty() && text.back() != ';') ++count;
    return count;
}

std::string GetDelimitedField(const std::string& text, int n, char separator) {
    size_t start = 0;
    for (int i = 1; i < n; ++i) {
        size_t at = text.find(separator, start);
        if (at == std::string::npos) return "";
        start = at + 1;
    }
    size_t end = text.find(separator, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void SplitDelimited(const std::string& text, char separator, TStrings& list) {
    list.Clear();
    int count = CountDelimitedFields(text, separator);
    for (int i = 1; i <= count; ++i)
        list.Add(GetDelimitedField(text, i, separator));
}

std::string AddTrailingBackslash(const std::string& path) {
    if (path.empty() || path.back() == '\\') return path;
    return path + "\\";
}

std::string RemoveTrailingBackslash(const std::string& path) {
    if (!path.empty() && path.back() == '\\') return path.substr(0, path.size() - 1);
    return path;
}

void TextAfterColon(const std::string& text, std::string& result) {
    size_t colon = text.find(':');
    if (colon != std::string::npos) result = text.substr(colon + 1);
}

std::string CutAtCharBoundary(const std::string& text, size_t n) {
    if (text.size() <= n) return text;
    size_t k = n;
    // Step back over at most three continuation bytes to the start of the cut character.
    while (k > 0 && (static_cast<uint8_t>(text[k]) & 0xC0) == 0x80 && n - k < 3)
        --k;
    return text.substr(0, k);
}

std::string MakeValidFileName(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '/') {
            out += '-';
            continue;
        }
        switch (c) {
        case '"': case '*': case ':': case ';': case '<': case '>': case '?': case '\\': case '|':
            break;
        default: out += c;
        }
    }
    return out;
}

namespace {
// The position of the extension's dot in the last component, npos without one.
size_t ExtDot(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    return dot == std::string::npos || dot < start ? std::string::npos : dot;
}
} // namespace

std::string WinFileExtUpper(const std::string& path) {
    size_t dot = ExtDot(path);
    return dot == std::string::npos ? std::string() : UpperCase(path.substr(dot));
}

std::string ChangeWinFileExt(const std::string& path, const std::string& ext) {
    size_t dot = ExtDot(path);
    return (dot == std::string::npos ? path : path.substr(0, dot)) + ext;
}

} // namespace zan
