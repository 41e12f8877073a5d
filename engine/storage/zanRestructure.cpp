#include "engine/storage/zanRestructure.h"

#include "host/rtl/OwnedList.h"
#include "host/rtl/SysUtils.h"

#include <algorithm>
#include <utility>

#include "engine/storage/zanCommon.h"
#include "engine/storage/zanConsts.h"
#include "host/rtl/Format.h"

namespace zan {

namespace {

// The names joined into a ";"-separated field list.
std::string JoinFieldList(const std::vector<std::string>& names) {
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) list += ';';
        list += names[i];
    }
    return list;
}

// Two field lists name the same fields in the same order, ASCII case ignored.
bool SameFieldList(std::string_view a, std::string_view b) {
    const auto x = SplitFieldNames(a);
    const auto y = SplitFieldNames(b);
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i)
        if (!SameText(x[i], y[i])) return false;
    return true;
}

std::string WithoutField(const std::string& list, const std::string& name) {
    auto names = SplitFieldNames(list);
    std::erase_if(names, [&](const std::string& n) { return SameText(n, name); });
    return JoinFieldList(names);
}

std::string WithFieldRenamed(const std::string& list, const std::string& oldName,
                             const std::string& newName) {
    auto names = SplitFieldNames(list);
    for (auto& n : names)
        if (SameText(n, oldName)) n = newName;
    return JoinFieldList(names);
}

template <typename Item>
Item* FindByName(const std::vector<std::unique_ptr<Item>>& items, const std::string& name) {
    for (const auto& item : items)
        if (SameText(item->GetName(), name)) return item.get();
    return nullptr;
}

bool IsStringType(TFieldType t) {
    return t == ftString || t == ftWideString;
}

bool IsBlobType(TFieldType t) {
    return t == ftBlob || t == ftMemo || t == ftGraphic || t == ftFmtMemo;
}

bool IsOneOf(TFieldType t, std::initializer_list<TFieldType> types) {
    return std::find(types.begin(), types.end(), t) != types.end();
}

constexpr const char* FieldDefsCaller = "TRestructureFieldDefs";
constexpr const char* IndexDefsCaller = "TRestructureIndexDefs";
constexpr const char* ValidateNewContext = "TRestructureIndexDefs.ValidateNewIndexDefs";

} // namespace

std::string_view DefChangeTypeText(TDefChangeType changeType) {
    switch (changeType) {
    case dcNoChange:
        return "Unchanged Item";
    case dcDefOnlyChange:
        return "Definition Only Changed";
    case dcAdded:
        return "New Item";
    case dcDeleted:
        return "Deleted Item";
    case dcDataChange:
        return "Data Requirements Changed";
    case dcDataLoss:
        return "Data Loss Possible";
    }
    return "";
}

bool FieldTypeChangeLosesData(TFieldType oldType, TFieldType newType) {
    if (IsOneOf(newType, {ftSmallint, ftWord}) &&
        !IsOneOf(oldType, {ftSmallint, ftWord, ftBoolean}))
        return true;
    if (IsOneOf(newType, {ftInteger, ftAutoInc}) &&
        IsOneOf(oldType, {ftFloat, ftCurrency, ftBCD, ftTime, ftDateTime}))
        return true;
    if (IsOneOf(newType, {ftCurrency, ftBCD}) && IsOneOf(oldType, {ftFloat, ftTime, ftDateTime}))
        return true;
    if (newType == ftBoolean && oldType != ftBoolean) return true;
    if (IsBlobType(oldType) != IsBlobType(newType)) return true;
    if (IsStringType(oldType) != IsStringType(newType)) return true;
    return false;
}

// --- Field definitions ---------------------------------------------------------------------------

int TRestructureFieldDef::GetIndex() const {
    return FOwner ? OwnedPositionOf(FOwner->FItems, this) : -1;
}

void TRestructureFieldDef::Assign(const TFieldDef& source) {
    FName = source.GetName();
    FDataType = source.GetDataType();
    FSize = source.GetSize();
    FPrecision = source.GetPrecision();
    FRequired = source.GetRequired();
    FSourceFieldName = source.GetName();
    FChangeStatus = dcNoChange;
}

void TRestructureFieldDef::Assign(const TRestructureFieldDef& source) {
    if (&source == this) return;
    FName = source.FName;
    FDataType = source.FDataType;
    FSize = source.FSize;
    FPrecision = source.FPrecision;
    FRequired = source.FRequired;
    FSourceFieldName = source.FSourceFieldName;
    FChangeStatus = source.FChangeStatus;
}

