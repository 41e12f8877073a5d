// Field objects: typed access to one column of a dataset's active record.
//
// Native data formats (what GetData/SetData move between a field and its dataset):
//   ftString             the bytes and a terminating zero (Size + 2 bytes read); writes pass
//                        their length, truncated to Size bytes at a character boundary
//   ftSmallint, ftWord   int16 / uint16
//   ftInteger, ftAutoInc int32
//   ftBoolean            one byte, 1 for True and 0 for False; any other non-zero reads True
//   ftFloat, ftCurrency  double
//   ftDate, ftTime,      TDateTime double; a date keeps whole days, a time only the time of day,
//   ftDateTime           a date and time is rounded to the millisecond
//   ftBytes              Size bytes
//   blob types           no buffer access: the content goes through TDataSet::CreateBlobStream
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/db/DB.h"
#include "host/rtl/Streams.h"
#include "host/rtl/Variants.h"

namespace zan {

class TFields;

using TFieldNotifyEvent = std::function<void(TField* sender)>;

class TField : public TComponent {
public:
    explicit TField(TComponent* owner = nullptr);
    ~TField() override;
    ZAN_CLASS(TField)

    // --- Identity and layout -------------------------------------------------------------------
    const std::string& GetFieldName() const { return FFieldName; }
    void SetFieldName(const std::string& name);
    // DisplayLabel when set, else FieldName.
    std::string GetDisplayName() const;
    std::string GetDisplayLabel() const { return GetDisplayName(); }
    void SetDisplayLabel(const std::string& label) { FDisplayLabel = label; }
    TFieldType GetDataType() const { return FDataType; }
    // Characters / bytes for string and byte fields, 0 for the others.
    int32_t GetSize() const { return FSize; }
    void SetSize(int32_t size);
    // Bytes of the native data (see the top of this file).
    virtual int32_t GetDataSize() const { return 0; }
    TFieldKind GetFieldKind() const { return FFieldKind; }
    void SetFieldKind(TFieldKind kind);
    // The 1-based number of the data field in its dataset; -1 for calculated fields, 0 unbound.
    int32_t GetFieldNo() const { return FFieldNo; }
    void SetFieldNo(int32_t fieldNo) { FFieldNo = fieldNo; }
    // Offset of a calculated field's flag byte in the calculated-field area.
    int32_t GetOffset() const { return FOffset; }
    void SetOffset(int32_t offset) { FOffset = offset; }
    // Position in the dataset's Fields; -1 without a dataset.
    int GetIndex() const;
    TDataSet* GetDataSet() const { return FDataSet; }
    // Attaches the field to a closed dataset (nullptr detaches it). EDatabaseError "Duplicate
    // field name" when the dataset already holds a field of that name.
    void SetDataSet(TDataSet* dataSet);
    bool GetVisible() const { return FVisible; }
    void SetVisible(bool visible) { FVisible = visible; }
    bool GetReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool readOnly) { FReadOnly = readOnly; }
    bool GetRequired() const { return FRequired; }
    void SetRequired(bool required) { FRequired = required; }
    // The default value text of new records (quotes are the dataset's business).
    const std::string& GetDefaultExpression() const { return FDefaultExpression; }
    void SetDefaultExpression(const std::string& text) { FDefaultExpression = text; }
    bool GetCalculated() const { return FFieldKind == fkCalculated; }
    // Whether the field reads from a blob stream rather than a record buffer.
    virtual bool IsBlob() const { return false; }

    TFieldNotifyEvent OnValidate;
    TFieldNotifyEvent OnChange;

    // --- Raw data --------------------------------------------------------------------------------
    // Reads the native data of the active record into buffer (nullptr: only asks for a value);
    // false when the value is NULL. Inside OnValidate this reads the value being written.
    bool GetData(void* buffer) const;
    // Writes native data (nullptr: NULL); length is the byte count of string data, -1 otherwise.
    // The dataset must be in a writing state; read-only data fields refuse the write outside key
    // and filter entry.
    void SetData(const void* buffer, int32_t length = -1);
    // Called by the dataset before it stores a data field's new value: fires OnValidate.
    virtual void Validate(const void* buffer, int32_t length = -1);
    // Called by the dataset after a change of the field's value: fires OnChange.
    void Change();

