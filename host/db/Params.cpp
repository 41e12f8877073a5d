#include "host/db/Params.h"

#include "host/db/Fields.h"

namespace zan {

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
