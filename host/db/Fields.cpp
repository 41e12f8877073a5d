#include "host/db/Fields.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "host/db/DataSet.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

// Sets a flag for the lifetime of the scope.
class TFlagGuard {
public:
    explicit TFlagGuard(bool& flag) : FFlag(flag) { FFlag = true; }
    ~TFlagGuard() { FFlag = false; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

private:
    bool& FFlag;
};

// The longest prefix of text of at most maxBytes bytes that does not split a UTF-8 character.
size_t Utf8Prefix(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    size_t n = maxBytes;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    return n;
}

std::string ReadAll(TStream& stream) {
    std::string text;
    stream.SetPosition(0);
    char chunk[4096];
    for (;;) {
        int32_t n = stream.Read(chunk, sizeof chunk);
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

// --- TField
// ---------------------------------------------------------------------------------------

TField::TField(TComponent* owner) : TComponent(owner) {}

TField::~TField() {
    if (!FDataSet) return;
    TDataSet* dataSet = FDataSet;
    dataSet->GetFields().Remove(this);
    FDataSet = nullptr;
    // An open dataset is closed first, as the framework does: closing sends deUpdateState, so
    // its links go inactive and forget their fields (a master link would keep this one).
    if (dataSet->GetActive()) {
        try {
            dataSet->Close();
        } catch (...) {
            // A destructor cannot report the failure; the field is detached all the same.
        }
    }
}

void TField::SetFieldName(const std::string& name) {
    if (FDataSet) {
        TField* other = FDataSet->FindField(name);
        if (other && other != this) DatabaseErrorFmt(SDuplicateFieldName, {name}, FDataSet);
    }
    FFieldName = name;
}

std::string TField::GetDisplayName() const {
    return FDisplayLabel.empty() ? FFieldName : FDisplayLabel;
}

void TField::SetSize(int32_t size) {
    if (FDataSet && FDataSet->GetActive()) DatabaseError(std::string(SDataSetOpen), FDataSet);
    FSize = size;
}

void TField::SetFieldKind(TFieldKind kind) {
    if (FDataSet && FDataSet->GetActive()) DatabaseError(std::string(SDataSetOpen), FDataSet);
    FFieldKind = kind;
}

int TField::GetIndex() const {
    return FDataSet ? FDataSet->GetFields().IndexOf(this) : -1;
}

void TField::SetDataSet(TDataSet* dataSet) {
    if (dataSet == FDataSet) return;
    if (FDataSet && FDataSet->GetActive()) DatabaseError(std::string(SDataSetOpen), FDataSet);
    if (dataSet) {
        if (dataSet->GetActive()) DatabaseError(std::string(SDataSetOpen), dataSet);
        if (dataSet->FindField(FFieldName))
            DatabaseErrorFmt(SDuplicateFieldName, {FFieldName}, dataSet);
    }
    if (FDataSet) FDataSet->GetFields().Remove(this);
    FDataSet = dataSet;
    if (dataSet) dataSet->GetFields().Add(this);
}

TDataSet* TField::CheckDataSet() const {
    if (!FDataSet) DatabaseErrorFmt(SDataSetMissing, {GetDisplayName()});
    return FDataSet;
}

bool TField::GetData(void* buffer) const {
    if (FValidating) {
        if (!FValidateBuffer) return false;
        if (buffer) {
            if (FDataType == ftString) {
                auto* source = static_cast<const char*>(FValidateBuffer);
                size_t length = FValidateLength >= 0
                                    ? static_cast<size_t>(FValidateLength)
                                    : strnlen(source, static_cast<size_t>(FSize) + 1);
                length = std::min(length, static_cast<size_t>(FSize));
                std::memcpy(buffer, source, length);
                static_cast<char*>(buffer)[length] = 0;
            } else {
                std::memcpy(buffer, FValidateBuffer, static_cast<size_t>(GetDataSize()));
            }
        }
        return true;
    }
    return CheckDataSet()->GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer, int32_t length) {
    TDataSet* dataSet = CheckDataSet();
    TDataSetState state = dataSet->GetState();
    if (!IsWriteMode(state)) DatabaseError(std::string(SNotEditing), dataSet);
    if (FFieldKind == fkData && FReadOnly && state != dsSetKey && state != dsFilter)
        DatabaseErrorFmt(SFieldReadOnly, {GetDisplayName()}, dataSet);
    dataSet->SetFieldData(this, buffer, length);
}

void TField::Validate(const void* buffer, int32_t length) {
    if (!OnValidate) return;
    FValidateBuffer = buffer;
    FValidateLength = length;
    TFlagGuard guard(FValidating);
    OnValidate(this);
}

void TField::Change() {
    if (OnChange) OnChange(this);
}

void TField::AccessError(const char* typeName) const {
    DatabaseErrorFmt(SFieldAccessError, {GetDisplayName(), typeName});
}

std::string TField::GetAsStringImpl() const {
    AccessError("String");
}
void TField::SetAsStringImpl(const std::string&) {
    AccessError("String");
}
int32_t TField::GetAsIntegerImpl() const {
    AccessError("Integer");
}
void TField::SetAsIntegerImpl(int32_t) {
    AccessError("Integer");
}
double TField::GetAsFloatImpl() const {
    AccessError("Float");
}
void TField::SetAsFloatImpl(double) {
    AccessError("Float");
}
Currency TField::GetAsCurrencyImpl() const {
    return Currency::FromDouble(GetAsFloatImpl());
}
void TField::SetAsCurrencyImpl(Currency value) {
    SetAsFloatImpl(value.ToDouble());
}
bool TField::GetAsBooleanImpl() const {
    AccessError("Boolean");
}
void TField::SetAsBooleanImpl(bool) {
    AccessError("Boolean");
}
TDateTime TField::GetAsDateTimeImpl() const {
    AccessError("DateTime");
}
void TField::SetAsDateTimeImpl(TDateTime) {
    AccessError("DateTime");
}
Variant TField::GetAsVariantImpl() const {
    AccessError("Variant");
}
void TField::SetAsVariantImpl(const Variant&) {
    AccessError("Variant");
}

Variant TField::GetAsVariant() const {
    if (IsNull()) return Null();
    return GetAsVariantImpl();
}

void TField::SetAsVariant(const Variant& value) {
    if (VarIsNull(value) || VarIsEmpty(value))
        Clear();
    else
        SetAsVariantImpl(value);
}

bool TField::IsNull() const {
    return !GetData(nullptr);
}

void TField::Clear() {
    SetData(nullptr);
}

void TField::Assign(const TField& source) {
    if (&source == this) return;
    if (source.IsNull())
        Clear();
    else
        SetAsVariant(source.GetAsVariant());
}

// --- TStringField
// ---------------------------------------------------------------------------------

TStringField::TStringField(TComponent* owner) : TField(owner) {
    SetDataType(ftString);
    SetSize(20);
}

std::string TStringField::GetAsStringImpl() const {
    std::vector<char> buffer(static_cast<size_t>(GetSize()) + 2, 0);
    if (!GetData(buffer.data())) return {};
    return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

void TStringField::SetAsStringImpl(const std::string& value) {
    size_t length = Utf8Prefix(value, static_cast<size_t>(std::max(GetSize(), 0)));
    std::string data = value.substr(0, length);
    SetData(data.c_str(), static_cast<int32_t>(length));
}

int32_t TStringField::GetAsIntegerImpl() const {
    std::string text = Trim(GetAsStringImpl());
    return text.empty() ? 0 : StrToInt(text);
}
void TStringField::SetAsIntegerImpl(int32_t value) {
    SetAsStringImpl(IntToStr(value));
}
double TStringField::GetAsFloatImpl() const {
    std::string text = Trim(GetAsStringImpl());
    return text.empty() ? 0 : StrToFloat(text);
}
void TStringField::SetAsFloatImpl(double value) {
    SetAsStringImpl(FloatToStr(value));
}
Currency TStringField::GetAsCurrencyImpl() const {
    return Currency::FromDouble(GetAsFloatImpl());
}
bool TStringField::GetAsBooleanImpl() const {
    std::string text = GetAsStringImpl();
    return !text.empty() && std::strchr("TtYy", text[0]) != nullptr;
}
void TStringField::SetAsBooleanImpl(bool value) {
    SetAsStringImpl(value ? "True" : "False");
}
TDateTime TStringField::GetAsDateTimeImpl() const {
    return StrToDateTime(GetAsStringImpl());
}
void TStringField::SetAsDateTimeImpl(TDateTime value) {
    SetAsStringImpl(DateTimeToStr(value));
}
Variant TStringField::GetAsVariantImpl() const {
    return Variant(GetAsStringImpl());
}
void TStringField::SetAsVariantImpl(const Variant& value) {
    SetAsStringImpl(value.AsString());
}

// --- Integer fields
// -------------------------------------------------------------------------------

TIntegerField::TIntegerField(TComponent* owner)
    : TIntegerField(owner, ftInteger, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()) {}

TIntegerField::TIntegerField(TComponent* owner, TFieldType type, int64_t minValue, int64_t maxValue)
    : TField(owner), FMinValue(minValue), FMaxValue(maxValue) {
    SetDataType(type);
}

TSmallintField::TSmallintField(TComponent* owner)
    : TIntegerField(owner, ftSmallint, std::numeric_limits<int16_t>::min(),
                    std::numeric_limits<int16_t>::max()) {}

TWordField::TWordField(TComponent* owner)
    : TIntegerField(owner, ftWord, 0, std::numeric_limits<uint16_t>::max()) {}

TAutoIncField::TAutoIncField(TComponent* owner)
    : TIntegerField(owner, ftAutoInc, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()) {}

bool TIntegerField::ReadValue(int64_t& value) const {
    unsigned char data[8] = {};
    if (!GetData(data)) return false;
    switch (GetDataType()) {
    case ftSmallint: {
        int16_t v;
        std::memcpy(&v, data, sizeof v);
        value = v;
        break;
    }
    case ftWord: {
        uint16_t v;
        std::memcpy(&v, data, sizeof v);
        value = v;
        break;
    }
    default: {
        int32_t v;
        std::memcpy(&v, data, sizeof v);
        value = v;
        break;
    }
    }
    return true;
}

void TIntegerField::WriteValue(int64_t value) {
    if (value < FMinValue || value > FMaxValue)
        DatabaseErrorFmt(SFieldRangeError, {IntToStr(value), GetDisplayName(), IntToStr(FMinValue),
                                            IntToStr(FMaxValue)});
    unsigned char data[8] = {};
    switch (GetDataType()) {
    case ftSmallint: {
        auto v = static_cast<int16_t>(value);
        std::memcpy(data, &v, sizeof v);
        break;
    }
    case ftWord: {
        auto v = static_cast<uint16_t>(value);
        std::memcpy(data, &v, sizeof v);
        break;
    }
    default: {
        auto v = static_cast<int32_t>(value);
        std::memcpy(data, &v, sizeof v);
        break;
    }
    }
    SetData(data);
}

std::string TIntegerField::GetAsStringImpl() const {
    int64_t value;
    return ReadValue(value) ? IntToStr(value) : std::string();
}
void TIntegerField::SetAsStringImpl(const std::string& value) {
    std::string text = Trim(value);
    if (text.empty()) {
        Clear();
        return;
    }
    int64_t number;
    if (!TryStrToInt64(text, number))
        DatabaseErrorFmt(SInvalidFieldValue, {value, GetDisplayName()});
    WriteValue(number);
}
int32_t TIntegerField::GetAsIntegerImpl() const {
    int64_t value = 0;
    ReadValue(value);
    return static_cast<int32_t>(value);
}
void TIntegerField::SetAsIntegerImpl(int32_t value) {
    WriteValue(value);
}
double TIntegerField::GetAsFloatImpl() const {
    return GetAsIntegerImpl();
}
void TIntegerField::SetAsFloatImpl(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 9.2e18)
        DatabaseErrorFmt(SInvalidFieldValue, {FloatToStr(value), GetDisplayName()});
    WriteValue(Round(value));
}
Currency TIntegerField::GetAsCurrencyImpl() const {
    return Currency::FromScaled(static_cast<int64_t>(GetAsIntegerImpl()) * 10000);
}
void TIntegerField::SetAsCurrencyImpl(Currency value) {
    SetAsFloatImpl(value.ToDouble());
}
bool TIntegerField::GetAsBooleanImpl() const {
    return GetAsIntegerImpl() != 0;
}
void TIntegerField::SetAsBooleanImpl(bool value) {
    WriteValue(value ? 1 : 0);
}
Variant TIntegerField::GetAsVariantImpl() const {
    int64_t value = 0;
    ReadValue(value);
    if (GetDataType() == ftSmallint) return Variant(static_cast<int16_t>(value));
    return Variant(static_cast<int32_t>(value));
}
void TIntegerField::SetAsVariantImpl(const Variant& value) {
    if (value.Type() == varDouble || value.Type() == varCurrency)
        SetAsFloatImpl(value.AsDouble());
    else if (value.Type() == varString)
        SetAsStringImpl(value.AsString());
    else
        WriteValue(value.AsInt64());
}

// --- TBooleanField
// --------------------------------------------------------------------------------

TBooleanField::TBooleanField(TComponent* owner) : TField(owner) {
    SetDataType(ftBoolean);
}

std::string TBooleanField::GetAsStringImpl() const {
    uint8_t data = 0;
    if (!GetData(&data)) return {};
    return data != 0 ? "True" : "False";
}
void TBooleanField::SetAsStringImpl(const std::string& value) {
    std::string text = Trim(value);
    if (text.empty()) {
        Clear();
    } else if (SameText(text, "True") || SameText(text, "T") || SameText(text, "Yes") ||
               SameText(text, "Y")) {
        SetAsBooleanImpl(true);
    } else if (SameText(text, "False") || SameText(text, "F") || SameText(text, "No") ||
               SameText(text, "N")) {
        SetAsBooleanImpl(false);
    } else {
        DatabaseErrorFmt(SInvalidFieldValue, {value, GetDisplayName()});
    }
}
int32_t TBooleanField::GetAsIntegerImpl() const {
    return GetAsBooleanImpl() ? 1 : 0;
}
void TBooleanField::SetAsIntegerImpl(int32_t value) {
    SetAsBooleanImpl(value != 0);
}
bool TBooleanField::GetAsBooleanImpl() const {
    uint8_t data = 0;
    return GetData(&data) && data != 0;
}
void TBooleanField::SetAsBooleanImpl(bool value) {
    // Always 1 for True, whatever path the value took, so that keys built from it match.
    uint8_t data = value ? 1 : 0;
    SetData(&data);
}
Variant TBooleanField::GetAsVariantImpl() const {
    return Variant(GetAsBooleanImpl());
}
void TBooleanField::SetAsVariantImpl(const Variant& value) {
    if (value.Type() == varString)
        SetAsStringImpl(value.AsString());
    else
        SetAsBooleanImpl(value.AsBoolean());
}

// --- Float and currency fields
// --------------------------------------------------------------------

TFloatField::TFloatField(TComponent* owner) : TField(owner) {
    SetDataType(ftFloat);
}

TCurrencyField::TCurrencyField(TComponent* owner) : TFloatField(owner) {
    SetDataType(ftCurrency);
}

bool TFloatField::ReadValue(double& value) const {
    value = 0;
    return GetData(&value);
}

void TFloatField::WriteValue(double value) {
    if (!std::isfinite(value))
        DatabaseErrorFmt(SInvalidFieldValue, {FloatToStr(value), GetDisplayName()});
    SetData(&value);
}

std::string TFloatField::GetAsStringImpl() const {
    double value;
    return ReadValue(value) ? FloatToStr(value) : std::string();
}
void TFloatField::SetAsStringImpl(const std::string& value) {
    std::string text = Trim(value);
    if (text.empty()) {
        Clear();
        return;
    }
    double number;
    if (!TryStrToFloat(text, number))
        DatabaseErrorFmt(SInvalidFieldValue, {value, GetDisplayName()});
    WriteValue(number);
}
int32_t TFloatField::GetAsIntegerImpl() const {
    double value;
    ReadValue(value);
    int64_t rounded = Round(value);
    if (rounded < std::numeric_limits<int32_t>::min() ||
        rounded > std::numeric_limits<int32_t>::max())
        AccessError("Integer");
    return static_cast<int32_t>(rounded);
}
void TFloatField::SetAsIntegerImpl(int32_t value) {
    WriteValue(value);
}
double TFloatField::GetAsFloatImpl() const {
    double value;
    ReadValue(value);
    return value;
}
void TFloatField::SetAsFloatImpl(double value) {
    WriteValue(value);
}
Currency TFloatField::GetAsCurrencyImpl() const {
    return Currency::FromDouble(GetAsFloatImpl());
}
void TFloatField::SetAsCurrencyImpl(Currency value) {
    WriteValue(value.ToDouble());
}
Variant TFloatField::GetAsVariantImpl() const {
    return Variant(GetAsFloatImpl());
}
void TFloatField::SetAsVariantImpl(const Variant& value) {
    if (value.Type() == varString)
        SetAsStringImpl(value.AsString());
    else
        WriteValue(value.AsDouble());
}

Variant TCurrencyField::GetAsVariantImpl() const {
    return Variant(Currency::FromDouble(GetAsFloatImpl()));
}

// --- Date and time fields
// -------------------------------------------------------------------------

TDateTimeField::TDateTimeField(TComponent* owner) : TDateTimeField(owner, ftDateTime) {}

TDateTimeField::TDateTimeField(TComponent* owner, TFieldType type) : TField(owner) {
    SetDataType(type);
}

TDateField::TDateField(TComponent* owner) : TDateTimeField(owner, ftDate) {}

TTimeField::TTimeField(TComponent* owner) : TDateTimeField(owner, ftTime) {}

TDateTime TDateTimeField::Normalize(TDateTime value) const {
    // Split into the day and the time of day rounded to the millisecond first (a time that
    // rounds to a full day is midnight of the next day, on both sides of 1899-12-30), then
    // require a day the calendar routines can show: 0001-01-01 .. 9999-12-31.
    double day = 0;
    int64_t ms = 0;
    if (std::isfinite(value)) {
        day = std::trunc(value);
        ms = Round(std::fabs(value - day) * static_cast<double>(MSecsPerDay));
        if (ms >= MSecsPerDay) {
            ms -= MSecsPerDay;
            day += 1;
        }
    }
    if (!std::isfinite(value) || day < std::trunc(MinDateTime) || day > std::trunc(MaxDateTime))
        DatabaseErrorFmt(SInvalidFieldValue, {FloatToStr(value), GetDisplayName()});
    double time = static_cast<double>(ms) / static_cast<double>(MSecsPerDay);
    switch (GetDataType()) {
    case ftDate:
        return day;
    case ftTime:
        return time;
    default:
        return day < 0 ? day - time : day + time;
    }
}

std::string TDateTimeField::GetAsStringImpl() const {
    TDateTime value = 0;
    if (!GetData(&value)) return {};
    switch (GetDataType()) {
    case ftDate:
        return DateToStr(value);
    case ftTime:
        return TimeToStr(value);
    default:
        return DateTimeToStr(value);
    }
}
void TDateTimeField::SetAsStringImpl(const std::string& value) {
    std::string text = Trim(value);
    if (text.empty()) {
        Clear();
        return;
    }
    TDateTime parsed = 0;
    bool ok = false;
    switch (GetDataType()) {
    case ftDate:
        ok = TryStrToDate(text, parsed);
        break;
    case ftTime:
        ok = TryStrToTime(text, parsed);
        break;
    default:
        ok = TryStrToDateTime(text, parsed) || TryStrToDate(text, parsed);
        break;
    }
    if (!ok) DatabaseErrorFmt(SInvalidFieldValue, {value, GetDisplayName()});
    SetAsDateTimeImpl(parsed);
}
double TDateTimeField::GetAsFloatImpl() const {
    return GetAsDateTimeImpl();
}
void TDateTimeField::SetAsFloatImpl(double value) {
    SetAsDateTimeImpl(value);
}
TDateTime TDateTimeField::GetAsDateTimeImpl() const {
    TDateTime value = 0;
    GetData(&value);
    return value;
}
void TDateTimeField::SetAsDateTimeImpl(TDateTime value) {
    TDateTime stored = Normalize(value);
    SetData(&stored);
}
Variant TDateTimeField::GetAsVariantImpl() const {
    return VarFromDateTime(GetAsDateTimeImpl());
}
void TDateTimeField::SetAsVariantImpl(const Variant& value) {
    if (value.Type() == varString)
        SetAsStringImpl(value.AsString());
    else
        SetAsDateTimeImpl(value.AsDateTime());
}

// --- TBytesField
// ----------------------------------------------------------------------------------

TBytesField::TBytesField(TComponent* owner) : TField(owner) {
    SetDataType(ftBytes);
    SetSize(16);
}

std::string TBytesField::GetAsStringImpl() const {
    std::string data(static_cast<size_t>(std::max(GetSize(), 0)), '\0');
    if (!GetData(data.data())) return {};
    return data;
}
void TBytesField::SetAsStringImpl(const std::string& value) {
    std::string data(static_cast<size_t>(std::max(GetSize(), 0)), '\0');
    std::memcpy(data.data(), value.data(), std::min(value.size(), data.size()));
    SetData(data.data());
}
Variant TBytesField::GetAsVariantImpl() const {
    return Variant(GetAsStringImpl());
}
void TBytesField::SetAsVariantImpl(const Variant& value) {
    SetAsStringImpl(value.AsString());
}

// --- Blob fields
// ----------------------------------------------------------------------------------

TBlobField::TBlobField(TComponent* owner) : TBlobField(owner, ftBlob) {}

TBlobField::TBlobField(TComponent* owner, TFieldType type) : TField(owner) {
    SetDataType(type);
}

TMemoField::TMemoField(TComponent* owner, TFieldType type) : TBlobField(owner, type) {}

int64_t TBlobField::GetBlobSize() const {
    auto stream = CheckDataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
    return stream ? stream->GetSize() : 0;
}

bool TBlobField::IsNull() const {
    if (FModified) return GetBlobSize() == 0;
    return TField::IsNull();
}

void TBlobField::Clear() {
    auto stream = CheckDataSet()->CreateBlobStream(this, bmWrite);
    if (!stream) AccessError("Blob");
}

void TBlobField::LoadFromStream(TStream& stream) {
    auto blob = CheckDataSet()->CreateBlobStream(this, bmWrite);
    if (!blob) AccessError("Blob");
    stream.SetPosition(0);
    blob->CopyFrom(stream, 0);
}

void TBlobField::SaveToStream(TStream& stream) const {
    auto blob = CheckDataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
    if (!blob) return;
    blob->SetPosition(0);
    if (blob->GetSize() > 0) stream.CopyFrom(*blob, 0);
}

std::string TBlobField::GetAsStringImpl() const {
    auto stream = CheckDataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
    return stream ? ReadAll(*stream) : std::string();
}

void TBlobField::SetAsStringImpl(const std::string& value) {
    auto stream = CheckDataSet()->CreateBlobStream(this, bmWrite);
    if (!stream) AccessError("Blob");
    if (!value.empty()) stream->WriteBuffer(value.data(), static_cast<int32_t>(value.size()));
}

Variant TBlobField::GetAsVariantImpl() const {
    return Variant(GetAsStringImpl());
}

void TBlobField::SetAsVariantImpl(const Variant& value) {
    SetAsStringImpl(value.AsString());
}

// --- Creation by type
// -----------------------------------------------------------------------------

TField* CreateFieldOfType(TFieldType type, TComponent* owner) {
    switch (type) {
    case ftString:
        return new TStringField(owner);
    case ftSmallint:
        return new TSmallintField(owner);
    case ftInteger:
        return new TIntegerField(owner);
    case ftWord:
        return new TWordField(owner);
    case ftBoolean:
        return new TBooleanField(owner);
    case ftFloat:
        return new TFloatField(owner);
    case ftCurrency:
        return new TCurrencyField(owner);
    case ftDate:
        return new TDateField(owner);
    case ftTime:
        return new TTimeField(owner);
    case ftDateTime:
        return new TDateTimeField(owner);
    case ftBytes:
        return new TBytesField(owner);
    case ftAutoInc:
        return new TAutoIncField(owner);
    case ftBlob:
        return new TBlobField(owner);
    case ftGraphic:
        return new TBlobField(owner, ftGraphic);
    case ftMemo:
        return new TMemoField(owner);
    case ftFmtMemo:
        return new TMemoField(owner, ftFmtMemo);
    default:
        return nullptr;
    }
}

TField* TFieldDef::CreateField(TComponent* owner) {
    std::unique_ptr<TField> field(CreateFieldOfType(FDataType, owner));
    if (!field) DatabaseErrorFmt(SUnknownFieldType, {FName});
    field->SetFieldName(FName);
    if (FDataType == ftString || FDataType == ftBytes) field->SetSize(FSize);
    field->SetRequired(FRequired);
    field->SetFieldNo(FFieldNo);
    if (FOwner) field->SetDataSet(FOwner->GetDataSet());
    return field.release();
}

// --- TFields
// --------------------------------------------------------------------------------------

TField* TFields::Fields(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return FList[static_cast<size_t>(index)];
}

int TFields::IndexOf(const TField* field) const {
    auto it = std::find(FList.begin(), FList.end(), field);
    return it == FList.end() ? -1 : static_cast<int>(it - FList.begin());
}

TField* TFields::FindField(const std::string& name) const {
    for (TField* field : FList)
        if (SameTextASCII(field->GetFieldName(), name)) return field;
    return nullptr;
}

TField* TFields::FieldByName(const std::string& name) const {
    TField* field = FindField(name);
    if (!field) DatabaseErrorFmt(SFieldNotFound, {name}, FDataSet);
    return field;
}

TField* TFields::FindFieldByNumber(int32_t fieldNo) const {
    for (TField* field : FList)
        if (field->GetFieldNo() == fieldNo) return field;
    return nullptr;
}

void TFields::Add(TField* field) {
    FList.push_back(field);
}

void TFields::Remove(TField* field) {
    auto it = std::find(FList.begin(), FList.end(), field);
    if (it == FList.end()) return;
    FList.erase(it);
    if (FDataSet) FDataSet->FieldRemoved(field);
}

} // namespace zan
