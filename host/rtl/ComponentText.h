// Component streaming in the framework's object text form, driven by per-class property tables.
//
// A class that streams its published properties declares a table of them (name, kind, default,
// getter, setter) with ZAN_PROPERTIES and builds it with TPropertyTableOf<T>; a derived class's
// table chains to its base class's, and the base class's properties come first. The text form:
//
//     object Name: TClass
//       Count = 12
//       Ratio = 0.25
//       Caption = 'It''s'#13#10'done'
//       Enabled = False
//       Kind = skSecond
//       Options = [opOne, opThree]
//       Items = <
//         item
//           Size = 4
//         end>
//       object Child: TChildClass
//         ...
//       end
//     end
//
// Each nesting level indents by two blanks. Values equal to the declared default are not
// written, nor properties whose stored test (StoredIf) answers false; other collections are
// always written (an empty one as "<>"). Variant values are written by their kind: Null, True or
// False, an integer, a float (currency exactly, dates as days), a string; an Empty one is not
// written. Strings are single-quoted with
// doubled quotes; control characters, DEL and bytes that are not part of a well-formed UTF-8
// sequence are written as #n (n the byte value, decimal). Floats are written in the shortest text
// that reads back to the same double, independent of the process locale. Owned components that
// have a name and a property table are written as nested objects after the properties.
//
// Reading fills properties that appear in the text and keeps the others; it accepts LF or CR LF
// line ends and string segments joined by "+" across lines. Every component read is in the loading
// state (csLoading, csReading) until the whole text has been read; then Loaded is called on each,
// in the order they were read. Malformed text raises EParserError "<what> on line <n>"; a
// setter's own failure is reported the same way, naming the class and the property.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/Collections.h"
#include "host/rtl/Streams.h"
#include "host/rtl/Variants.h"

namespace zan {

// Malformed object text. The message ends with " on line <n>".
ZAN_EXCEPTION_CLASS(EParserError, Exception);

enum TPropertyKind : uint8_t {
    pkInteger,
    pkFloat,
    pkString,
    pkBoolean,
    pkEnumeration,
    pkSet,
    pkCollection,
    pkVariant
};

// One published property. Ordinal kinds (integer, Boolean, enumeration, set as a bit mask) go
// through GetOrd/SetOrd.
struct TPropertyInfo {
    std::string Name;
    TPropertyKind Kind = pkInteger;
    // Integers: the range of the declared type. Enumerations: 0 .. identifier count - 1.
    int64_t MinValue = 0;
    int64_t MaxValue = 0;
    // Enumeration identifiers and set element names, indexed by ordinal (empty for a gap).
    std::vector<std::string> Identifiers;
    // Without a default the value is always written.
    bool HasDefault = false;
    int64_t OrdDefault = 0;
    double FloatDefault = 0;
    std::string StringDefault;

    std::function<int64_t(const TObject&)> GetOrd;
    std::function<void(TObject&, int64_t)> SetOrd;
    std::function<double(const TObject&)> GetFloat;
    std::function<void(TObject&, double)> SetFloat;
    std::function<std::string(const TObject&)> GetString;
    std::function<void(TObject&, const std::string&)> SetString;
    std::function<TCollection*(const TObject&)> GetCollection;
    std::function<Variant(const TObject&)> GetVariant;
    std::function<void(TObject&, const Variant&)> SetVariant;
    // The stored test: when set and false for an object, the property is not written.
    std::function<bool(const TObject&)> IsStored;
};

// The published properties of one class, in stored order, chained to the base class's table.
class TPropertyTable {
public:
    explicit TPropertyTable(std::string className, const TPropertyTable* parent = nullptr)
        : FClassName(std::move(className)), FParent(parent) {}

    const std::string& ClassName() const { return FClassName; }
    const TPropertyTable* Parent() const { return FParent; }
    // This class's own properties (the base class's are in Parent()).
    const std::vector<TPropertyInfo>& Properties() const { return FProperties; }
    // The property of that name (ASCII case ignored) here or in a base class's table, or nullptr.
    const TPropertyInfo* Find(std::string_view name) const;
    // True when table is this one or one of its bases.
    bool InheritsFrom(const TPropertyTable* table) const;
    // Appends a property; a name already used in the chain is an assertion failure.
    void Add(TPropertyInfo info);

protected:
    // The property added last to this table; an assertion failure when there is none.
    TPropertyInfo& Last();

private:
    std::string FClassName;
    const TPropertyTable* FParent;
    std::vector<TPropertyInfo> FProperties;
};

// Builds the table of class T from its getters and setters: member functions or callables
// taking T& (getters) and (T&, value) (setters).
template <class T>
class TPropertyTableOf : public TPropertyTable {
    // The value type a getter answers.
    template <class G>
    using Value = std::remove_cvref_t<std::invoke_result_t<G, T&>>;

public:
    using TPropertyTable::TPropertyTable;

