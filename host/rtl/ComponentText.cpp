#include "host/rtl/ComponentText.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <map>

#include "host/rtl/Format.h"
#include "host/rtl/ScopeExit.h"

namespace zan {

namespace {

// Objects and collection items nest at most this deep; deeper text is refused, not recursed.
constexpr int MaxNesting = 64;

bool SameIdent(std::string_view a, std::string_view b) {
    return SameTextASCII(std::string(a), std::string(b));
}

std::map<std::string, TComponentFactory>& Factories() {
    static std::map<std::string, TComponentFactory> factories;
    return factories;
}

std::string LowerKey(std::string name) {
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return name;
}

const TPropertyTable* TableOf(const TObject& object) {
    return object.GetPropertyTable();
}

// ---------------------------------------------------------------------------------------------
// Writing

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when there is none.
size_t Utf8SequenceLength(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i);
    size_t len;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
        cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        cp = b & 0x07u;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return len;
}

std::string QuoteString(std::string_view s) {
    if (s.empty()) return "''";
    std::string out;
    bool quoted = false;
    auto openQuote = [&] {
        if (!quoted) out += '\'';
        quoted = true;
    };
    auto closeQuote = [&] {
        if (quoted) out += '\'';
        quoted = false;
    };
    for (size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b >= 32 && b < 127) {
            openQuote();
            out += s[i];
            if (b == '\'') out += '\'';
            ++i;
        } else if (size_t len = b >= 0x80 ? Utf8SequenceLength(s, i) : 0; len != 0) {
            openQuote();
            out.append(s.substr(i, len));
            i += len;
        } else {
            closeQuote();
            out += '#';
            out += std::to_string(b);
            ++i;
        }
    }
    closeQuote();
    return out;
}

// The shortest text that reads back to exactly value, always with a '.' or an exponent.
std::string FloatText(double value) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    std::string text(buf, res.ptr);
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

class TTextWriter {
public:
    std::string Text;

    void WriteObject(const TComponent& component, int level) {
        const TPropertyTable* table = TableOf(component);
        if (!table)
            throw EWriteError(
                Format("Class %s has no published properties", component.ClassName()));
        TNestingGuard nesting(FDepth);
        Line(level, component.GetName().empty()
                        ? Format("object %s", component.ClassName())
                        : Format("object %s: %s", component.GetName(), component.ClassName()));
        WriteProperties(component, *table, level + 1);
        for (int i = 0; i < component.ComponentCount(); ++i) {
            const TComponent* child = component.Components(i);
            if (!child->GetName().empty() && TableOf(*child)) WriteObject(*child, level + 1);
        }
        Line(level, "end");
    }

private:
    // Objects and collection items nest no deeper than the reader accepts, so that what is
    // written can always be read back.
    class TNestingGuard {
    public:
        explicit TNestingGuard(int& depth) : FDepth(depth) {
            if (FDepth >= MaxNesting) throw EWriteError("Objects nested too deeply");
            ++FDepth;
        }
        ~TNestingGuard() { --FDepth; }
        TNestingGuard(const TNestingGuard&) = delete;
        TNestingGuard& operator=(const TNestingGuard&) = delete;

    private:
        int& FDepth;
    };

    int FDepth = 0; // objects and items being written around the current one

    void Line(int level, const std::string& text) {
        Text.append(static_cast<size_t>(level) * 2, ' ');
        Text += text;
        Text += '\n';
    }

    void WriteProperties(const TObject& object, const TPropertyTable& table, int level) {
        if (table.Parent()) WriteProperties(object, *table.Parent(), level);
        for (const TPropertyInfo& prop : table.Properties())
            WriteProperty(object, prop, level);
    }

    [[noreturn]] static void BadValue(const TObject& object, const TPropertyInfo& prop,
                                      const std::string& value) {
        throw EWriteError(
            Format("Invalid value %s of property %s.%s", value, object.ClassName(), prop.Name));
    }

    static std::string Identifier(const TObject& object, const TPropertyInfo& prop,
                                  int64_t ordinal) {
        if (ordinal < 0 || ordinal >= static_cast<int64_t>(prop.Identifiers.size()) ||
            prop.Identifiers[static_cast<size_t>(ordinal)].empty())
            BadValue(object, prop, std::to_string(ordinal));
        return prop.Identifiers[static_cast<size_t>(ordinal)];
    }