    // --- Typed access ----------------------------------------------------------------------------
    std::string GetAsString() const { return GetAsStringImpl(); }
    void SetAsString(const std::string& value) { SetAsStringImpl(value); }
    int32_t GetAsInteger() const { return GetAsIntegerImpl(); }
    void SetAsInteger(int32_t value) { SetAsIntegerImpl(value); }
    double GetAsFloat() const { return GetAsFloatImpl(); }
    void SetAsFloat(double value) { SetAsFloatImpl(value); }
    Currency GetAsCurrency() const { return GetAsCurrencyImpl(); }
    void SetAsCurrency(Currency value) { SetAsCurrencyImpl(value); }
    bool GetAsBoolean() const { return GetAsBooleanImpl(); }
    void SetAsBoolean(bool value) { SetAsBooleanImpl(value); }
    TDateTime GetAsDateTime() const { return GetAsDateTimeImpl(); }
    void SetAsDateTime(TDateTime value) { SetAsDateTimeImpl(value); }
    // Null for a NULL value; Null or Empty written clears the field.
    Variant GetAsVariant() const;
    void SetAsVariant(const Variant& value);
    Variant GetValue() const { return GetAsVariant(); }
    void SetValue(const Variant& value) { SetAsVariant(value); }
    virtual bool IsNull() const;
    virtual void Clear();
    // Copies the value of another field (NULL clears this one).
    void Assign(const TField& source);

protected:
    virtual std::string GetAsStringImpl() const;
    virtual void SetAsStringImpl(const std::string& value);
    virtual int32_t GetAsIntegerImpl() const;
    virtual void SetAsIntegerImpl(int32_t value);
    virtual double GetAsFloatImpl() const;
    virtual void SetAsFloatImpl(double value);
    virtual Currency GetAsCurrencyImpl() const;
    virtual void SetAsCurrencyImpl(Currency value);
    virtual bool GetAsBooleanImpl() const;
    virtual void SetAsBooleanImpl(bool value);
    virtual TDateTime GetAsDateTimeImpl() const;
    virtual void SetAsDateTimeImpl(TDateTime value);
    // The non-NULL value as a Variant of the field's natural type.
    virtual Variant GetAsVariantImpl() const;
    virtual void SetAsVariantImpl(const Variant& value);

    // EDatabaseError "Cannot access field '<name>' as type <typeName>".
    [[noreturn]] void AccessError(const char* typeName) const;
    void SetDataType(TFieldType type) { FDataType = type; }
    TDataSet* CheckDataSet() const;

private:
    friend class TFields;
    friend class TDataSet;

    std::string FFieldName;
    std::string FDisplayLabel;
    TFieldType FDataType = ftUnknown;
    int32_t FSize = 0;
    TFieldKind FFieldKind = fkData;
    int32_t FFieldNo = 0;
    int32_t FOffset = 0;
    TDataSet* FDataSet = nullptr;
    bool FVisible = true;
    bool FReadOnly = false;
    bool FRequired = false;
    std::string FDefaultExpression;
    // The value being validated, read back by GetData inside OnValidate.
    bool FValidating = false;
    const void* FValidateBuffer = nullptr;
    int32_t FValidateLength = -1;
};

class TStringField : public TField {
public:
    explicit TStringField(TComponent* owner = nullptr);
    ZAN_CLASS(TStringField)
    int32_t GetDataSize() const override { return GetSize() + 1; }

protected:
    std::string GetAsStringImpl() const override;
    void SetAsStringImpl(const std::string& value) override;
    int32_t GetAsIntegerImpl() const override;
    void SetAsIntegerImpl(int32_t value) override;
    double GetAsFloatImpl() const override;
    void SetAsFloatImpl(double value) override;
    Currency GetAsCurrencyImpl() const override;
    bool GetAsBooleanImpl() const override;
    void SetAsBooleanImpl(bool value) override;
    TDateTime GetAsDateTimeImpl() const override;
    void SetAsDateTimeImpl(TDateTime value) override;
    Variant GetAsVariantImpl() const override;
    void SetAsVariantImpl(const Variant& value) override;
};

