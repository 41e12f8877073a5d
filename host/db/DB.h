// The dataset framework: definitions shared by every dataset of the system.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/rtl/Classes.h"
#include "host/rtl/Exceptions.h"
#include "host/rtl/Format.h"

namespace zan {

// A failure of a dataset or a database.
ZAN_EXCEPTION_CLASS(EDatabaseError, Exception);

// Raises EDatabaseError; the message is prefixed "Name: " when the component has a name.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);
// DatabaseError with a message formatted by Format.
[[noreturn]] void DatabaseErrorFmt(std::string_view format, std::initializer_list<TVarRec> args,
                                   const TComponent* component = nullptr);

// The dataset framework's own messages.
inline constexpr std::string_view SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr std::string_view SDataSetClosed =
    "Cannot perform this operation on a closed dataset";
inline constexpr std::string_view SDataSetEmpty =
    "Cannot perform this operation on an empty dataset";
inline constexpr std::string_view SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr std::string_view SNotEditing = "Dataset not in edit or insert mode";
inline constexpr std::string_view SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr std::string_view SFieldRequired = "Field '%s' must have a value";
inline constexpr std::string_view SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr std::string_view SFieldNotFound = "Field '%s' not found";
inline constexpr std::string_view SParameterNotFound = "Parameter '%s' not found";
inline constexpr std::string_view SRecordNotFound = "Record not found";
inline constexpr std::string_view SFieldTypeMismatch =
    "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr std::string_view SUnknownFieldType = "Field '%s' is of an unknown type";
inline constexpr std::string_view SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr std::string_view SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr std::string_view SFieldRangeError =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr std::string_view SInvalidFieldValue = "'%s' is not a valid value for field '%s'";
inline constexpr std::string_view SDataSetMissing = "Field '%s' has no dataset";

// A small set of the values of an unscoped enumeration (ordinals below 32).
template <typename E>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> items) {
        for (E item : items)
            insert(item);
    }
    constexpr bool contains(E item) const { return (FBits & Bit(item)) != 0; }
    constexpr void insert(E item) { FBits |= Bit(item); }
    constexpr void erase(E item) { FBits &= ~Bit(item); }
    constexpr bool empty() const { return FBits == 0; }
    friend constexpr bool operator==(TEnumSet a, TEnumSet b) = default;

private:
    static constexpr uint32_t Bit(E item) { return 1u << static_cast<unsigned>(item); }
    uint32_t FBits = 0;
};

// The state of a dataset: what its active buffer is used for.
enum TDataSetState : uint8_t {
    dsInactive,
    dsBrowse,
    dsEdit,
    dsInsert,
    dsSetKey,
    dsCalcFields,
    dsFilter,
    dsNewValue,
    dsOldValue,
    dsCurValue,
    dsBlockRead,
    dsInternalCalc,
    dsOpening
};
// States in which field values may be written.
bool IsWriteMode(TDataSetState state);

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TResyncModeItem : uint8_t { rmExact, rmCenter };
using TResyncMode = TEnumSet<TResyncModeItem>;
// What a record buffer holds: a cursor record, the position before the first or after the last
// record, or a record being inserted.
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };
enum TLocateOption : uint8_t { loCaseInsensitive, loPartialKey };
using TLocateOptions = TEnumSet<TLocateOption>;
enum TFilterOption : uint8_t { foCaseInsensitive, foNoPartialCompare };
using TFilterOptions = TEnumSet<TFilterOption>;
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };
enum TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };
// What an error handler of an edit operation asks for: pass the error on, abort silently, retry.
enum TDataAction : uint8_t { daFail, daAbort, daRetry };
enum TDataEvent : uint8_t {
    deFieldChange,
    deRecordChange,
    deDataSetChange,
    deDataSetScroll,
    deLayoutChange,
    deUpdateRecord,
    deUpdateState,
    deCheckBrowseMode,
    dePropertyChange,
    deFieldListChange,
    deFocusControl
};

class TDataSet;
class TField;

// Field types. The ordinals are stored in table definitions and compared by number: keep them.
enum TFieldType : uint8_t {
    ftUnknown,
    ftString,
    ftSmallint,
    ftInteger,
    ftWord,
    ftBoolean,
    ftFloat,
    ftCurrency,
    ftBCD,
    ftDate,
    ftTime,
    ftDateTime,
    ftBytes,
    ftVarBytes,
    ftAutoInc,
    ftBlob,
    ftMemo,
    ftGraphic,
    ftFmtMemo,
    ftParadoxOle,
    ftDBaseOle,
    ftTypedBinary,
    ftCursor,
    ftFixedChar,
    ftWideString,
    ftLargeint,
    ftADT,
    ftArray,
    ftReference,
    ftDataSet,
    ftOraBlob,
    ftOraClob,
    ftVariant,
    ftInterface,
    ftIDispatch,
    ftGuid,
    ftTimeStamp,
    ftFMTBcd
};
inline constexpr int FieldTypeCount = ftFMTBcd + 1;