void TRestructureFieldDef::AssignTo(TFieldDef& dest) const {
    dest.SetName(FName);
    dest.SetDataType(FDataType);
    dest.SetSize(FSize);
    dest.SetPrecision(FPrecision);
    dest.SetRequired(FRequired);
}

TRestructureFieldDefs::TRestructureFieldDefs() : FChangeLog(&GDBLogger()) {}
TRestructureFieldDefs::~TRestructureFieldDefs() = default;

TRestructureFieldDef& TRestructureFieldDefs::Items(int index) {
    return OwnedItemAt(FItems, index);
}
const TRestructureFieldDef& TRestructureFieldDefs::Items(int index) const {
    return OwnedItemAt(FItems, index);
}

TRestructureFieldDef& TRestructureFieldDefs::AddFieldDef() {
    FItems.push_back(std::make_unique<TRestructureFieldDef>(this));
    return *FItems.back();
}

TRestructureFieldDef& TRestructureFieldDefs::AddAndSetFieldDef(const std::string& name,
                                                               TFieldType dataType, int32_t size) {
    TRestructureFieldDef& def = AddFieldDef();
    def.SetName(name);
    def.SetDataType(dataType);
    def.SetSize(size);
    return def;
}

TRestructureFieldDef& TRestructureFieldDefs::Insert(int index) {
    if (index < 0 || index > Count()) ListIndexError(index);
    auto it = FItems.insert(FItems.begin() + index, std::make_unique<TRestructureFieldDef>(this));
    return **it;
}

void TRestructureFieldDefs::DeleteItem(int index) {
    OwnedItemAt(FItems, index);
    FItems.erase(FItems.begin() + index);
}

TRestructureFieldDef* TRestructureFieldDefs::Find(const std::string& name) {
    return FindByName(FItems, name);
}

const TRestructureFieldDef* TRestructureFieldDefs::Find(const std::string& name) const {
    return FindByName(FItems, name);
}

const TFieldDef* TRestructureFieldDefs::FindSourceDef(const std::string& name) const {
    if (!FOriginalFieldDefs) return nullptr;
    int i = FOriginalFieldDefs->IndexOf(name);
    return i < 0 ? nullptr : &FOriginalFieldDefs->Items(i);
}

bool TRestructureFieldDefs::CheckIfFieldsDeleted() const {
    if (!FOriginalFieldDefs) return false;
    for (int i = 0; i < FOriginalFieldDefs->Count(); ++i) {
        const std::string& name = FOriginalFieldDefs->Items(i).GetName();
        bool named = std::any_of(FItems.begin(), FItems.end(), [&](const auto& item) {
            return SameText(item->GetSourceFieldName(), name);
        });
        if (!named) return true;
    }
    return false;
}

void TRestructureFieldDefs::SwapDefs(int i, int j) {
    if (i < 0 || i >= Count() || j < 0 || j >= Count())
        throw Exception("Invalid Field Def Index in SwapDefs");
    std::swap(FItems[static_cast<size_t>(i)], FItems[static_cast<size_t>(j)]);
}

void TRestructureFieldDefs::Log(const std::string& text) const {
    if (FChangeLog) FChangeLog->LogItem(FieldDefsCaller, text);
}

