#include "host/db/Params.h"

#include "host/db/Fields.h"
#include "host/rtl/Format.h"

namespace zan {

const TPropertyTable& TParam::Properties() {
    using T = TParam;
    static const TPropertyTable table =
        TPropertyTableOf<T>("TParam")
            .String("Name", &T::GetName, &T::SetName)
            .Enumeration("DataType", &T::GetDataType, &T::SetDataType, FieldTypeIdentifiers(),
                         ftUnknown)
            .Enumeration("ParamType", &T::GetParamType, &T::SetParamType,
                         {"ptUnknown", "ptInput", "ptOutput", "ptInputOutput", "ptResult"},
                         ptUnknown)
            .Boolean("Bound", &T::GetBound, &T::SetBound, false)
            .VariantValue("Value", &T::GetValue, &T::LoadValue);
    return table;
}

void TParam::LoadValue(const Variant& value) {
    const TVarType kind = value.Type();
    const bool number = kind == varSmallint || kind == varInteger || kind == varInt64 ||
                        kind == varDouble || kind == varCurrency;
    const bool integer = kind == varSmallint || kind == varInteger || kind == varInt64;
    auto refuse = [&]() {
        DatabaseError(Format("Invalid value %s for parameter '%s' of type %s", VarToStr(value),
                             FName, std::string(FieldTypeName(FDataType))));
    };
    if (kind == varNull || kind == varEmpty) {
        FValue = value;
        return;
    }
    try {
        switch (FDataType) {
        case ftUnknown:
            FValue = value;
            return;
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftLargeint: {
            if (!integer) refuse();
            int64_t v = value.AsInt64();
            if (FDataType == ftSmallint) {
                if (v < INT16_MIN || v > INT16_MAX) refuse();
                FValue = Variant(static_cast<int16_t>(v));
            } else if (FDataType == ftLargeint) {
                FValue = Variant(v);
            } else {
                if (v < INT32_MIN || v > INT32_MAX) refuse();
                FValue = Variant(static_cast<int32_t>(v));
            }
            return;
        }
        case ftFloat:
        case ftBCD:
        case ftFMTBcd:
            if (!number) refuse();
            FValue = Variant(value.AsDouble());
            return;
        case ftCurrency:
            if (!number) refuse();
            FValue = Variant(value.AsCurrency());
            return;
        case ftDate:
        case ftTime:
        case ftDateTime:
        case ftTimeStamp:
            if (!number) refuse();
            FValue = VarFromDateTime(value.AsDouble());
            return;
        case ftBoolean:
            if (kind != varBoolean) refuse();
            FValue = value;
            return;
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftMemo:
        case ftFmtMemo:
        case ftBlob:
        case ftGraphic:
        case ftBytes:
        case ftVarBytes:
            if (kind != varString) refuse();
            FValue = value;
            return;
        default:
            FValue = value;
            return;
        }
    } catch (const EVariantError&) {
        refuse();
    }
}

void TParam::SetValue(const Variant& value) {
    if (FDataType == ftUnknown) {
        switch (value.Type()) {
        case varSmallint:
            FDataType = ftSmallint;
            break;
        case varInteger:
            FDataType = ftInteger;
            break;
        case varCurrency:
            FDataType = ftCurrency;
            break;
        case varInt64:
            FDataType = ftLargeint;
            break;
        case varDouble:
            FDataType = ftFloat;
            break;
        case varDate:
            FDataType = ftDateTime;
            break;
        case varBoolean:
            FDataType = ftBoolean;
            break;
        case varString:
            FDataType = ftString;
            break;
        default:
            break;
        }
    }
    FValue = value;
    FBound = !VarIsEmpty(value);
}

void TParam::SetTyped(TFieldType type, const Variant& value) {
    FDataType = type;
    FValue = value;
    FBound = true;
}

void TParam::Assign(const TCollectionItem& source) {
    const auto* param = dynamic_cast<const TParam*>(&source);
    if (!param) {
        TCollectionItem::Assign(source);
        return;
    }
    if (param == this) return;
    FName = param->FName;
    FDataType = param->FDataType;
    FParamType = param->FParamType;
    FValue = param->FValue;
    FBound = param->FBound;
}

void TParam::AssignField(const TField& field) {
    TFieldType type = field.GetDataType();
    if (type == ftAutoInc) type = ftInteger;
    if (type == ftFmtMemo) type = ftMemo;
    FName = field.GetFieldName();
    FDataType = type;
    FValue = field.GetAsVariant();
    FBound = true;
}

TParam* TParams::CreateParam(TFieldType type, const std::string& name, TParamType paramType) {
    TParam* param = Add();
    param->SetName(name);
    param->SetDataType(type);
    param->SetParamType(paramType);
    return param;
}

TParam* TParams::AddParam(const TParam& param) {
    TParam* copy = Add();
    copy->Assign(param);
    return copy;
}

TParam* TParams::FindParam(const std::string& name) const {
    for (int i = 0; i < Count(); ++i)
        if (SameTextASCII(Items(i)->GetName(), name)) return Items(i);
    return nullptr;
}

TParam* TParams::ParamByName(const std::string& name) const {
    TParam* param = FindParam(name);
    if (!param) DatabaseErrorFmt(SParameterNotFound, {name}, dynamic_cast<TComponent*>(GetOwner()));
    return param;
}

} // namespace zan
