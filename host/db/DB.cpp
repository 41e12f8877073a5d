#include "host/db/DB.h"

#include "host/db/DataSet.h"

void DatabaseError(const std::string& message, const TComponent* component) {
    if (component && !component->GetName().empty())
        throw EDatabaseError(component->GetName() + ": " + message);
    throw EDatabaseError(message);
}

void DatabaseErrorFmt(std::string_view format, std::initializer_list<TVarRec> args,
                      const TComponent* component) {
    DatabaseError(FormatV(format, std::span<const TVarRec>(args.begin(), args.size())), component);
}

bool IsWriteMode(TDataSetState state) {
    switch (state) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
        return true;
    default:
        return false;
    }
}

std::string_view FieldTypeName(TFieldType type) {
    static constexpr std::string_view names[FieldTypeCount] = {
        "ftUnknown",    "ftString",     "ftSmallint", "ftInteger",     "ftWord",      "ftBoolean",
        "ftFloat",      "ftCurrency",   "ftBCD",      "ftDate",        "ftTime",      "ftDateTime",
        "ftBytes",      "ftVarBytes",   "ftAutoInc",  "ftBlob",        "ftMemo",      "ftGraphic",
        "ftFmtMemo",    "ftParadoxOle", "ftDBaseOle", "ftTypedBinary", "ftCursor",    "ftFixedChar",
        "ftWideString", "ftLargeint",   "ftADT",      "ftArray",       "ftReference", "ftDataSet",
        "ftOraBlob",    "ftOraClob",    "ftVariant",  "ftInterface",   "ftIDispatch", "ftGuid",
        "ftTimeStamp",  "ftFMTBcd"};
    return static_cast<int>(type) < FieldTypeCount ? names[type] : names[0];
}

namespace {

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

// The names of a ";"-separated field list; empty text holds no names.
std::vector<std::string_view> SplitFieldList(std::string_view list) {
    std::vector<std::string_view> names;
    if (TrimBlanks(list).empty()) return names;
    size_t start = 0;
    for (;;) {
        size_t sep = list.find(';', start);
        names.push_back(TrimBlanks(list.substr(
            start, sep == std::string_view::npos ? std::string_view::npos : sep - start)));
        if (sep == std::string_view::npos) break;
        start = sep + 1;
    }
    return names;
}

[[noreturn]] void ListIndexError(int index) {
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

template <typename Item>
int IndexOfName(const std::vector<std::unique_ptr<Item>>& items, const std::string& name) {
    for (size_t i = 0; i < items.size(); ++i)
        if (SameTextAscii(items[i]->GetName(), name)) return static_cast<int>(i);
    return -1;
}

template <typename Item>
Item& ItemAt(const std::vector<std::unique_ptr<Item>>& items, int index) {
    if (index < 0 || static_cast<size_t>(index) >= items.size()) ListIndexError(index);
    return *items[static_cast<size_t>(index)];
}

template <typename Item>
int PositionOf(const std::vector<std::unique_ptr<Item>>& items, const Item* item) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].get() == item) return static_cast<int>(i);
    return -1;
}

} // namespace

// --- Field definitions ---------------------------------------------------------------------------

int TFieldDef::GetIndex() const {
    return FOwner ? PositionOf(FOwner->FItems, this) : -1;
}

void TFieldDef::Assign(const TFieldDef& source) {
    if (&source == this) return;
    FName = source.FName;
    FDataType = source.FDataType;
    FSize = source.FSize;
    FPrecision = source.FPrecision;
    FRequired = source.FRequired;
    FFieldNo = source.FFieldNo;
    Changed();
}

void TFieldDef::Changed() {
    if (FOwner) FOwner->Changed();
}

void TFieldDefs::Changed() {
    if (FUpdateCount != 0) return;
    FUpdated = false;
    if (FDataSet) FDataSet->DefChanged(this);
}

void TFieldDefs::Clear() {
    FItems.clear();
    Changed();
}

void TFieldDefs::Update() {
    if (!FUpdated && FDataSet) FDataSet->InitFieldDefs();
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType dataType, int32_t size,
                           bool required) {
    // One change reported for the whole definition.
    BeginUpdate();
    TFieldDef& def = AddFieldDef();
    def.SetName(name);
    def.SetDataType(dataType);
    def.SetSize(size);
    def.SetRequired(required);
    EndUpdate();
    Changed();
    return def;
}

TFieldDef& TFieldDefs::AddFieldDef() {
    auto def = std::make_unique<TFieldDef>(this);
    BeginUpdate();
    def->SetFieldNo(Count() + 1);
    EndUpdate();
    FItems.push_back(std::move(def));
    Changed();
    return *FItems.back();
}