void TRestructureFieldDefs::ValidateAgainstOriginalDefs(const TFieldDefs* originalDefs) {
    if (originalDefs != FOriginalFieldDefs.get()) {
        if (originalDefs) {
            auto copy = std::make_unique<TFieldDefs>();
            copy->Assign(*originalDefs);
            FOriginalFieldDefs = std::move(copy);
        } else {
            FOriginalFieldDefs.reset();
        }
    }
    FChangeStatus = dcNoChange;
    if (!FOriginalFieldDefs) {
        for (auto& item : FItems)
            item->SetChangeStatus(dcAdded);
        FChangeStatus = dcAdded;
    } else {
        const TFieldDefs& originals = *FOriginalFieldDefs;
        if (Count() > originals.Count())
            FChangeStatus = dcAdded;
        else if (Count() < originals.Count())
            FChangeStatus = dcDeleted;

        for (int i = 0; i < Count(); ++i) {
            TRestructureFieldDef& item = *FItems[static_cast<size_t>(i)];
            TDefChangeType status;
            int j = item.GetSourceFieldName().empty()
                        ? -1
                        : originals.IndexOf(item.GetSourceFieldName());
            if (item.GetSourceFieldName().empty()) {
                status = dcAdded;
            } else if (j < 0) {
                // The named source does not exist: nothing can be carried over.
                status = dcAdded;
                Log("Field Def: " + item.GetName() +
                    " - Source field not found: " + item.GetSourceFieldName());
            } else {
                const TFieldDef& original = originals.Items(j);
                bool sameType = original.GetDataType() == item.GetDataType();
                if (FieldTypeChangeLosesData(original.GetDataType(), item.GetDataType()))
                    status = dcDataLoss;
                else if (sameType && item.GetSize() < original.GetSize())
                    status = dcDataLoss;
                else if (sameType && item.GetSize() == original.GetSize())
                    status = item.GetName() == original.GetName() && i == j &&
                                     item.GetRequired() == original.GetRequired()
                                 ? dcNoChange
                                 : dcDefOnlyChange;
                else
                    status = dcDataChange;
            }
            item.SetChangeStatus(status);
            FChangeStatus = std::max(FChangeStatus, status);
            Log("Field Def: " + item.GetName() +
                " status: " + std::string(DefChangeTypeText(status)));
        }

        for (int j = 0; j < originals.Count(); ++j) {
            const std::string& name = originals.Items(j).GetName();
            bool named = std::any_of(FItems.begin(), FItems.end(), [&](const auto& item) {
                return SameText(item->GetSourceFieldName(), name);
            });
            if (named) continue;
            // A deleted field needs the records rewritten; a heavier status found earlier stays.
            FChangeStatus = std::max(FChangeStatus, dcDataChange);
            Log("Prior Field Def: " + name +
                " status: " + std::string(DefChangeTypeText(dcDeleted)));
        }
    }
    Log("FieldDefs: Change status is - " + std::string(DefChangeTypeText(FChangeStatus)));
}

void TRestructureFieldDefs::Assign(const TFieldDefs& source) {
    auto originals = std::make_unique<TFieldDefs>();
    originals->Assign(source);
    Clear();
    for (int i = 0; i < source.Count(); ++i)
        AddFieldDef().Assign(source.Items(i));
    FOriginalFieldDefs = std::move(originals);
    FChangeStatus = dcNoChange;
}

void TRestructureFieldDefs::Assign(const TRestructureFieldDefs& source) {
    if (&source == this) return;
    Clear();
    for (const auto& item : source.FItems)
        AddFieldDef().Assign(*item);
    if (source.FOriginalFieldDefs) {
        auto originals = std::make_unique<TFieldDefs>();
        originals->Assign(*source.FOriginalFieldDefs);
        FOriginalFieldDefs = std::move(originals);
    } else {
        FOriginalFieldDefs.reset();
    }
    FChangeStatus = source.FChangeStatus;
    FChangeLog = source.FChangeLog;
    FAutoIncResetValue = source.FAutoIncResetValue;
    FResetAutoInc = source.FResetAutoInc;
}

void TRestructureFieldDefs::AssignTo(TFieldDefs& dest) const {
    dest.Clear();
    for (const auto& item : FItems)
        item->AssignTo(dest.AddFieldDef());
}

// --- Index definitions ---------------------------------------------------------------------------

TRestructureIndexDef::~TRestructureIndexDef() = default;

int TRestructureIndexDef::GetIndex() const {
    return FOwner ? OwnedPositionOf(FOwner->FItems, this) : -1;
}

void TRestructureIndexDef::SetSource(const TIndexDef* source) {
    if (source == FSource.get()) return;
    if (!source) {
        FSource.reset();
        return;
    }
    auto copy = std::make_unique<TIndexDef>();
    copy->Assign(*source);
    FSource = std::move(copy);
}

void TRestructureIndexDef::DeleteField(const std::string& name) {
    FFields = WithoutField(FFields, name);
    FDescFields = WithoutField(FDescFields, name);
    FCaseInsFields = WithoutField(FCaseInsFields, name);
}

void TRestructureIndexDef::ReplaceFieldName(const std::string& oldName,
                                            const std::string& newName) {
    FFields = WithFieldRenamed(FFields, oldName, newName);
    FDescFields = WithFieldRenamed(FDescFields, oldName, newName);
    FCaseInsFields = WithFieldRenamed(FCaseInsFields, oldName, newName);
}

void TRestructureIndexDef::Assign(const TIndexDef& source) {
    FName = source.GetName();
    FFields = source.GetFields();
    FDescFields = source.GetDescFields();
    FCaseInsFields = source.GetCaseInsFields();
    FOptions = source.GetOptions();
    SetSource(&source);
    FChangeStatus = dcNoChange;
}