    void WriteProperty(const TObject& object, const TPropertyInfo& prop, int level) {
        if (prop.IsStored && !prop.IsStored(object)) return;
        std::string value;
        switch (prop.Kind) {
        case pkInteger:
        case pkBoolean:
        case pkEnumeration:
        case pkSet: {
            int64_t v = prop.GetOrd(object);
            if (prop.HasDefault && v == prop.OrdDefault) return;
            if (prop.Kind == pkInteger) {
                value = std::to_string(v);
            } else if (prop.Kind == pkBoolean) {
                value = v ? "True" : "False";
            } else if (prop.Kind == pkEnumeration) {
                value = Identifier(object, prop, v);
            } else {
                auto bits = static_cast<uint64_t>(v);
                value = "[";
                for (int i = 0; bits != 0; ++i, bits >>= 1) {
                    if (!(bits & 1u)) continue;
                    if (value.size() > 1) value += ", ";
                    value += Identifier(object, prop, i);
                }
                value += "]";
            }
            break;
        }
        case pkFloat: {
            double v = prop.GetFloat(object);
            if (prop.HasDefault &&
                std::bit_cast<uint64_t>(v) == std::bit_cast<uint64_t>(prop.FloatDefault))
                return;
            if (!std::isfinite(v)) BadValue(object, prop, FloatToStrGeneral(v));
            value = FloatText(v);
            break;
        }
        case pkString: {
            std::string v = prop.GetString(object);
            if (prop.HasDefault && v == prop.StringDefault) return;
            value = QuoteString(v);
            break;
        }
        case pkCollection:
            WriteCollection(object, prop, level);
            return;
        case pkVariant: {
            Variant v = prop.GetVariant(object);
            if (VarIsEmpty(v)) return;
            value = VariantText(object, prop, v);
            break;
        }
        }
        Line(level, prop.Name + " = " + value);
    }

    static std::string VariantText(const TObject& object, const TPropertyInfo& prop,
                                   const Variant& v) {
        switch (v.Type()) {
        case varNull:
            return "Null";
        case varBoolean:
            return v.AsBoolean() ? "True" : "False";
        case varSmallint:
        case varInteger:
        case varInt64:
            return std::to_string(v.AsInt64());
        case varCurrency:
            return CurrToStr(v.AsCurrency());
        case varDouble:
        case varDate: {
            double d = v.AsDouble();
            if (!std::isfinite(d)) BadValue(object, prop, FloatToStrGeneral(d));
            return FloatText(d);
        }
        case varString:
            return QuoteString(v.StringRef());
        default:
            BadValue(object, prop, VarTypeAsText(v.Type()));
        }
    }

