#include "host/db/DB.h"
#include "host/rtl/OwnedList.h"
#include "host/rtl/SysUtils.h"

#include "host/db/DataSet.h"

namespace zan {

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

std::vector<std::string> FieldTypeIdentifiers() {
    std::vector<std::string> names;
    for (int i = 0; i < FieldTypeCount; ++i)
        names.emplace_back(FieldTypeName(static_cast<TFieldType>(i)));
    return names;
}

namespace {} // namespace

// --- Field definitions ---------------------------------------------------------------------------

int TFieldDef::GetIndex() const {
    return FOwner ? OwnedPositionOf(FOwner->FItems, this) : -1;
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
    return OwnedItemAt(FItems, index);
}
const TFieldDef& TFieldDefs::Items(int index) const {
    return OwnedItemAt(FItems, index);
}

int TFieldDefs::IndexOf(const std::string& name) const {
    return OwnedIndexOfName(FItems, name);
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
    OwnedItemAt(FItems, index);
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
    return FOwner ? OwnedPositionOf(FOwner->FItems, this) : -1;
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
    return OwnedItemAt(FItems, index);
}
const TIndexDef& TIndexDefs::Items(int index) const {
    return OwnedItemAt(FItems, index);
}

int TIndexDefs::IndexOf(const std::string& name) const {
    return OwnedIndexOfName(FItems, name);
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
    OwnedItemAt(FItems, index);
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
    const auto wanted = SplitFieldNames(fields);
    if (wanted.empty()) return nullptr;
    // Exact key first, then a key that begins with the wanted fields.
    for (bool exact : {true, false}) {
        for (const auto& item : FItems) {
            TIndexOptions options = item->GetOptions();
            if (options.contains(ixDescending) || options.contains(ixExpression)) continue;
            if (caseInsensitive && !options.contains(ixCaseInsensitive)) continue;
            const auto keys = SplitFieldNames(item->GetFields());
            if (exact ? keys.size() != wanted.size() : keys.size() < wanted.size()) continue;
            bool match = true;
            for (size_t i = 0; i < wanted.size() && match; ++i)
                match = SameText(keys[i], wanted[i]);
            if (match) return item.get();
        }
    }
    return nullptr;
}

std::vector<std::string> SplitFieldNames(std::string_view names) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start <= names.size()) {
        size_t sep = names.find(';', start);
        if (sep == std::string_view::npos) sep = names.size();
        std::string name = Trim(names.substr(start, sep - start));
        if (!name.empty()) result.push_back(std::move(name));
        start = sep + 1;
    }
    return result;
}

} // namespace zan
