#include "host/rtl/StringList.h"

#include <algorithm>
#include <numeric>

#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"
#include "host/rtl/Streams.h"

namespace zan {

namespace {

unsigned char FoldASCII(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

int CompareBytes(const std::string& a, const std::string& b, bool foldCase) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if (foldCase) {
            ca = FoldASCII(ca);
            cb = FoldASCII(cb);
        }
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return (a.size() > n) - (b.size() > n);
}

// A stable bottom-up merge sort of indexes. It stays within bounds whatever the comparison
// answers, so a caller's inconsistent comparison yields some order but never a crash.
template <typename TLess>
void MergeSortIndexes(std::vector<int>& a, TLess less) {
    std::vector<int> tmp(a.size());
    for (size_t width = 1; width < a.size(); width *= 2) {
        for (size_t lo = 0; lo < a.size(); lo += 2 * width) {
            const size_t mid = std::min(lo + width, a.size());
            const size_t hi = std::min(lo + 2 * width, a.size());
            size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi)
                tmp[k++] = less(a[j], a[i]) ? a[j++] : a[i++];
            while (i < mid)
                tmp[k++] = a[i++];
            while (j < hi)
                tmp[k++] = a[j++];
        }
        a.swap(tmp);
    }
}

bool IsBlank(char c) {
    return c >= 1 && c <= ' ';
}

} // namespace

// ---- TStrings -------------------------------------------------------------------------------

void TStrings::Error(const char* format, int64_t arg) const {
    throw EStringListError(Format(format, arg));
}

int TStrings::CompareStrings(const std::string& a, const std::string& b) const {
    return CompareBytes(a, b, true);
}

void TStrings::InsertObject(int index, const std::string& s, TObject* object) {
    Insert(index, s);
    PutObject(index, object);
}

int TStrings::Add(const std::string& s) {
    int index = Count();
    Insert(index, s);
    return index;
}

int TStrings::AddObject(const std::string& s, TObject* object) {
    int index = Add(s);
    PutObject(index, object);
    return index;
}

void TStrings::AddStrings(const TStrings& strings) {
    if (&strings == this) {
        // Adding a list to itself: work on a snapshot.
        std::vector<std::pair<std::string, TObject*>> copy;
        for (int i = 0; i < Count(); ++i)
            copy.emplace_back(Get(i), GetObject(i));
        auto update = UpdateScope(*this);
        for (auto& [s, o] : copy)
            AddObject(s, o);
        return;
    }
    auto update = UpdateScope(*this);
    for (int i = 0; i < strings.Count(); ++i)
        AddObject(strings.Get(i), strings.GetObject(i));
}

void TStrings::Assign(const TStrings& source) {
    if (&source == this) return;
    auto update = UpdateScope(*this);
    Clear();
    AddStrings(source);
}

int TStrings::IndexOf(const std::string& s) const {
    for (int i = 0; i < Count(); ++i)
        if (CompareStrings(Get(i), s) == 0) return i;
    return -1;
}

int TStrings::IndexOfObject(const TObject* object) const {
    for (int i = 0; i < Count(); ++i)
        if (GetObject(i) == object) return i;
    return -1;
}

int TStrings::IndexOfName(const std::string& name) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& line = Get(i);
        size_t p = line.find(FNameValueSeparator);
        if (p != std::string::npos && CompareStrings(line.substr(0, p), name) == 0) return i;
    }
    return -1;
}

std::string TStrings::Names(int index) const {
    const std::string& line = Get(index);
    size_t p = line.find(FNameValueSeparator);
    return p == std::string::npos ? std::string() : line.substr(0, p);
}

std::string TStrings::ValueFromIndex(int index) const {
    const std::string& line = Get(index);
    size_t p = line.find(FNameValueSeparator);
    return p == std::string::npos ? std::string() : line.substr(p + 1);
}