    void WriteCollection(const TObject& object, const TPropertyInfo& prop, int level) {
        const TCollection* collection = prop.GetCollection(object);
        if (!collection || collection->Count() == 0) {
            Line(level, prop.Name + " = <>");
            return;
        }
        Line(level, prop.Name + " = <");
        for (int i = 0; i < collection->Count(); ++i) {
            const TCollectionItem* item = collection->Items(i);
            const TPropertyTable* table = TableOf(*item);
            if (!table)
                throw EWriteError(
                    Format("Class %s has no published properties", item->ClassName()));
            TNestingGuard nesting(FDepth);
            Line(level + 1, "item");
            WriteProperties(*item, *table, level + 2);
            Line(level + 1, i + 1 == collection->Count() ? "end>" : "end");
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Reading

enum TTokenKind : uint8_t { tkEnd, tkSymbol, tkString, tkInteger, tkFloat, tkChar };

struct TToken {
    TTokenKind Kind = tkEnd;
    std::string Text; // symbol, number text, or the decoded string
    char Char = 0;
    int Line = 1;
};

class TTextParser {
public:
    explicit TTextParser(std::string_view text) : FText(text) { Next(); }

    const TToken& Token() const { return FToken; }

    [[noreturn]] void Error(const std::string& message) const {
        throw EParserError(Format("%s on line %d", message, FToken.Line));
    }

    [[noreturn]] void Expected(const std::string& what) const {
        Error(Format("%s expected but %s found", what, Describe()));
    }

    std::string Describe() const {
        switch (FToken.Kind) {
        case tkEnd:
            return "end of text";
        case tkSymbol:
            return "'" + FToken.Text + "'";
        case tkString:
            return "string";
        case tkInteger:
        case tkFloat:
            return "number " + FToken.Text;
        case tkChar:
            break;
        }
        auto b = static_cast<unsigned char>(FToken.Char);
        if (b > 32 && b < 127) return Format("'%s'", std::string(1, FToken.Char));
        return Format("character #%d", static_cast<int>(b));
    }

    bool IsSymbol(std::string_view name) const {
        return FToken.Kind == tkSymbol && SameIdent(FToken.Text, name);
    }
    bool IsChar(char c) const { return FToken.Kind == tkChar && FToken.Char == c; }

    void CheckChar(char c) const {
        if (!IsChar(c)) Expected(Format("'%s'", std::string(1, c)));
    }
    void SkipChar(char c) {
        CheckChar(c);
        Next();
    }
    void SkipSymbol(std::string_view name) {
        if (!IsSymbol(name)) Expected("'" + std::string(name) + "'");
        Next();
    }
    std::string TakeIdent(const char* what = "Identifier") {
        if (FToken.Kind != tkSymbol) Expected(what);
        std::string name = FToken.Text;
        Next();
        return name;
    }

    void Next() {
        SkipBlanks();
        FToken.Line = FLine;
        FToken.Text.clear();
        FToken.Char = 0;
        if (FPos >= FText.size()) {
            FToken.Kind = tkEnd;
            return;
        }
        char c = FText[FPos];
        if (IsIdentStart(c)) {
            size_t start = FPos;
            while (FPos < FText.size() && (IsIdentStart(FText[FPos]) || IsDigit(FText[FPos])))
                ++FPos;
            FToken.Kind = tkSymbol;
            FToken.Text = std::string(FText.substr(start, FPos - start));
        } else if (c == '\'' || c == '#') {
            ReadString();
        } else if (IsDigit(c) || ((c == '-' || c == '+') && FPos + 1 < FText.size() &&
                                  IsDigit(FText[FPos + 1]))) {
            ReadNumber();
        } else {
            FToken.Kind = tkChar;
            FToken.Char = c;
            ++FPos;
        }
    }

private:
    static bool IsIdentStart(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    void SkipBlanks() {
        while (FPos < FText.size()) {
            char c = FText[FPos];
            if (c == '\n')
                ++FLine;
            else if (c != ' ' && c != '\t' && c != '\r')
                break;
            ++FPos;
        }
    }

    [[noreturn]] void ErrorHere(const std::string& message) const {
        throw EParserError(Format("%s on line %d", message, FLine));
    }

    // Quoted runs and #n codes, directly adjacent; runs may be joined by '+' across blanks.
    void ReadString() {
        FToken.Kind = tkString;
        std::string& out = FToken.Text;
        for (;;) {
            char c = FPos < FText.size() ? FText[FPos] : '\0';
            if (c == '\'') {
                ++FPos;
                for (;;) {
                    if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r')
                        ErrorHere("Unterminated string");
                    if (FText[FPos] == '\'') {
                        if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') {
                            out += '\'';
                            FPos += 2;
                            continue;
                        }
                        ++FPos;
                        break;
                    }
                    out += FText[FPos++];
                }
            } else if (c == '#') {
                ++FPos;
                size_t start = FPos;
                while (FPos < FText.size() && IsDigit(FText[FPos]))
                    ++FPos;
                unsigned code = 0;
                auto res = std::from_chars(FText.data() + start, FText.data() + FPos, code);
                if (FPos == start || res.ec != std::errc() || code > 255)
                    ErrorHere("Invalid character code in string");
                out += static_cast<char>(code);
            } else if (!Continuation()) {
                return;
            }
        }
    }

    // After a quoted run: a '+' followed by another run continues the string.
    bool Continuation() {
        size_t pos = FPos;
        int line = FLine;
        SkipBlanks();
        if (FPos < FText.size() && FText[FPos] == '+') {
            ++FPos;
            SkipBlanks();
            if (FPos < FText.size() && (FText[FPos] == '\'' || FText[FPos] == '#')) return true;
            ErrorHere("String expected after '+'");
        }
        FPos = pos;
        FLine = line;
        return false;
    }

    void ReadNumber() {
        size_t start = FPos;
        bool isFloat = false;
        if (FText[FPos] == '-' || FText[FPos] == '+') ++FPos;
        auto digits = [&] {
            size_t from = FPos;
            while (FPos < FText.size() && IsDigit(FText[FPos]))
                ++FPos;
            return FPos > from;
        };
        digits();
        if (FPos < FText.size() && FText[FPos] == '.') {
            ++FPos;
            isFloat = true;
            if (!digits()) ErrorHere("Invalid number");
        }
        if (FPos < FText.size() && (FText[FPos] == 'e' || FText[FPos] == 'E')) {
            ++FPos;
            isFloat = true;
            if (FPos < FText.size() && (FText[FPos] == '-' || FText[FPos] == '+')) ++FPos;
            if (!digits()) ErrorHere("Invalid number");
        }
        if (FPos < FText.size() && (IsIdentStart(FText[FPos]) || FText[FPos] == '.'))
            ErrorHere("Invalid number");
        FToken.Kind = isFloat ? tkFloat : tkInteger;
        FToken.Text = std::string(FText.substr(start, FPos - start));
    }

    std::string_view FText;
    size_t FPos = 0;
    int FLine = 1;
    TToken FToken;
};

class TTextReader {
public:
    explicit TTextReader(std::string_view text) : FParser(text) {}

    // Reads the root object into root (when given) or into a component created by class name.
    // Answers the created root, if any.
    std::unique_ptr<TComponent> Read(TComponent* root) {
        std::unique_ptr<TComponent> created;
        try {
            ReadObject(nullptr, root, created, 0);
            if (FParser.Token().Kind != tkEnd) FParser.Expected("End of text");
        } catch (...) {
            Abandon();
            throw;
        }
        Finish();
        return created;
    }

private:
    // object [Name ':'] Class <properties and child objects> end
    TComponent* ReadObject(TComponent* parent, TComponent* root,
                           std::unique_ptr<TComponent>& createdRoot, int depth) {
        if (depth >= MaxNesting) FParser.Error("Objects nested too deeply");
        FParser.SkipSymbol("object");
        int line = FParser.Token().Line;
        std::string name;
        std::string className = FParser.TakeIdent("Class name");
        if (FParser.IsChar(':')) {
            FParser.Next();
            name = className;
            className = FParser.TakeIdent("Class name");
        }

        TComponent* component = nullptr;
        if (!parent && root) {
            component = root;
            CheckClass(*component, className, line);
        } else if (TComponent* existing = parent ? parent->FindComponent(name) : nullptr) {
            component = existing;
            CheckClass(*component, className, line);
        } else {
            auto it = Factories().find(LowerKey(className));
            if (it == Factories().end())
                throw EParserError(Format("Class %s not found on line %d", className, line));
            component = it->second(parent);
            if (!component)
                throw EParserError(Format("Class %s not created on line %d", className, line));
            if (!parent)
                createdRoot.reset(component);
            else
                FCreated.push_back(component);
            if (!TableOf(*component))
                throw EParserError(
                    Format("Class %s has no published properties on line %d", className, line));
        }
        component->SetLoading(true);
        component->SetReading(true);
        FLoaded.push_back(component);
        if (!name.empty()) {
            Guarded(line, [&] { return Format("Error reading component %s", name); },
                    [&] { component->SetName(name); });
        }

        const TPropertyTable& table = *TableOf(*component);
        while (!FParser.IsSymbol("end")) {
            if (FParser.Token().Kind == tkEnd) FParser.Expected("'end'");
            if (FParser.IsSymbol("object"))
                ReadObject(component, nullptr, createdRoot, depth + 1);
            else
                ReadProperty(*component, table, depth);
        }
        FParser.Next();
        return component;
    }

    void CheckClass(const TComponent& component, const std::string& className, int line) {
        if (SameIdent(component.ClassName(), className)) return;
        for (const TPropertyTable* t = TableOf(component); t; t = t->Parent())
            if (SameIdent(t->ClassName(), className)) return;
        throw EParserError(Format("Class %s does not match the component's class %s on line %d",
                                  className, component.ClassName(), line));
    }

    // The context text is built only when the action fails (reading stays cheap).
    template <class C, class F>
    void Guarded(int line, C&& context, F&& action) {
        try {
            action();
        } catch (const EParserError&) {
            throw;
        } catch (const Exception& e) {
            throw EParserError(Format("%s: %s on line %d", context(), e.Message(), line));
        }
    }

    // Name '=' value
    void ReadProperty(TObject& object, const TPropertyTable& table, int depth) {
        if (FParser.Token().Kind != tkSymbol) FParser.Expected("Property name");
        int line = FParser.Token().Line;
        std::string name = FParser.Token().Text;
        const TPropertyInfo* prop = table.Find(name);
        if (!prop) FParser.Error(Format("Property %s.%s does not exist", object.ClassName(), name));
        FParser.Next();
        FParser.SkipChar('=');
        auto context = [&] { return Format("Error reading %s.%s", object.ClassName(), prop->Name); };
        switch (prop->Kind) {
        case pkInteger: {
            int64_t v = ReadInteger(*prop);
            Guarded(line, context, [&] { prop->SetOrd(object, v); });
            break;
        }
        case pkBoolean: {
            int64_t v = 0;
            if (FParser.IsSymbol("True"))
                v = 1;
            else if (FParser.IsSymbol("False"))
                v = 0;
            else
                FParser.Expected("True or False");
            FParser.Next();
            Guarded(line, context, [&] { prop->SetOrd(object, v); });
            break;
        }
        case pkEnumeration: {
            int64_t v = IdentifierOrdinal(*prop, "Enumeration value");
            FParser.Next();
            Guarded(line, context, [&] { prop->SetOrd(object, v); });
            break;
        }
        case pkSet: {
            int64_t v = ReadSet(*prop);
            Guarded(line, context, [&] { prop->SetOrd(object, v); });
            break;
        }
        case pkFloat: {
            double v = ReadFloat();
            Guarded(line, context, [&] { prop->SetFloat(object, v); });
            break;
        }
        case pkString: {
            if (FParser.Token().Kind != tkString) FParser.Expected("String");
            std::string v = FParser.Token().Text;
            FParser.Next();
            Guarded(line, context, [&] { prop->SetString(object, v); });
            break;
        }
        case pkCollection:
            ReadCollection(object, *prop, line, depth);
            break;
        case pkVariant: {
            Variant v = ReadVariant();
            Guarded(line, context, [&] { prop->SetVariant(object, v); });
            break;
        }
        }
    }

    // Null, True, False, a number (integers within 32 bits as Integer, wider as Int64, others
    // as Double) or a string.
    Variant ReadVariant() {
        const TToken& t = FParser.Token();
        Variant v;
        if (FParser.IsSymbol("Null")) {
            v = Null();
        } else if (FParser.IsSymbol("True") || FParser.IsSymbol("False")) {
            v = Variant(FParser.IsSymbol("True"));
        } else if (t.Kind == tkString) {
            v = Variant(t.Text);
        } else if (t.Kind == tkInteger) {
            int64_t i = 0;
            const char* first = t.Text.data() + (t.Text[0] == '+' ? 1 : 0);
            auto res = std::from_chars(first, t.Text.data() + t.Text.size(), i);
            if (res.ec != std::errc()) FParser.Error(Format("Number %s out of range", t.Text));
            if (i >= INT32_MIN && i <= INT32_MAX)
                v = Variant(static_cast<int32_t>(i));
            else
                v = Variant(i);
        } else if (t.Kind == tkFloat) {
            return Variant(ReadFloat());
        } else {
            FParser.Expected("Value");
        }
        FParser.Next();
        return v;
    }

    int64_t ReadInteger(const TPropertyInfo& prop) {
        const TToken& t = FParser.Token();
        if (t.Kind != tkInteger) FParser.Expected("Integer");
        int64_t v = 0;
        const char* first = t.Text.data() + (t.Text[0] == '+' ? 1 : 0);
        auto res = std::from_chars(first, t.Text.data() + t.Text.size(), v);
        if (res.ec != std::errc() || v < prop.MinValue || v > prop.MaxValue)
            FParser.Error(Format("Integer %s out of range for %s (%d to %d)", t.Text, prop.Name,
                                 prop.MinValue, prop.MaxValue));
        FParser.Next();
        return v;
    }

    double ReadFloat() {
        const TToken& t = FParser.Token();
        if (t.Kind != tkFloat && t.Kind != tkInteger) FParser.Expected("Number");
        double v = 0;
        const char* first = t.Text.data() + (t.Text[0] == '+' ? 1 : 0);
        auto res = std::from_chars(first, t.Text.data() + t.Text.size(), v);
        if (res.ec != std::errc() || !std::isfinite(v))
            FParser.Error(Format("Number %s out of range", t.Text));
        FParser.Next();
        return v;
    }

    int64_t IdentifierOrdinal(const TPropertyInfo& prop, const char* what) {
        if (FParser.Token().Kind != tkSymbol) FParser.Expected(what);
        const std::string& ident = FParser.Token().Text;
        for (size_t i = 0; i < prop.Identifiers.size(); ++i)
            if (!prop.Identifiers[i].empty() && SameIdent(prop.Identifiers[i], ident))
                return static_cast<int64_t>(i);
        FParser.Error(Format("Invalid value %s for %s", ident, prop.Name));
    }

    // '[' [ident {',' ident}] ']'
    int64_t ReadSet(const TPropertyInfo& prop) {
        FParser.SkipChar('[');
        uint64_t bits = 0;
        if (!FParser.IsChar(']')) {
            for (;;) {
                bits |= uint64_t{1} << IdentifierOrdinal(prop, "Set element");
                FParser.Next();
                if (!FParser.IsChar(',')) break;
                FParser.Next();
            }
        }
        FParser.SkipChar(']');
        return static_cast<int64_t>(bits);
    }

    // '<' {item <properties> end} '>'
    void ReadCollection(TObject& object, const TPropertyInfo& prop, int line, int depth) {
        TCollection* collection = prop.GetCollection(object);
        if (!collection)
            FParser.Error(
                Format("Property %s.%s has no collection", object.ClassName(), prop.Name));
        FParser.SkipChar('<');
        auto update = UpdateScope(*collection);
        collection->Clear();
        while (!FParser.IsChar('>')) {
            if (depth + 1 >= MaxNesting) FParser.Error("Objects nested too deeply");
            FParser.SkipSymbol("item");
            TCollectionItem* item = nullptr;
            Guarded(line,
                    [&] { return Format("Error reading %s.%s", object.ClassName(), prop.Name); },
                    [&] { item = collection->Add(); });
            const TPropertyTable* table = TableOf(*item);
            if (!table)
                FParser.Error(Format("Class %s has no published properties", item->ClassName()));
            while (!FParser.IsSymbol("end")) {
                if (FParser.Token().Kind == tkEnd) FParser.Expected("'end'");
                ReadProperty(*item, *table, depth + 1);
            }
            FParser.Next();
        }
        FParser.Next();
    }

    // Leaves every component read out of the loading state and frees the ones created here,
    // newest first (a created component's own created children come after it).
    void Abandon() {
        for (TComponent* c : FLoaded) {
            c->SetReading(false);
            c->SetLoading(false);
        }
        FLoaded.clear();
        while (!FCreated.empty()) {
            delete FCreated.back();
            FCreated.pop_back();
        }
    }

    void Finish() {
        for (TComponent* c : FLoaded)
            c->SetReading(false);
        size_t i = 0;
        try {
            for (; i < FLoaded.size(); ++i)
                FLoaded[i]->Loaded();
        } catch (...) {
            for (; i < FLoaded.size(); ++i)
                FLoaded[i]->SetLoading(false);
            throw;
        }
    }

    TTextParser FParser;
    std::vector<TComponent*> FLoaded;
    std::vector<TComponent*> FCreated;
};

std::string StreamText(TStream& stream) {
    std::string text;
    char buf[4096];
    for (;;) {
        int32_t n = stream.Read(buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

const TPropertyInfo* TPropertyTable::Find(std::string_view name) const {
    for (const TPropertyTable* t = this; t; t = t->FParent)
        for (const TPropertyInfo& p : t->FProperties)
            if (SameIdent(p.Name, name)) return &p;
    return nullptr;
}

bool TPropertyTable::InheritsFrom(const TPropertyTable* table) const {
    for (const TPropertyTable* t = this; t; t = t->FParent)
        if (t == table) return true;
    return false;
}

void TPropertyTable::Add(TPropertyInfo info) {
    Assert(IsValidIdent(info.Name), "Property name is not an identifier");
    Assert(Find(info.Name) == nullptr, "Property declared twice");
    FProperties.push_back(std::move(info));
}

TPropertyInfo& TPropertyTable::Last() {
    Assert(!FProperties.empty(), "No property declared");
    return FProperties.back();
}

void RegisterComponentClass(const std::string& className, TComponentFactory factory) {
    Factories()[LowerKey(className)] = std::move(factory);
}

void UnregisterComponentClass(const std::string& className) {
    Factories().erase(LowerKey(className));
}

std::string ComponentToText(const TComponent& component) {
    TTextWriter writer;
    writer.WriteObject(component, 0);
    return std::move(writer.Text);
}

void WriteComponentText(TStream& stream, const TComponent& component) {
    std::string text = ComponentToText(component);
    if (text.size() > static_cast<size_t>(INT32_MAX)) throw EWriteError("Stream write error");
    stream.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
}

void ReadComponentFromText(const std::string& text, TComponent& component) {
    TTextReader(text).Read(&component);
}

void ReadComponentText(TStream& stream, TComponent& component) {
    ReadComponentFromText(StreamText(stream), component);
}

std::unique_ptr<TComponent> CreateComponentFromText(const std::string& text) {
    return TTextReader(text).Read(nullptr);
}

} // namespace zan