// The type's identifier as text ("ftString"); "ftUnknown" for an ordinal out of range.
std::string_view FieldTypeName(TFieldType type);
// Every type's identifier, indexed by ordinal (the identifiers of a streamed type property).
std::vector<std::string> FieldTypeIdentifiers();

class TFieldDefs;
class TIndexDefs;

// The definition of one field of a dataset: what a table is created with and what the dataset
// reports about its fields.
class TFieldDef : public TObject {
public:
    explicit TFieldDef(TFieldDefs* owner = nullptr) : FOwner(owner) {}
    ZAN_CLASS(TFieldDef)

    const std::string& GetName() const { return FName; }
    void SetName(const std::string& name) {
        FName = name;
        Changed();
    }
    TFieldType GetDataType() const { return FDataType; }
    void SetDataType(TFieldType dataType) {
        FDataType = dataType;
        Changed();
    }
    // Characters for string types, bytes for byte types, 0 for the others.
    int32_t GetSize() const { return FSize; }
    void SetSize(int32_t size) {
        FSize = size;
        Changed();
    }
    // Decimal places of BCD fields.
    int32_t GetPrecision() const { return FPrecision; }
    void SetPrecision(int32_t precision) {
        FPrecision = precision;
        Changed();
    }
    bool GetRequired() const { return FRequired; }
    void SetRequired(bool required) {
        FRequired = required;
        Changed();
    }
    // The field's 1-based number; a new definition takes its position in the list.
    int32_t GetFieldNo() const { return FFieldNo; }
    void SetFieldNo(int32_t fieldNo) {
        FFieldNo = fieldNo;
        Changed();
    }
    // The 0-based position in the owning list; -1 when the definition stands alone.
    int GetIndex() const;
    TFieldDefs* GetOwner() const { return FOwner; }

    // Copies the definition (name, type, size, precision, required, number), not the owner.
    void Assign(const TFieldDef& source);

    // A field of the default class for the type (TIntegerField for ftInteger, ...) named, sized
    // and numbered after this definition and attached to the owning list's dataset; owner frees
    // it. EDatabaseError "Field '<name>' is of an unknown type" for a type without a class.
    TField* CreateField(TComponent* owner);

private:
    void Changed();

    TFieldDefs* FOwner;
    std::string FName;
    TFieldType FDataType = ftUnknown;
    int32_t FSize = 0;
    int32_t FPrecision = 0;
    bool FRequired = false;
    int32_t FFieldNo = 0;
};

// An owning, ordered list of field definitions. Names are looked up without regard to ASCII case.
// A list that belongs to a dataset tells it of every change (TDataSet::DefChanged) outside of
// BeginUpdate/EndUpdate.
class TFieldDefs : public TObject {
public:
    TFieldDefs() = default;
    explicit TFieldDefs(TDataSet* dataSet) : FDataSet(dataSet) {}
    TFieldDefs(const TFieldDefs&) = delete;
    TFieldDefs& operator=(const TFieldDefs&) = delete;
    ZAN_CLASS(TFieldDefs)

    TFieldDef& Add(const std::string& name, TFieldType dataType, int32_t size = 0,
                   bool required = false);
    // Appends an empty definition numbered Count + 1.
    TFieldDef& AddFieldDef();
    int Count() const { return static_cast<int>(FItems.size()); }
    // Raises Exception for an index out of range.
    TFieldDef& Items(int index);
    const TFieldDef& Items(int index) const;
    TFieldDef& operator[](int index) { return Items(index); }
    const TFieldDef& operator[](int index) const { return Items(index); }
    // The position of the first definition of that name, -1 when there is none.
    int IndexOf(const std::string& name) const;
    // The definition of that name; raises EDatabaseError "Field '<name>' not found".
    TFieldDef& Find(const std::string& name);
    const TFieldDef& Find(const std::string& name) const;
    void Clear();
    void Delete(int index);
    // Replaces the list with copies of the source's definitions.
    void Assign(const TFieldDefs& source);

    TDataSet* GetDataSet() const { return FDataSet; }
    // Whether the list reflects the dataset's current structure; a change outside
    // BeginUpdate/EndUpdate clears it.
    bool GetUpdated() const { return FUpdated; }
    void SetUpdated(bool updated) { FUpdated = updated; }
    // Reads the definitions from the dataset (TDataSet::InitFieldDefs) unless up to date.
    void Update();
    // Changes between BeginUpdate and the matching EndUpdate are not reported to the dataset.
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate() { --FUpdateCount; }

private:
    friend class TFieldDef;
    void Changed();

    TDataSet* FDataSet = nullptr;
    bool FUpdated = false;
    int FUpdateCount = 0;
    std::vector<std::unique_ptr<TFieldDef>> FItems;
};

// Options of an index. The ordinals are stored with index definitions: keep their order.
enum TIndexOption : uint8_t {
    ixPrimary,
    ixUnique,
    ixDescending,
    ixCaseInsensitive,
    ixExpression,
    ixNonMaintained
};