// Integer fields: the value range of the native type is checked on write.
class TIntegerField : public TField {
public:
    explicit TIntegerField(TComponent* owner = nullptr);
    ZAN_CLASS(TIntegerField)
    int32_t GetDataSize() const override { return 4; }

protected:
    TIntegerField(TComponent* owner, TFieldType type, int64_t minValue, int64_t maxValue);
    // The value as int64; false for NULL.
    bool ReadValue(int64_t& value) const;
    void WriteValue(int64_t value);

    std::string GetAsStringImpl() const override;
    void SetAsStringImpl(const std::string& value) override;
    int32_t GetAsIntegerImpl() const override;
    void SetAsIntegerImpl(int32_t value) override;
    double GetAsFloatImpl() const override;
    void SetAsFloatImpl(double value) override;
    Currency GetAsCurrencyImpl() const override;
    void SetAsCurrencyImpl(Currency value) override;
    bool GetAsBooleanImpl() const override;
    void SetAsBooleanImpl(bool value) override;
    Variant GetAsVariantImpl() const override;
    void SetAsVariantImpl(const Variant& value) override;

private:
    int64_t FMinValue;
    int64_t FMaxValue;
};

class TSmallintField : public TIntegerField {
public:
    explicit TSmallintField(TComponent* owner = nullptr);
    ZAN_CLASS(TSmallintField)
    int32_t GetDataSize() const override { return 2; }
};

class TWordField : public TIntegerField {
public:
    explicit TWordField(TComponent* owner = nullptr);
    ZAN_CLASS(TWordField)
    int32_t GetDataSize() const override { return 2; }
};

class TAutoIncField : public TIntegerField {
public:
    explicit TAutoIncField(TComponent* owner = nullptr);
    ZAN_CLASS(TAutoIncField)
};

class TBooleanField : public TField {
public:
    explicit TBooleanField(TComponent* owner = nullptr);
    ZAN_CLASS(TBooleanField)
    int32_t GetDataSize() const override { return 1; }

protected:
    std::string GetAsStringImpl() const override;
    void SetAsStringImpl(const std::string& value) override;
    int32_t GetAsIntegerImpl() const override;
    void SetAsIntegerImpl(int32_t value) override;
    bool GetAsBooleanImpl() const override;
    void SetAsBooleanImpl(bool value) override;
    Variant GetAsVariantImpl() const override;
    void SetAsVariantImpl(const Variant& value) override;
};

class TFloatField : public TField {
public:
    explicit TFloatField(TComponent* owner = nullptr);
    ZAN_CLASS(TFloatField)
    int32_t GetDataSize() const override { return 8; }

protected:
    bool ReadValue(double& value) const;
    void WriteValue(double value);

    std::string GetAsStringImpl() const override;
    void SetAsStringImpl(const std::string& value) override;
    int32_t GetAsIntegerImpl() const override;
    void SetAsIntegerImpl(int32_t value) override;
    double GetAsFloatImpl() const override;
    void SetAsFloatImpl(double value) override;
    Currency GetAsCurrencyImpl() const override;
    void SetAsCurrencyImpl(Currency value) override;
    Variant GetAsVariantImpl() const override;
    void SetAsVariantImpl(const Variant& value) override;
};

class TCurrencyField : public TFloatField {
public:
    explicit TCurrencyField(TComponent* owner = nullptr);
    ZAN_CLASS(TCurrencyField)

protected:
    Variant GetAsVariantImpl() const override;
};

// Date, time and date-time fields share one class body; the type decides the normalisation.
class TDateTimeField : public TField {
public:
    explicit TDateTimeField(TComponent* owner = nullptr);
    ZAN_CLASS(TDateTimeField)
    int32_t GetDataSize() const override { return 8; }

protected:
    TDateTimeField(TComponent* owner, TFieldType type);
    // The value as this field's type stores it.
    TDateTime Normalize(TDateTime value) const;

