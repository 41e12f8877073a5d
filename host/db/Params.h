// Parameters: named values handed to a statement, each with a data type that is set explicitly
// or inferred from the first value assigned.
#pragma once

#include <string>

#include "host/db/DB.h"
#include "host/rtl/Collections.h"
#include "host/rtl/ComponentText.h"
#include "host/rtl/Variants.h"

namespace zan {

class TParam : public TCollectionItem {
public:
    TParam() = default;
    ZAN_CLASS(TParam)
    // Streamed in the component text form: Name, DataType, ParamType, Bound and Value.
    ZAN_PROPERTIES(TParam)

    const std::string& GetName() const { return FName; }
    void SetName(const std::string& name) { FName = name; }
    // ftUnknown until set or inferred from a value.
    TFieldType GetDataType() const { return FDataType; }
    void SetDataType(TFieldType type) { FDataType = type; }
    TParamType GetParamType() const { return FParamType; }
    void SetParamType(TParamType type) { FParamType = type; }
    // Whether a value was given (Bound is true after any non-Empty value).
    bool GetBound() const { return FBound; }
    void SetBound(bool bound) { FBound = bound; }

    const Variant& GetValue() const { return FValue; }
    // With DataType ftUnknown the type is inferred from the value: Smallint -> ftSmallint,
    // Integer -> ftInteger, Currency -> ftCurrency, Int64 -> ftLargeint, Double -> ftFloat,
    // Date -> ftDateTime, Boolean -> ftBoolean, String -> ftString.
    void SetValue(const Variant& value);
    // A value read from component text, converted to the kind of DataType (a number becomes a
    // date for the date and time types, a currency for ftCurrency); Bound and DataType stay.
    // EDatabaseError when the value does not fit DataType.
    void LoadValue(const Variant& value);
    bool IsNull() const { return VarIsNull(FValue) || VarIsEmpty(FValue); }
    // Drops the value (Null), keeping name and type.
    void Clear() { FValue = Null(); }

    // Typed access; each setter also sets DataType.
    std::string GetAsString() const { return IsNull() ? std::string() : FValue.AsString(); }
    void SetAsString(const std::string& value) { SetTyped(ftString, Variant(value)); }
    int32_t GetAsInteger() const { return IsNull() ? 0 : FValue.AsInteger(); }
    void SetAsInteger(int32_t value) { SetTyped(ftInteger, Variant(value)); }
    int16_t GetAsSmallInt() const { return static_cast<int16_t>(GetAsInteger()); }
    void SetAsSmallInt(int16_t value) { SetTyped(ftSmallint, Variant(value)); }
    double GetAsFloat() const { return IsNull() ? 0 : FValue.AsDouble(); }
    void SetAsFloat(double value) { SetTyped(ftFloat, Variant(value)); }
    Currency GetAsCurrency() const { return IsNull() ? Currency() : FValue.AsCurrency(); }
    void SetAsCurrency(Currency value) { SetTyped(ftCurrency, Variant(value)); }
    bool GetAsBoolean() const { return !IsNull() && FValue.AsBoolean(); }
    void SetAsBoolean(bool value) { SetTyped(ftBoolean, Variant(value)); }
    TDateTime GetAsDateTime() const { return IsNull() ? 0 : FValue.AsDateTime(); }
    void SetAsDateTime(TDateTime value) { SetTyped(ftDateTime, VarFromDateTime(value)); }
    std::string GetAsMemo() const { return GetAsString(); }
    void SetAsMemo(const std::string& value) { SetTyped(ftMemo, Variant(value)); }

    // Copies name, types, value and Bound of another parameter.
    void Assign(const TCollectionItem& source) override;
    // Takes a field's name, type (autoinc as integer, memo kinds as memo) and value; Bound.
    void AssignField(const TField& field);

private:
    void SetTyped(TFieldType type, const Variant& value);

    std::string FName;
    TFieldType FDataType = ftUnknown;
    TParamType FParamType = ptUnknown;
    Variant FValue;
    bool FBound = false;
};

// The parameters of a statement, owned by it.
class TParams : public TCollectionT<TParam, TOwnedCollection> {
public:
    explicit TParams(TObject* owner = nullptr) : TCollectionT(owner) {}
    ZAN_CLASS(TParams)

    TParam* CreateParam(TFieldType type, const std::string& name, TParamType paramType);
    // Adds a copy of param.
    TParam* AddParam(const TParam& param);
    // The parameter of that name (ASCII case ignored), or nullptr.
    TParam* FindParam(const std::string& name) const;
    // EDatabaseError "Parameter '<name>' not found" when there is none.
    TParam* ParamByName(const std::string& name) const;
    TParam* operator[](int index) const { return Items(index); }
};

} // namespace zan
