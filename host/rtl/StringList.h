// Lists of strings with the framework's behaviour: lines with an optional non-owning object,
// Name=Value lines, comma and delimited text, CR LF text, sorting and duplicate rules.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/Exceptions.h"

namespace zan {

class TStream;

ZAN_EXCEPTION_CLASS(EStringListError, Exception);

// What a sorted list does with a string it already holds.
enum TDuplicates : uint8_t { dupIgnore, dupAccept, dupError };

using TNotifyEvent = std::function<void(TObject* sender)>;

// The abstract list of strings: the storage is the concern of descendants; everything built
// on Get/Put/Insert/Delete is here. Indexes are 0-based; a bad index raises EStringListError
// "List index out of bounds (<index>)".
class TStrings : public TObject {
public:
    TStrings() = default;
    TStrings(const TStrings&) = delete;
    TStrings& operator=(const TStrings&) = delete;
    ZAN_CLASS(TStrings)

    virtual int Count() const = 0;
    virtual const std::string& Get(int index) const = 0;
    virtual void Put(int index, const std::string& s) = 0;
    virtual TObject* GetObject(int index) const = 0;
    virtual void PutObject(int index, TObject* object) = 0;
    virtual void Insert(int index, const std::string& s) = 0;
    virtual void InsertObject(int index, const std::string& s, TObject* object);
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
    virtual int Add(const std::string& s);
    virtual int AddObject(const std::string& s, TObject* object);
    void AddStrings(const TStrings& strings);
    // Replaces the lines and their objects with those of source.
    virtual void Assign(const TStrings& source);

    const std::string& operator[](int index) const { return Get(index); }
    const std::string& Strings(int index) const { return Get(index); }
    TObject* Objects(int index) const { return GetObject(index); }

    // Index of the first line equal to s (by CompareStrings), or -1.
    virtual int IndexOf(const std::string& s) const;
    int IndexOfObject(const TObject* object) const;
    // Index of the first line whose name (text before the first separator) equals name, or -1.
    int IndexOfName(const std::string& name) const;
    // The text before the first separator; "" for a line without one.
    std::string Names(int index) const;
    // The text after the first separator of the named line; "" when there is no such line.
    std::string GetValue(const std::string& name) const;
    // Sets "name=value"; an empty value deletes the line.
    void SetValue(const std::string& name, const std::string& value);
    // The text after the first separator; "" for a line without one.
    std::string ValueFromIndex(int index) const;

    char GetNameValueSeparator() const { return FNameValueSeparator; }
    void SetNameValueSeparator(char c) { FNameValueSeparator = c; }
    char GetDelimiter() const { return FDelimiter; }
    void SetDelimiter(char c) { FDelimiter = c; }
    char GetQuoteChar() const { return FQuoteChar; }
    void SetQuoteChar(char c) { FQuoteChar = c; }

    // Items joined by the delimiter; an item holding a byte <= ' ', the quote character or the
    // delimiter is quoted (inner quotes doubled). One empty item alone gives two quotes.
    std::string GetDelimitedText() const;
    // Clears, then reads items separated by the delimiter and/or blanks; quoted items may hold
    // anything (a doubled quote stands for one). A delimiter that ends the text adds a last,
    // empty item. A NUL byte outside quotes ends the text.
    void SetDelimitedText(const std::string& text);
    // DelimitedText with ',' and '"'.
    std::string GetCommaText() const;
    void SetCommaText(const std::string& text);
    // Every line followed by the line break (CR LF unless set).
    std::string GetText() const;
    // Clears, then adds the lines of text. With the CR LF line break a line ends at CR LF, LF or
    // CR; with another line break only at that break, so Text gives back what was set (plus a
    // break after an unended last line). The last line may be unended.
    void SetText(const std::string& text);
    const std::string& GetLineBreak() const { return FLineBreak; }
    void SetLineBreak(const std::string& lineBreak);

    // Replace the lines with the text read from the stream's position to its end / the file.
    void LoadFromStream(TStream& stream);
    void LoadFromFile(const std::string& fileName);
    // Write Text.
    void SaveToStream(TStream& stream) const;
    void SaveToFile(const std::string& fileName) const;

    // Nested; change events fire once the outermost EndUpdate is reached.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

protected:
    // Told when the update state starts (true) and ends (false).
    virtual void SetUpdateState(bool /*updating*/) {}
    // Three-way comparison used by IndexOf and IndexOfName; ASCII case-insensitive here.
    virtual int CompareStrings(const std::string& a, const std::string& b) const;
    [[noreturn]] void Error(const char* format, int64_t arg) const;

private:
    std::string JoinItems(char delimiter, char quoteChar) const;
    void SplitItems(const std::string& text, char delimiter, char quoteChar);

    char FNameValueSeparator = '=';
    char FDelimiter = ',';
    char FQuoteChar = '"';
    int FUpdateCount = 0;
    std::string FLineBreak = "\r\n";
};

class TStringList;
// Three-way comparison of two lines of list (by index) for CustomSort.
using TStringListSortCompare = std::function<int(TStringList& list, int index1, int index2)>;

// The list of strings kept in memory. A sorted list keeps its order on Add and finds lines by
// binary search; Insert and Put are refused on it.
class TStringList : public TStrings {
public:
    TStringList() = default;
    ZAN_CLASS(TStringList)

    int Count() const override { return static_cast<int>(FList.size()); }
    const std::string& Get(int index) const override;
    void Put(int index, const std::string& s) override;
    TObject* GetObject(int index) const override;
    void PutObject(int index, TObject* object) override;
    void Insert(int index, const std::string& s) override;
    void InsertObject(int index, const std::string& s, TObject* object) override;
    void Delete(int index) override;
    void Clear() override;
    int Add(const std::string& s) override;
    int AddObject(const std::string& s, TObject* object) override;
    int IndexOf(const std::string& s) const override;
    void Exchange(int index1, int index2);

    // Binary search of a sorted list: true when s is there, with index at its first occurrence;
    // otherwise false with index where s would go.
    bool Find(const std::string& s, int& index) const;
    // Stable sorts; they do nothing on a Sorted list (it already is).
    void Sort();
    void CustomSort(const TStringListSortCompare& compare);

    bool GetSorted() const { return FSorted; }
    void SetSorted(bool sorted);
    TDuplicates GetDuplicates() const { return FDuplicates; }
    void SetDuplicates(TDuplicates duplicates) { FDuplicates = duplicates; }
    bool GetCaseSensitive() const { return FCaseSensitive; }
    // Re-sorts a sorted list under the new rule.
    void SetCaseSensitive(bool caseSensitive);

    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

protected:
    void SetUpdateState(bool updating) override;
    int CompareStrings(const std::string& a, const std::string& b) const override;
    virtual void Changing();
    virtual void Changed();

private:
    struct TStringItem {
        std::string FString;
        TObject* FObject = nullptr;
    };
    void CheckIndex(int index, int limit) const;
    void InsertItem(int index, const std::string& s, TObject* object);

    std::vector<TStringItem> FList;
    bool FSorted = false;
    bool FCaseSensitive = false;
    TDuplicates FDuplicates = dupIgnore;
};

} // namespace zan
