// String routines of the installer: delimited fields, trailing backslashes, the text after a
// colon and file names made valid.
#pragma once

#include <string>

#include "host/rtl/StringList.h"

namespace zan {

// The number of separators in text, plus 1 when text is not empty and does not end with ";"
// (the test is on ";" whatever the separator).
int CountDelimitedFields(const std::string& text, char separator);
// Field n (1-based); empty once a separator is missing.
std::string GetDelimitedField(const std::string& text, int n, char separator);
// Clears list and adds fields 1..CountDelimitedFields.
void SplitDelimited(const std::string& text, char separator, TStrings& list);

std::string AddTrailingBackslash(const std::string& path);
std::string RemoveTrailingBackslash(const std::string& path);
// result := the text after the first ":"; unchanged when there is none.
void TextAfterColon(const std::string& text, std::string& result);
// The first n bytes of UTF-8 text at most, never splitting a character (bytes that are not
// UTF-8 are cut where they fall).
std::string CutAtCharBoundary(const std::string& text, size_t n);
// "/" becomes "-"; the characters " * : ; < > ? \ | are dropped.
std::string MakeValidFileName(const std::string& text);
// The extension of a Windows-form file name with its dot, upper-cased ("" without one).
std::string WinFileExtUpper(const std::string& path);
// The name with its extension replaced by ext (ext appended when it has none).
std::string ChangeWinFileExt(const std::string& path, const std::string& ext);

} // namespace zan