std::string TStrings::GetValue(const std::string& name) const {
    int i = IndexOfName(name);
    return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStrings::SetValue(const std::string& name, const std::string& value) {
    int i = IndexOfName(name);
    if (value.empty()) {
        if (i >= 0) Delete(i);
        return;
    }
    std::string line = name + FNameValueSeparator + value;
    auto* sorted = dynamic_cast<TStringList*>(this);
    if (sorted && sorted->GetSorted()) {
        // A sorted list refuses Put: the line goes where its new text belongs.
        auto update = UpdateScope(*this);
        if (i >= 0) Delete(i);
        Add(line);
    } else if (i < 0) {
        Add(line);
    } else {
        Put(i, line);
    }
}

std::string TStrings::GetDelimitedText() const {
    return JoinItems(FDelimiter, FQuoteChar);
}

void TStrings::SetDelimitedText(const std::string& text) {
    SplitItems(text, FDelimiter, FQuoteChar);
}

std::string TStrings::GetCommaText() const {
    return JoinItems(',', '"');
}

void TStrings::SetCommaText(const std::string& text) {
    SplitItems(text, ',', '"');
}

std::string TStrings::JoinItems(char delimiter, char quoteChar) const {
    const int n = Count();
    if (n == 1 && Get(0).empty()) return std::string(2, quoteChar);
    std::string result;
    for (int i = 0; i < n; ++i) {
        const std::string& s = Get(i);
        if (i > 0) result += delimiter;
        bool quote = std::any_of(s.begin(), s.end(), [&](char c) {
            return static_cast<unsigned char>(c) <= ' ' || c == quoteChar || c == delimiter;
        });
        if (!quote) {
            result += s;
            continue;
        }
        result += quoteChar;
        for (char c : s) {
            if (c == quoteChar) result += c;
            result += c;
        }
        result += quoteChar;
    }
    return result;
}

void TStrings::SplitItems(const std::string& text, char delimiter, char quoteChar) {
    auto update = UpdateScope(*this);
    Clear();
    // Outside quotes a NUL byte ends the text, as it ended the framework's character pointer.
    size_t p = 0;
    auto atEnd = [&](size_t at) { return at >= text.size() || text[at] == '\0'; };
    auto skipBlanks = [&] {
        while (p < text.size() && IsBlank(text[p]))
            ++p;
    };
    skipBlanks();
    while (!atEnd(p)) {
        std::string item;
        if (text[p] == quoteChar) {
            // Up to the closing quote (a doubled quote is one); unterminated: the rest.
            ++p;
            while (p < text.size()) {
                if (text[p] == quoteChar) {
                    if (p + 1 < text.size() && text[p + 1] == quoteChar) {
                        item += quoteChar;
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += text[p++];
            }
        } else {
            const size_t start = p;
            while (p < text.size() && static_cast<unsigned char>(text[p]) > ' ' &&
                   text[p] != delimiter)
                ++p;
            item.assign(text, start, p - start);
        }
        Add(item);
        skipBlanks();
        if (!atEnd(p) && text[p] == delimiter) {
            // A delimiter that ends the text stands before one more, empty item.
            if (atEnd(p + 1)) Add(std::string());
            ++p;
            skipBlanks();
        }
    }
}

std::string TStrings::GetText() const {
    size_t total = 0;
    for (int i = 0; i < Count(); ++i)
        total += Get(i).size() + FLineBreak.size();
    std::string result;
    result.reserve(total);
    for (int i = 0; i < Count(); ++i) {
        result += Get(i);
        result += FLineBreak;
    }
    return result;
}

void TStrings::SetLineBreak(const std::string& lineBreak) {
    if (lineBreak.empty()) throw EStringListError("Line break must not be empty");
    FLineBreak = lineBreak;
}

void TStrings::SetText(const std::string& text) {
    auto update = UpdateScope(*this);
    Clear();
    size_t p = 0;
    if (FLineBreak != "\r\n") {
        while (p < text.size()) {
            const size_t e = text.find(FLineBreak, p);
            if (e == std::string::npos) {
                Add(text.substr(p));
                break;
            }
            Add(text.substr(p, e - p));
            p = e + FLineBreak.size();
        }
        return;
    }
    while (p < text.size()) {
        size_t e = text.find_first_of("\r\n", p);
        if (e == std::string::npos) {
            Add(text.substr(p));
            break;
        }
        Add(text.substr(p, e - p));
        p = e;
        if (text[p] == '\r') ++p;
        if (p < text.size() && text[p] == '\n') ++p;
    }
}

void TStrings::LoadFromStream(TStream& stream) {
    std::string text;
    char buffer[0x10000];
    for (int32_t n; (n = stream.Read(buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    SetText(text);
}

void TStrings::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStream(file);
}

void TStrings::SaveToStream(TStream& stream) const {
    TStringStream text(GetText());
    if (text.GetSize() > 0) stream.CopyFrom(text, 0);
}

void TStrings::SaveToFile(const std::string& fileName) const {
    TFileStream file(fileName, fmCreate);
    SaveToStream(file);
}

void TStrings::BeginUpdate() {
    if (FUpdateCount == 0) SetUpdateState(true);
    ++FUpdateCount;
}

void TStrings::EndUpdate() {
    if (FUpdateCount <= 0) return;
    if (--FUpdateCount == 0) SetUpdateState(false);
}

// ---- TStringList ----------------------------------------------------------------------------

void TStringList::CheckIndex(int index, int limit) const {
    if (index < 0 || index >= limit) Error("List index out of bounds (%d)", index);
}

const std::string& TStringList::Get(int index) const {
    CheckIndex(index, Count());
    return FList[static_cast<size_t>(index)].FString;
}

TObject* TStringList::GetObject(int index) const {
    CheckIndex(index, Count());
    return FList[static_cast<size_t>(index)].FObject;
}

void TStringList::Put(int index, const std::string& s) {
    if (FSorted) throw EStringListError("Operation not allowed on sorted list");
    CheckIndex(index, Count());
    Changing();
    FList[static_cast<size_t>(index)].FString = s;
    Changed();
}

void TStringList::PutObject(int index, TObject* object) {
    CheckIndex(index, Count());
    Changing();
    FList[static_cast<size_t>(index)].FObject = object;
    Changed();
}

void TStringList::Insert(int index, const std::string& s) {
    InsertObject(index, s, nullptr);
}

void TStringList::InsertObject(int index, const std::string& s, TObject* object) {
    if (FSorted) throw EStringListError("Operation not allowed on sorted list");
    CheckIndex(index, Count() + 1);
    InsertItem(index, s, object);
}

void TStringList::InsertItem(int index, const std::string& s, TObject* object) {
    Changing();
    FList.insert(FList.begin() + index, TStringItem{s, object});
    Changed();
}

void TStringList::Delete(int index) {
    CheckIndex(index, Count());
    Changing();
    FList.erase(FList.begin() + index);
    Changed();
}

void TStringList::Clear() {
    if (FList.empty()) return;
    Changing();
    FList.clear();
    Changed();
}

void TStringList::Exchange(int index1, int index2) {
    CheckIndex(index1, Count());
    CheckIndex(index2, Count());
    Changing();
    std::swap(FList[static_cast<size_t>(index1)], FList[static_cast<size_t>(index2)]);
    Changed();
}

int TStringList::Add(const std::string& s) {
    return AddObject(s, nullptr);
}

int TStringList::AddObject(const std::string& s, TObject* object) {
    int index = Count();
    if (FSorted) {
        if (Find(s, index)) {
            switch (FDuplicates) {
            case dupIgnore:
                return index;
            case dupError:
                throw EStringListError("String list does not allow duplicates");
            case dupAccept:
                // After the equal lines already there, so equal lines keep their adding order.
                while (index < Count() && CompareStrings(Get(index), s) == 0)
                    ++index;
                break;
            }
        }
    }
    InsertItem(index, s, object);
    return index;
}

bool TStringList::Find(const std::string& s, int& index) const {
    int lo = 0, hi = Count();
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (CompareStrings(FList[static_cast<size_t>(mid)].FString, s) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    index = lo;
    return lo < Count() && CompareStrings(FList[static_cast<size_t>(lo)].FString, s) == 0;
}

int TStringList::IndexOf(const std::string& s) const {
    if (!FSorted) return TStrings::IndexOf(s);
    int index;
    return Find(s, index) ? index : -1;
}

void TStringList::Sort() {
    if (FSorted || FList.size() < 2) return;
    Changing();
    std::stable_sort(FList.begin(), FList.end(),
                     [this](const TStringItem& a, const TStringItem& b) {
                         return CompareStrings(a.FString, b.FString) < 0;
                     });
    Changed();
}

void TStringList::CustomSort(const TStringListSortCompare& compare) {
    if (FSorted || FList.size() < 2) return;
    // The comparison names lines by index, so sort a permutation while the lines stay put.
    std::vector<int> order(FList.size());
    std::iota(order.begin(), order.end(), 0);
    MergeSortIndexes(order, [&](int a, int b) { return compare(*this, a, b) < 0; });
    std::vector<TStringItem> sorted;
    sorted.reserve(FList.size());
    for (int i : order)
        sorted.push_back(FList[static_cast<size_t>(i)]);
    Changing();
    FList.swap(sorted);
    Changed();
}

void TStringList::SetSorted(bool sorted) {
    if (sorted == FSorted) return;
    if (sorted) Sort();
    FSorted = sorted;
}

void TStringList::SetCaseSensitive(bool caseSensitive) {
    if (caseSensitive == FCaseSensitive) return;
    FCaseSensitive = caseSensitive;
    if (FSorted) {
        FSorted = false;
        Sort();
        FSorted = true;
    }
}

int TStringList::CompareStrings(const std::string& a, const std::string& b) const {
    return CompareBytes(a, b, !FCaseSensitive);
}

void TStringList::SetUpdateState(bool updating) {
    if (updating)
        Changing();
    else
        Changed();
}

void TStringList::Changing() {
    if (UpdateCount() == 0 && OnChanging) OnChanging(this);
}

void TStringList::Changed() {
    if (UpdateCount() == 0 && OnChange) OnChange(this);
}

} // namespace zan
