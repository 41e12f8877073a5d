// Restructure definitions: the wanted field and index definitions of a table whose structure
// changes, each remembering the original it came from. Validation against the originals grades
// every item and the whole change, so the dataset layer knows whether records must be copied,
// converted or can stay, and refuses index definitions the storage cannot hold.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/db/DB.h"

namespace zan {

class TDBLogger;

// How heavy a change is; a later value is a heavier change. The ordinals are compared and
// passed on as change levels: keep their order.
enum TDefChangeType : uint8_t {
    dcNoChange,
    dcDefOnlyChange,
    dcAdded,
    dcDeleted,
    dcDataChange,
    dcDataLoss
};

// "Unchanged Item", "Definition Only Changed", "New Item", "Deleted Item",
// "Data Requirements Changed", "Data Loss Possible".
std::string_view DefChangeTypeText(TDefChangeType changeType);

// Whether converting a field from the old type to the new one may lose data.
bool FieldTypeChangeLosesData(TFieldType oldType, TFieldType newType);

// Whether a key can hold the type: bytes, blobs and the other non-scalar types cannot.
bool FieldTypeCanBeIndexed(TFieldType type);

class TRestructureFieldDefs;
class TRestructureIndexDefs;

// One wanted field definition. The source field name is the name of the original field the
// definition comes from; it is empty for a new field.
class TRestructureFieldDef : public TObject {
public:
    explicit TRestructureFieldDef(TRestructureFieldDefs* owner = nullptr) : FOwner(owner) {}
    ZAN_CLASS(TRestructureFieldDef)

    const std::string& GetName() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    TFieldType GetDataType() const { return FDataType; }
    void SetDataType(TFieldType dataType) { FDataType = dataType; }
    int32_t GetSize() const { return FSize; }
    void SetSize(int32_t size) { FSize = size; }
    int32_t GetPrecision() const { return FPrecision; }
    void SetPrecision(int32_t precision) { FPrecision = precision; }
    bool GetRequired() const { return FRequired; }
    void SetRequired(bool required) { FRequired = required; }
    const std::string& GetSourceFieldName() const { return FSourceFieldName; }
    void SetSourceFieldName(const std::string& name) { FSourceFieldName = name; }
    TDefChangeType GetChangeStatus() const { return FChangeStatus; }
    void SetChangeStatus(TDefChangeType status) { FChangeStatus = status; }
    // The 0-based position in the owning list; -1 when the definition stands alone.
    int GetIndex() const;

    // Takes over a present field's definition; that field becomes the source.
    void Assign(const TFieldDef& source);
    void Assign(const TRestructureFieldDef& source);
    // Writes name, type, size, precision and required into a field definition.
    void AssignTo(TFieldDef& dest) const;

private:
    TRestructureFieldDefs* FOwner;
    std::string FName;
    TFieldType FDataType = ftUnknown;
    int32_t FSize = 0;
    int32_t FPrecision = 0;
    bool FRequired = false;
    std::string FSourceFieldName;
    TDefChangeType FChangeStatus = dcNoChange;
};

// The wanted field definitions of a table, the original definitions they are graded against,
// the overall change status and the autoinc reset request.
class TRestructureFieldDefs : public TObject {
public:
    TRestructureFieldDefs();
    ~TRestructureFieldDefs() override;
    TRestructureFieldDefs(const TRestructureFieldDefs&) = delete;
    TRestructureFieldDefs& operator=(const TRestructureFieldDefs&) = delete;
    ZAN_CLASS(TRestructureFieldDefs)

    int Count() const { return static_cast<int>(FItems.size()); }
    // Raises Exception for an index out of range.
    TRestructureFieldDef& Items(int index);
    const TRestructureFieldDef& Items(int index) const;
    TRestructureFieldDef& operator[](int index) { return Items(index); }
    const TRestructureFieldDef& operator[](int index) const { return Items(index); }