    // Any integer type up to 64 bits (unsigned 64-bit excluded).
    template <class G, class S>
    TPropertyTableOf& Integer(std::string name, G get, S set,
                              std::optional<int64_t> defaultValue = std::nullopt) {
        using V = Value<G>;
        static_assert(std::is_integral_v<V> && !std::is_same_v<V, bool>);
        static_assert(std::is_signed_v<V> || sizeof(V) < 8, "unsigned 64-bit is not streamable");
        TPropertyInfo info = Ordinal<G, S>(std::move(name), pkInteger, get, set, defaultValue);
        info.MinValue = std::numeric_limits<V>::min();
        info.MaxValue = static_cast<int64_t>(std::numeric_limits<V>::max());
        Add(std::move(info));
        return *this;
    }

    template <class G, class S>
    TPropertyTableOf& Boolean(std::string name, G get, S set,
                              std::optional<bool> defaultValue = std::nullopt) {
        static_assert(std::is_same_v<Value<G>, bool>);
        std::optional<int64_t> def;
        if (defaultValue) def = *defaultValue ? 1 : 0;
        TPropertyInfo info = Ordinal<G, S>(std::move(name), pkBoolean, get, set, def);
        info.MaxValue = 1;
        Add(std::move(info));
        return *this;
    }

    // identifiers[i] is the name of ordinal i.
    template <class G, class S>
    TPropertyTableOf& Enumeration(std::string name, G get, S set,
                                  std::vector<std::string> identifiers,
                                  std::optional<Value<G>> defaultValue = std::nullopt) {
        static_assert(std::is_enum_v<Value<G>> || std::is_integral_v<Value<G>>);
        std::optional<int64_t> def;
        if (defaultValue) def = static_cast<int64_t>(*defaultValue);
        TPropertyInfo info = Ordinal<G, S>(std::move(name), pkEnumeration, get, set, def);
        info.MaxValue = static_cast<int64_t>(identifiers.size()) - 1;
        info.Identifiers = std::move(identifiers);
        Add(std::move(info));
        return *this;
    }

    // A set held as a bit mask of an unsigned integer type: bit i is element i.
    template <class G, class S>
    TPropertyTableOf& Set(std::string name, G get, S set, std::vector<std::string> elements,
                          std::optional<Value<G>> defaultValue = Value<G>{}) {
        static_assert(std::is_integral_v<Value<G>> && std::is_unsigned_v<Value<G>>);
        Assert(elements.size() <= sizeof(Value<G>) * 8, "Too many set elements");
        std::optional<int64_t> def;
        if (defaultValue) def = static_cast<int64_t>(*defaultValue);
        TPropertyInfo info = Ordinal<G, S>(std::move(name), pkSet, get, set, def);
        info.Identifiers = std::move(elements);
        Add(std::move(info));
        return *this;
    }

    // Floats are written unless equal (bit for bit) to the default, 0 unless told otherwise.
    template <class G, class S>
    TPropertyTableOf& Float(std::string name, G get, S set,
                            std::optional<double> defaultValue = 0.0) {
        TPropertyInfo info;
        info.Name = std::move(name);
        info.Kind = pkFloat;
        SetDefault(info, defaultValue);
        info.GetFloat = [get](const TObject& o) {
            return static_cast<double>(std::invoke(get, Self(o)));
        };
        info.SetFloat = [set](TObject& o, double v) {
            std::invoke(set, Self(o), static_cast<Value<G>>(v));
        };
        Add(std::move(info));
        return *this;
    }

    // Strings are written unless equal to the default, empty unless told otherwise.
    template <class G, class S>
    TPropertyTableOf& String(std::string name, G get, S set,
                             std::optional<std::string> defaultValue = std::string()) {
        TPropertyInfo info;
        info.Name = std::move(name);
        info.Kind = pkString;
        if (defaultValue) {
            info.HasDefault = true;
            info.StringDefault = *defaultValue;
        }
        info.GetString = [get](const TObject& o) { return std::string(std::invoke(get, Self(o))); };
        info.SetString = [set](TObject& o, const std::string& v) { std::invoke(set, Self(o), v); };
        Add(std::move(info));
        return *this;
    }