void TRestructureIndexDef::Assign(const TRestructureIndexDef& source) {
    if (&source == this) return;
    FName = source.FName;
    FFields = source.FFields;
    FDescFields = source.FDescFields;
    FCaseInsFields = source.FCaseInsFields;
    FOptions = source.FOptions;
    SetSource(source.GetSource());
    FChangeStatus = source.FChangeStatus;
}

TRestructureIndexDefs::TRestructureIndexDefs() : FChangeLog(&GDBLogger()) {}
TRestructureIndexDefs::~TRestructureIndexDefs() = default;

TRestructureIndexDef& TRestructureIndexDefs::Items(int index) {
    return OwnedItemAt(FItems, index);
}
const TRestructureIndexDef& TRestructureIndexDefs::Items(int index) const {
    return OwnedItemAt(FItems, index);
}

TRestructureIndexDef& TRestructureIndexDefs::AddIndexDef() {
    FItems.push_back(std::make_unique<TRestructureIndexDef>(this));
    return *FItems.back();
}

TRestructureIndexDef& TRestructureIndexDefs::AddAndSetIndexDef(const std::string& name,
                                                               const std::string& fields,
                                                               TIndexOptions options) {
    TRestructureIndexDef& def = AddIndexDef();
    def.SetName(name);
    def.SetFields(fields);
    def.SetOptions(options);
    return def;
}

void TRestructureIndexDefs::DeleteItem(int index) {
    OwnedItemAt(FItems, index);
    FItems.erase(FItems.begin() + index);
}

TRestructureIndexDef* TRestructureIndexDefs::Find(const std::string& name) {
    return FindByName(FItems, name);
}

TRestructureIndexDef* TRestructureIndexDefs::FindSourceDef(const TIndexDef& original) {
    for (const auto& item : FItems)
        if (item->GetSource() && SameText(item->GetSource()->GetName(), original.GetName()))
            return item.get();
    return nullptr;
}

void TRestructureIndexDefs::DeleteField(const std::string& name) {
    for (auto& item : FItems)
        item->DeleteField(name);
}

void TRestructureIndexDefs::ReplaceFieldName(const std::string& oldName,
                                             const std::string& newName) {
    for (auto& item : FItems)
        item->ReplaceFieldName(oldName, newName);
}

void TRestructureIndexDefs::CheckForDuplicatePrimaryIndexes() const {
    auto primaries = std::count_if(FItems.begin(), FItems.end(), [](const auto& item) {
        return item->GetOptions().contains(ixPrimary);
    });
    if (primaries > 1)
        ZanDatabaseError(9996, "TRestructureIndexDefs.CheckForDuplicatePrimaryIndexes",
                         SzanOnlySinglePrimaryIndexAllowed, this);
}

void TRestructureIndexDefs::Log(const std::string& text) const {
    if (FChangeLog) FChangeLog->LogItem(IndexDefsCaller, text);
}

TDefChangeType TRestructureIndexDefs::GradeIndexDef(int position, const TRestructureIndexDef& def,
                                                    const TIndexDefs& originalDefs,
                                                    const TRestructureFieldDefs& fieldDefs) const {
    const std::string& name = def.GetName();
    const TIndexDef* source = def.GetSource();
    if (!source) {
        Log("New Index Def: " + name);
        return dcAdded;
    }
    int j = originalDefs.IndexOf(source->GetName());
    if (j < 0) {
        // The source is not among the originals: the index has to be built like a new one.
        Log("New Index Def: " + name);
        return dcAdded;
    }
    const TIndexDef& original = originalDefs.Items(j);
    if (!(original.GetOptions() == def.GetOptions()) || position != j) {
        Log("Index Def: " + name + " - Options or position changed");
        return dcDataChange;
    }
    TDefChangeType status = dcNoChange;
    if (!SameText(name, original.GetName())) {
        status = dcDefOnlyChange;
        Log("Index Def: " + name + " - Name changed");
    }
    for (const std::string& field : SplitFieldNames(def.GetFields())) {
        const TRestructureFieldDef* fieldDef = fieldDefs.Find(field);
        if (!fieldDef)
            throw Exception(Format("The field '%s' in index '%s' was not found in the table field "
                                   "definitions - %s",
                                   field, name, def.GetFields()));
        if (fieldDef->GetChangeStatus() >= dcAdded) {
            Log("Index Def: " + name + " - Changed field: " + field);
            return dcDataChange;
        }
    }
    struct ListCheck {
        const char* label;
        const std::string& before;
        const std::string& after;
    };
    const ListCheck checks[] = {
        {"Index Def fields changed: ", original.GetFields(), def.GetFields()},
        {"Index Def case insensitive fields changed: ", original.GetCaseInsFields(),
         def.GetCaseInsFields()},
        {"Index Def descending fields changed: ", original.GetDescFields(), def.GetDescFields()},
    };
    for (const ListCheck& check : checks) {
        if (!SameFieldList(check.before, check.after)) {
            Log(check.label + name + " from " + check.before + " to " + check.after);
            return dcDataChange;
        }
    }
    return status;
}