    TRestructureFieldDef& AddFieldDef();
    TRestructureFieldDef& AddAndSetFieldDef(const std::string& name, TFieldType dataType,
                                            int32_t size);
    // A new, empty definition at position index (0..Count).
    TRestructureFieldDef& Insert(int index);
    void DeleteItem(int index);
    void Clear() { FItems.clear(); }
    // The definition of that name (ASCII case ignored); nullptr when there is none.
    TRestructureFieldDef* Find(const std::string& name);
    const TRestructureFieldDef* Find(const std::string& name) const;
    // The original definition of that name; nullptr when there is none or no originals.
    const TFieldDef* FindSourceDef(const std::string& name) const;
    // Whether some original field is the source of no definition.
    bool CheckIfFieldsDeleted() const;
    // Exchanges two definitions; an index out of range raises
    // "Invalid Field Def Index in SwapDefs".
    void SwapDefs(int i, int j);

    // Grades every definition and the whole change against the original definitions (none:
    // everything is new), keeping a copy of them as the originals. Writes the change log.
    void ValidateAgainstOriginalDefs(const TFieldDefs* originalDefs);

    // Takes over the present field definitions: one definition per field, sourced from it; the
    // present definitions become the originals.
    void Assign(const TFieldDefs& source);
    void Assign(const TRestructureFieldDefs& source);
    // Writes the wanted definitions into framework field definitions.
    void AssignTo(TFieldDefs& dest) const;

    const TFieldDefs* GetOriginalFieldDefs() const { return FOriginalFieldDefs.get(); }
    TDefChangeType GetChangeStatus() const { return FChangeStatus; }
    void SetChangeStatus(TDefChangeType status) { FChangeStatus = status; }
    // Where validation writes its lines: the engine's trace log unless set otherwise; nullptr
    // writes nothing.
    TDBLogger* GetChangeLog() const { return FChangeLog; }
    void SetChangeLog(TDBLogger* log) { FChangeLog = log; }
    int32_t GetAutoIncResetValue() const { return FAutoIncResetValue; }
    void SetAutoIncResetValue(int32_t value) { FAutoIncResetValue = value; }
    bool GetResetAutoInc() const { return FResetAutoInc; }
    void SetResetAutoInc(bool reset) { FResetAutoInc = reset; }

private:
    friend class TRestructureFieldDef;
    void Log(const std::string& text) const;

    std::vector<std::unique_ptr<TRestructureFieldDef>> FItems;
    std::unique_ptr<TFieldDefs> FOriginalFieldDefs;
    TDefChangeType FChangeStatus = dcNoChange;
    TDBLogger* FChangeLog;
    int32_t FAutoIncResetValue = 0;
    bool FResetAutoInc = false;
};

// One wanted index definition: key fields, descending and case-insensitive fields (each a
// ";"-separated list of field names), options, and a copy of the original definition it comes
// from (none for a new index).
class TRestructureIndexDef : public TObject {
public:
    explicit TRestructureIndexDef(TRestructureIndexDefs* owner = nullptr) : FOwner(owner) {}
    ~TRestructureIndexDef() override;
    ZAN_CLASS(TRestructureIndexDef)

    const std::string& GetName() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    const std::string& GetFields() const { return FFields; }
    void SetFields(const std::string& fields) { FFields = fields; }
    const std::string& GetDescFields() const { return FDescFields; }
    void SetDescFields(const std::string& fields) { FDescFields = fields; }
    const std::string& GetCaseInsFields() const { return FCaseInsFields; }
    void SetCaseInsFields(const std::string& fields) { FCaseInsFields = fields; }
    TIndexOptions GetOptions() const { return FOptions; }
    void SetOptions(TIndexOptions options) { FOptions = options; }
    // The original definition; nullptr for a new index.
    const TIndexDef* GetSource() const { return FSource.get(); }
    // Keeps a copy of the definition (nullptr: no source).
    void SetSource(const TIndexDef* source);
    TDefChangeType GetChangeStatus() const { return FChangeStatus; }
    void SetChangeStatus(TDefChangeType status) { FChangeStatus = status; }
    int GetIndex() const;

    // Removes the field (ASCII case ignored) from the three field lists.
    void DeleteField(const std::string& name);
    // Renames the field (ASCII case ignored) in the three field lists.
    void ReplaceFieldName(const std::string& oldName, const std::string& newName);