    std::string GetAsStringImpl() const override;
    void SetAsStringImpl(const std::string& value) override;
    double GetAsFloatImpl() const override;
    void SetAsFloatImpl(double value) override;
    TDateTime GetAsDateTimeImpl() const override;
    void SetAsDateTimeImpl(TDateTime value) override;
    Variant GetAsVariantImpl() const override;
    void SetAsVariantImpl(const Variant& value) override;
};

class TDateField : public TDateTimeField {
public:
    explicit TDateField(TComponent* owner = nullptr);
    ZAN_CLASS(TDateField)
};

class TTimeField : public TDateTimeField {
public:
    explicit TTimeField(TComponent* owner = nullptr);
    ZAN_CLASS(TTimeField)
};

class TBytesField : public TField {
public:
    explicit TBytesField(TComponent* owner = nullptr);
    ZAN_CLASS(TBytesField)
    int32_t GetDataSize() const override { return GetSize(); }

protected:
    std::string GetAsStringImpl() const override;
    void SetAsStringImpl(const std::string& value) override;
    Variant GetAsVariantImpl() const override;
    void SetAsVariantImpl(const Variant& value) override;
};

// Binary large objects (ftBlob, ftGraphic); the content moves through blob streams.
class TBlobField : public TField {
public:
    explicit TBlobField(TComponent* owner = nullptr);
    // type: ftBlob or ftGraphic (ftMemo or ftFmtMemo for TMemoField).
    TBlobField(TComponent* owner, TFieldType type);
    ZAN_CLASS(TBlobField)
    bool IsBlob() const override { return true; }

    // Set by the dataset's blob stream when content was written and not yet stored.
    bool GetModified() const { return FModified; }
    void SetModified(bool modified) { FModified = modified; }
    int64_t GetBlobSize() const;
    bool IsNull() const override;
    // Writes an empty content.
    void Clear() override;
    void LoadFromStream(TStream& stream);
    void SaveToStream(TStream& stream) const;

protected:
    std::string GetAsStringImpl() const override;
    void SetAsStringImpl(const std::string& value) override;
    Variant GetAsVariantImpl() const override;
    void SetAsVariantImpl(const Variant& value) override;

private:
    bool FModified = false;
};

// Text large objects (ftMemo, ftFmtMemo).
class TMemoField : public TBlobField {
public:
    explicit TMemoField(TComponent* owner = nullptr, TFieldType type = ftMemo);
    ZAN_CLASS(TMemoField)
};

// The default field class of a type, as a new field owned by owner; nullptr for a type without
// one (the storable types have one).
TField* CreateFieldOfType(TFieldType type, TComponent* owner);

// The fields of a dataset, in order. The list does not own them: default fields belong to the
// dataset as components, persistent ones to their owner.
class TFields : public TObject {
public:
    explicit TFields(TDataSet* dataSet) : FDataSet(dataSet) {}
    TFields(const TFields&) = delete;
    TFields& operator=(const TFields&) = delete;
    ZAN_CLASS(TFields)

    int Count() const { return static_cast<int>(FList.size()); }
    // EListError for an index out of range.
    TField* Fields(int index) const;
    TField* operator[](int index) const { return Fields(index); }
    int IndexOf(const TField* field) const;
    // The field of that name (ASCII case ignored), or nullptr.
    TField* FindField(const std::string& name) const;
    // EDatabaseError "Field '<name>' not found" when there is none.
    TField* FieldByName(const std::string& name) const;
    // The field with that 1-based field number, or nullptr.
    TField* FindFieldByNumber(int32_t fieldNo) const;
    TDataSet* GetDataSet() const { return FDataSet; }

private:
    friend class TField;
    friend class TDataSet;
    void Add(TField* field);
    void Remove(TField* field);

    TDataSet* FDataSet;
    std::vector<TField*> FList;
};

} // namespace zan