void TRestructureIndexDefs::ValidateAgainstOriginalDefs(const TIndexDefs* originalDefs,
                                                        const TRestructureFieldDefs& fieldDefs) {
    FChangeStatus = dcNoChange;
    if (!originalDefs) {
        for (auto& item : FItems)
            item->SetChangeStatus(dcAdded);
        FChangeStatus = dcAdded;
    } else {
        if (Count() > originalDefs->Count())
            FChangeStatus = dcAdded;
        else if (Count() < originalDefs->Count())
            FChangeStatus = dcDeleted;

        for (int i = 0; i < Count(); ++i) {
            TRestructureIndexDef& item = *FItems[static_cast<size_t>(i)];
            TDefChangeType status = GradeIndexDef(i, item, *originalDefs, fieldDefs);
            item.SetChangeStatus(status);
            Log("Index Def: '" + item.GetName() +
                "' status: " + std::string(DefChangeTypeText(status)));
            FChangeStatus = std::max(FChangeStatus, status);
        }

        for (int j = 0; j < originalDefs->Count(); ++j) {
            const TIndexDef& original = originalDefs->Items(j);
            if (!FindSourceDef(original))
                Log("Prior Index Def: " + original.GetName() +
                    " status: " + std::string(DefChangeTypeText(dcDeleted)));
        }
    }
    Log("IndexDefs: Change status is - " + std::string(DefChangeTypeText(FChangeStatus)));
}

bool FieldTypeCanBeIndexed(TFieldType type) {
    const int t = int(type);
    return !(t == 12 || t == 13 || (t >= 15 && t <= 22) || (t >= 26 && t <= 29));
}

void TRestructureIndexDefs::ValidateNewIndexDefs(const TRestructureFieldDefs& fieldDefs) const {
    for (const auto& item : FItems) {
        const std::string& name = item->GetName();
        const auto keyFields = SplitFieldNames(item->GetFields());
        int64_t keySize = 0;
        for (const std::string& field : keyFields) {
            const TRestructureFieldDef* fieldDef = fieldDefs.Find(field);
            if (!fieldDef)
                ZanDatabaseErrorFmt(9996, ValidateNewContext,
                                    "The field '%s' in index '%s' was not found in the table "
                                    "field definitions.",
                                    {field, name}, this);
            // A type no key can hold is refused as the table definition refuses it.
            if (!FieldTypeCanBeIndexed(fieldDef->GetDataType()))
                ZanDatabaseError(10117, ValidateNewContext,
                                 std::string(FieldTypeName(fieldDef->GetDataType())), this);
            keySize += CalculateCoreDataSize(fieldDef->GetDataType());
            if (fieldDef->GetDataType() == ftString)
                keySize += fieldDef->GetSize();
            else if (fieldDef->GetDataType() == ftWideString)
                keySize += 2 * static_cast<int64_t>(fieldDef->GetSize());
        }
        if (keySize > FMaxKeySize)
            ZanDatabaseErrorFmt(
                9996, ValidateNewContext,
                "The Index '%s' with fields '%s' has exceeded the maximum key size of %d",
                {name, item->GetFields(), FMaxKeySize}, this);
        if (static_cast<int64_t>(keyFields.size()) > FMaxKeyFieldCount)
            ZanDatabaseErrorFmt(
                9996, ValidateNewContext,
                "The Index '%s' with fields '%s' has exceeded the maximum key field count of %d",
                {name, item->GetFields(), FMaxKeyFieldCount}, this);
    }
    Log("IndexDefs: Validation OK");
}

void TRestructureIndexDefs::Assign(const TIndexDefs& source) {
    Clear();
    for (int i = 0; i < source.Count(); ++i)
        AddIndexDef().Assign(source.Items(i));
    FChangeStatus = dcNoChange;
}

void TRestructureIndexDefs::Assign(const TRestructureIndexDefs& source) {
    if (&source == this) return;
    Clear();
    for (const auto& item : source.FItems)
        AddIndexDef().Assign(*item);
    FMaxKeySize = source.FMaxKeySize;
    FMaxKeyFieldCount = source.FMaxKeyFieldCount;
    FChangeStatus = source.FChangeStatus;
    FChangeLog = source.FChangeLog;
}

} // namespace zan