    // Takes over a present index definition; that definition becomes the source.
    void Assign(const TIndexDef& source);
    void Assign(const TRestructureIndexDef& source);

private:
    TRestructureIndexDefs* FOwner;
    std::string FName;
    std::string FFields;
    std::string FDescFields;
    std::string FCaseInsFields;
    TIndexOptions FOptions;
    std::unique_ptr<TIndexDef> FSource;
    TDefChangeType FChangeStatus = dcNoChange;
};

// The wanted index definitions of a table with the storage's key limits and the overall change
// status.
class TRestructureIndexDefs : public TObject {
public:
    TRestructureIndexDefs();
    ~TRestructureIndexDefs() override;
    TRestructureIndexDefs(const TRestructureIndexDefs&) = delete;
    TRestructureIndexDefs& operator=(const TRestructureIndexDefs&) = delete;
    ZAN_CLASS(TRestructureIndexDefs)

    int Count() const { return static_cast<int>(FItems.size()); }
    TRestructureIndexDef& Items(int index);
    const TRestructureIndexDef& Items(int index) const;
    TRestructureIndexDef& operator[](int index) { return Items(index); }
    const TRestructureIndexDef& operator[](int index) const { return Items(index); }

    TRestructureIndexDef& AddIndexDef();
    TRestructureIndexDef& AddAndSetIndexDef(const std::string& name, const std::string& fields,
                                            TIndexOptions options);
    void DeleteItem(int index);
    void Clear() { FItems.clear(); }
    // The definition of that name (ASCII case ignored); nullptr when there is none.
    TRestructureIndexDef* Find(const std::string& name);
    // The definition whose source is the original of that name; nullptr when none has it.
    TRestructureIndexDef* FindSourceDef(const TIndexDef& original);
    // Removes the field from every index; renames it in every index.
    void DeleteField(const std::string& name);
    void ReplaceFieldName(const std::string& oldName, const std::string& newName);
    // More than one primary index raises error 9996.
    void CheckForDuplicatePrimaryIndexes() const;

    // Grades every definition and the whole change against the original index definitions (none:
    // everything is new). The field definitions must have been graded first: an index over a new
    // or changed field needs its keys rebuilt. Writes the change log.
    void ValidateAgainstOriginalDefs(const TIndexDefs* originalDefs,
                                     const TRestructureFieldDefs& fieldDefs);
    // Checks that the storage can hold every index: known key fields, the key size and the key
    // field count within their maximums. Failures raise error 9996.
    void ValidateNewIndexDefs(const TRestructureFieldDefs& fieldDefs) const;

    // Takes over the present index definitions: one definition per index, sourced from it.
    void Assign(const TIndexDefs& source);
    void Assign(const TRestructureIndexDefs& source);

    int32_t GetMaxKeySize() const { return FMaxKeySize; }
    void SetMaxKeySize(int32_t size) { FMaxKeySize = size; }
    int32_t GetMaxKeyFieldCount() const { return FMaxKeyFieldCount; }
    void SetMaxKeyFieldCount(int32_t count) { FMaxKeyFieldCount = count; }
    TDefChangeType GetChangeStatus() const { return FChangeStatus; }
    void SetChangeStatus(TDefChangeType status) { FChangeStatus = status; }
    TDBLogger* GetChangeLog() const { return FChangeLog; }
    void SetChangeLog(TDBLogger* log) { FChangeLog = log; }

    // The storage's limits, used until the caller sets others: a key of at most 500 bytes and at
    // most 255 key fields (the most fields a table has).
    static constexpr int32_t DefaultMaxKeySize = 500;
    static constexpr int32_t DefaultMaxKeyFieldCount = 255;

private:
    friend class TRestructureIndexDef;
    void Log(const std::string& text) const;
    TDefChangeType GradeIndexDef(int position, const TRestructureIndexDef& def,
                                 const TIndexDefs& originalDefs,
                                 const TRestructureFieldDefs& fieldDefs) const;

    std::vector<std::unique_ptr<TRestructureIndexDef>> FItems;
    int32_t FMaxKeySize = DefaultMaxKeySize;
    int32_t FMaxKeyFieldCount = DefaultMaxKeyFieldCount;
    TDefChangeType FChangeStatus = dcNoChange;
    TDBLogger* FChangeLog;
};

} // namespace zan