// A set of index options.
class TIndexOptions {
public:
    constexpr TIndexOptions() = default;
    constexpr TIndexOptions(std::initializer_list<TIndexOption> options) {
        for (TIndexOption option : options)
            insert(option);
    }
    constexpr bool contains(TIndexOption option) const { return (FBits & Bit(option)) != 0; }
    constexpr void insert(TIndexOption option) { FBits |= Bit(option); }
    constexpr void erase(TIndexOption option) { FBits &= static_cast<uint8_t>(~Bit(option)); }
    constexpr bool empty() const { return FBits == 0; }
    friend constexpr bool operator==(TIndexOptions a, TIndexOptions b) = default;

private:
    static constexpr uint8_t Bit(TIndexOption option) {
        return static_cast<uint8_t>(1u << static_cast<unsigned>(option));
    }
    uint8_t FBits = 0;
};

// The definition of one index: its key fields as a ";"-separated list of field names, which of
// them sort descending and which ignore case, and its options.
class TIndexDef : public TObject {
public:
    explicit TIndexDef(TIndexDefs* owner = nullptr) : FOwner(owner) {}
    ZAN_CLASS(TIndexDef)

    const std::string& GetName() const { return FName; }
    void SetName(const std::string& name) {
        FName = name;
        Changed();
    }
    const std::string& GetFields() const { return FFields; }
    void SetFields(const std::string& fields) {
        FFields = fields;
        Changed();
    }
    const std::string& GetDescFields() const { return FDescFields; }
    void SetDescFields(const std::string& fields) {
        FDescFields = fields;
        Changed();
    }
    const std::string& GetCaseInsFields() const { return FCaseInsFields; }
    void SetCaseInsFields(const std::string& fields) {
        FCaseInsFields = fields;
        Changed();
    }
    TIndexOptions GetOptions() const { return FOptions; }
    void SetOptions(TIndexOptions options) {
        FOptions = options;
        Changed();
    }
    const std::string& GetSource() const { return FSource; }
    void SetSource(const std::string& source) {
        FSource = source;
        Changed();
    }
    const std::string& GetExpression() const { return FExpression; }
    void SetExpression(const std::string& expression) {
        FExpression = expression;
        Changed();
    }
    // The 0-based position in the owning list; -1 when the definition stands alone.
    int GetIndex() const;
    TIndexDefs* GetOwner() const { return FOwner; }

    // Copies every property, not the owner.
    void Assign(const TIndexDef& source);

private:
    void Changed();

    TIndexDefs* FOwner;
    std::string FName;
    std::string FFields;
    std::string FDescFields;
    std::string FCaseInsFields;
    TIndexOptions FOptions;
    std::string FSource;
    std::string FExpression;
};

// An owning, ordered list of index definitions. Names are looked up without regard to ASCII case.
// A list that belongs to a dataset tells it of every change (TDataSet::DefChanged) outside of
// BeginUpdate/EndUpdate.
class TIndexDefs : public TObject {
public:
    TIndexDefs() = default;
    explicit TIndexDefs(TDataSet* dataSet) : FDataSet(dataSet) {}
    TIndexDefs(const TIndexDefs&) = delete;
    TIndexDefs& operator=(const TIndexDefs&) = delete;
    ZAN_CLASS(TIndexDefs)

    TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options);
    TIndexDef& AddIndexDef();
    int Count() const { return static_cast<int>(FItems.size()); }
    // Raises Exception for an index out of range.
    TIndexDef& Items(int index);
    const TIndexDef& Items(int index) const;
    TIndexDef& operator[](int index) { return Items(index); }
    const TIndexDef& operator[](int index) const { return Items(index); }
    int IndexOf(const std::string& name) const;
    // The definition of that name; raises EDatabaseError "Index '<name>' not found".
    TIndexDef& Find(const std::string& name);
    const TIndexDef& Find(const std::string& name) const;
    void Clear();
    void Delete(int index);
    void Assign(const TIndexDefs& source);

    TDataSet* GetDataSet() const { return FDataSet; }
    bool GetUpdated() const { return FUpdated; }
    void SetUpdated(bool updated) { FUpdated = updated; }
    // Asks the dataset to rebuild the list (TDataSet::UpdateIndexDefs) unless up to date.
    void Update();
    void BeginUpdate() { ++FUpdateCount; }
    void EndUpdate() { --FUpdateCount; }
    // An ascending, field-based index for a ";"-separated field list: first one whose key fields
    // are exactly the list, else one whose key fields begin with it; with caseInsensitive only
    // indexes that ignore case qualify. Field names compare without regard to ASCII case.
    // nullptr when none fits.
    TIndexDef* GetIndexForFields(const std::string& fields, bool caseInsensitive);

private:
    friend class TIndexDef;
    void Changed();

    TDataSet* FDataSet = nullptr;
    bool FUpdated = false;
    int FUpdateCount = 0;
    std::vector<std::unique_ptr<TIndexDef>> FItems;
};

// The names of a ";"-separated field list (blanks around names dropped; empty text: none).
std::vector<std::string> SplitFieldNames(std::string_view names);

} // namespace zan