TFieldDef& TFieldDefs::Items(int index) {
    return ItemAt(FItems, index);
}
const TFieldDef& TFieldDefs::Items(int index) const {
    return ItemAt(FItems, index);
}

int TFieldDefs::IndexOf(const std::string& name) const {
    return IndexOfName(FItems, name);
}

TFieldDef& TFieldDefs::Find(const std::string& name) {
    int i = IndexOf(name);
    if (i < 0) DatabaseError("Field '" + name + "' not found");
    return *FItems[static_cast<size_t>(i)];
}

const TFieldDef& TFieldDefs::Find(const std::string& name) const {
    return const_cast<TFieldDefs*>(this)->Find(name);
}

void TFieldDefs::Delete(int index) {
    ItemAt(FItems, index);
    FItems.erase(FItems.begin() + index);
    Changed();
}

void TFieldDefs::Assign(const TFieldDefs& source) {
    if (&source == this) return;
    BeginUpdate();
    try {
        Clear();
        for (const auto& item : source.FItems)
            AddFieldDef().Assign(*item);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    Changed();
}

// --- Index definitions ---------------------------------------------------------------------------

int TIndexDef::GetIndex() const {
    return FOwner ? PositionOf(FOwner->FItems, this) : -1;
}

void TIndexDef::Assign(const TIndexDef& source) {
    if (&source == this) return;
    FName = source.FName;
    FFields = source.FFields;
    FDescFields = source.FDescFields;
    FCaseInsFields = source.FCaseInsFields;
    FOptions = source.FOptions;
    FSource = source.FSource;
    FExpression = source.FExpression;
    Changed();
}

void TIndexDef::Changed() {
    if (FOwner) FOwner->Changed();
}

void TIndexDefs::Changed() {
    if (FUpdateCount != 0) return;
    FUpdated = false;
    if (FDataSet) FDataSet->DefChanged(this);
}

void TIndexDefs::Clear() {
    FItems.clear();
    Changed();
}

void TIndexDefs::Update() {
    if (!FUpdated && FDataSet) {
        BeginUpdate();
        try {
            FDataSet->UpdateIndexDefs();
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
        FUpdated = true;
    }
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields,
                           TIndexOptions options) {
    BeginUpdate();
    TIndexDef& def = AddIndexDef();
    def.SetName(name);
    def.SetFields(fields);
    def.SetOptions(options);
    EndUpdate();
    Changed();
    return def;
}

TIndexDef& TIndexDefs::AddIndexDef() {
    FItems.push_back(std::make_unique<TIndexDef>(this));
    Changed();
    return *FItems.back();
}

TIndexDef& TIndexDefs::Items(int index) {
    return ItemAt(FItems, index);
}
const TIndexDef& TIndexDefs::Items(int index) const {
    return ItemAt(FItems, index);
}

int TIndexDefs::IndexOf(const std::string& name) const {
    return IndexOfName(FItems, name);
}

TIndexDef& TIndexDefs::Find(const std::string& name) {
    int i = IndexOf(name);
    if (i < 0) DatabaseError("Index '" + name + "' not found");
    return *FItems[static_cast<size_t>(i)];
}

const TIndexDef& TIndexDefs::Find(const std::string& name) const {
    return const_cast<TIndexDefs*>(this)->Find(name);
}

void TIndexDefs::Delete(int index) {
    ItemAt(FItems, index);
    FItems.erase(FItems.begin() + index);
    Changed();
}

void TIndexDefs::Assign(const TIndexDefs& source) {
    if (&source == this) return;
    BeginUpdate();
    try {
        Clear();
        for (const auto& item : source.FItems)
            AddIndexDef().Assign(*item);
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
    Changed();
}

TIndexDef* TIndexDefs::GetIndexForFields(const std::string& fields, bool caseInsensitive) {
    const auto wanted = SplitFieldList(fields);
    if (wanted.empty()) return nullptr;
    // Exact key first, then a key that begins with the wanted fields.
    for (bool exact : {true, false}) {
        for (const auto& item : FItems) {
            TIndexOptions options = item->GetOptions();
            if (options.contains(ixDescending) || options.contains(ixExpression)) continue;
            if (caseInsensitive && !options.contains(ixCaseInsensitive)) continue;
            const auto keys = SplitFieldList(item->GetFields());
            if (exact ? keys.size() != wanted.size() : keys.size() < wanted.size()) continue;
            bool match = true;
            for (size_t i = 0; i < wanted.size() && match; ++i)
                match = SameTextAscii(keys[i], wanted[i]);
            if (match) return item.get();
        }
    }
    return nullptr;
}
