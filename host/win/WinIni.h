// INI files as the profile routines of Windows read and write them: sections in brackets,
// "key=value" lines, names compared with the sandbox's case-folding rule, comments kept. Written
// with CR LF line ends, read with either. A hand-edited file that is not INI text is refused with
// an error that names the file and the line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/rtl/Exceptions.h"

namespace zan {

// An INI text that cannot be parsed: "<file>(<line>): <what>".
ZAN_EXCEPTION_CLASS(EIniFileError, Exception);

// The parsed text of one INI file. Order of sections and keys is kept; lookups fold case.
class TIniText {
public:
    // Parses text; fileName only names the source in errors (EIniFileError).
    static TIniText Parse(const std::string& text, const std::string& fileName);
    // Parses text leniently: a line Parse would refuse is left out, its error added to skipped.
    static TIniText ParseSkipping(const std::string& text, const std::string& fileName,
                                  std::vector<std::string>& skipped);
    // The text with CR LF line ends.
    std::string Serialize() const;

    bool SectionExists(const std::string& section) const;
    std::optional<std::string> Read(const std::string& section, const std::string& key) const;
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // Replaces the value of an existing key or appends the key (and the section) at the end.
    // A section, key or value holding a line break or NUL, or a key holding "=", cannot be
    // written as one line: EWinError 87 (invalid parameter), the text unchanged.
    void Write(const std::string& section, const std::string& key, const std::string& value);
    // Removes a key; nothing when absent.
    void DeleteKey(const std::string& section, const std::string& key);
    void EraseSection(const std::string& section);
    // The keys of a section in file order (empty when there is no such section).
    std::vector<std::string> Keys(const std::string& section) const;
    // Every "key=value" pair of a section in file order.
    std::vector<std::pair<std::string, std::string>> Pairs(const std::string& section) const;
    std::vector<std::string> Sections() const;
    // The 1-based line of a key in the parsed text; 0 for a key written since.
    int LineOf(const std::string& section, const std::string& key) const;

private:
    static TIniText ParseLines(const std::string& text, const std::string& fileName,
                               std::vector<std::string>* skipped);

    struct TLine {
        std::string Key;   // empty for a comment or blank line
        std::string Value; // or the raw comment text
        bool IsComment = false;
        int Line = 0; // in the parsed text
    };
    struct TSection {
        std::string Name;
        std::vector<TLine> Lines;
    };
    TSection* FindSection(const std::string& section);
    const TSection* FindSection(const std::string& section) const;

    std::vector<TLine> FHead; // comments before the first section
    std::vector<TSection> FSections;
};

// The profile routines on a Windows-form file name inside the sandbox. A missing file reads as
// empty; writing creates it. Reading a damaged file answers the default; writing into one
// raises EIniFileError and leaves it untouched.
std::string WinGetPrivateProfileString(const std::string& section, const std::string& key,
                                       const std::string& defaultValue,
                                       const std::string& fileName);
// Writes (or, with std::nullopt, deletes) one key.
void WinWritePrivateProfileString(const std::string& section, const std::string& key,
                                  const std::optional<std::string>& value,
                                  const std::string& fileName);
// Reads the whole file (EIniFileError when damaged; empty when missing).
TIniText WinReadIniFile(const std::string& fileName);

} // namespace zan