    // A collection owned by the object; get answers a pointer to it. Reading replaces its items.
    template <class G>
    TPropertyTableOf& Collection(std::string name, G get) {
        TPropertyInfo info;
        info.Name = std::move(name);
        info.Kind = pkCollection;
        info.GetCollection = [get](const TObject& o) -> TCollection* {
            return std::invoke(get, Self(o));
        };
        Add(std::move(info));
        return *this;
    }

    // A value of any Variant kind; reading replaces it with the value as read (the setter
    // converts when the property needs a particular kind).
    template <class G, class S>
    TPropertyTableOf& VariantValue(std::string name, G get, S set) {
        TPropertyInfo info;
        info.Name = std::move(name);
        info.Kind = pkVariant;
        info.GetVariant = [get](const TObject& o) { return Variant(std::invoke(get, Self(o))); };
        info.SetVariant = [set](TObject& o, const Variant& v) { std::invoke(set, Self(o), v); };
        Add(std::move(info));
        return *this;
    }

    // The stored test of the property declared last: it is written only while stored(object)
    // answers true.
    template <class P>
    TPropertyTableOf& StoredIf(P stored) {
        Last().IsStored = [stored](const TObject& o) {
            return static_cast<bool>(std::invoke(stored, Self(o)));
        };
        return *this;
    }

private:
    // Property tables are only ever used on objects of their class; a mismatch is a fault.
    static T& Self(const TObject& o) {
        auto* self = dynamic_cast<const T*>(&o);
        Assert(self != nullptr, "Property table used on an object of another class");
        return const_cast<T&>(*self);
    }

    static void SetDefault(TPropertyInfo& info, std::optional<double> value) {
        if (!value) return;
        info.HasDefault = true;
        info.FloatDefault = *value;
    }

    template <class G, class S>
    static TPropertyInfo Ordinal(std::string name, TPropertyKind kind, G get, S set,
                                 std::optional<int64_t> defaultValue) {
        TPropertyInfo info;
        info.Name = std::move(name);
        info.Kind = kind;
        if (defaultValue) {
            info.HasDefault = true;
            info.OrdDefault = *defaultValue;
        }
        info.GetOrd = [get](const TObject& o) {
            return static_cast<int64_t>(std::invoke(get, Self(o)));
        };
        info.SetOrd = [set](TObject& o, int64_t v) {
            std::invoke(set, Self(o), static_cast<Value<G>>(v));
        };
        return info;
    }
};

// Declares the property table of a class, inside its body:
//     ZAN_PROPERTIES(TMyClass)
// and defines TMyClass::Properties() in the class's .cpp, returning a function-local static
// table built with TPropertyTableOf<TMyClass>.
#define ZAN_PROPERTIES(Name)                                                                       \
    static const TPropertyTable& Properties();                                                     \
    const TPropertyTable* GetPropertyTable() const override {                                      \
        return &Name::Properties();                                                                \
    }

// Makes components of a class creatable by name when a text names a component that does not
// exist yet. Registering a name again replaces its factory.
using TComponentFactory = std::function<TComponent*(TComponent* owner)>;
void RegisterComponentClass(const std::string& className, TComponentFactory factory);
template <class T>
void RegisterComponentClass(const std::string& className) {
    RegisterComponentClass(className, [](TComponent* owner) { return new T(owner); });
}
void UnregisterComponentClass(const std::string& className);

// The object text of component, its properties and its streamable owned components. Raises
// EWriteError for a component or collection item without a property table, a value that has no
// text (an enumeration value without identifier, a float that is not finite), or objects and
// collection items nested deeper than the reader accepts ("Objects nested too deeply").
std::string ComponentToText(const TComponent& component);
void WriteComponentText(TStream& stream, const TComponent& component);

// Reads object text into component; the text's class must be the component's class or one of
// its bases. The root's name is taken from the text when the text gives one. On failure the
// properties read so far stay set and the components the reader created are freed.
void ReadComponentFromText(const std::string& text, TComponent& component);
void ReadComponentText(TStream& stream, TComponent& component);
// Creates the component the text describes (its class must be registered) and reads it.
std::unique_ptr<TComponent> CreateComponentFromText(const std::string& text);

} // namespace zan
