// The dataset framework: definitions shared by every dataset of the system.
#pragma once

#include <string>

#include "host/rtl/Classes.h"
#include "host/rtl/Exceptions.h"

// A failure of a dataset or a database.
ZAN_EXCEPTION_CLASS(EDatabaseError, Exception);

// Raises EDatabaseError; the message is prefixed "Name: " when the component has a name.
[[noreturn]] void DatabaseError(const std::string& message, const TComponent* component = nullptr);

#include <cstdint>
#include <string_view>

// Field types. The ordinals are stored in table definitions and compared by number: keep them.
enum TFieldType : uint8_t {
    ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
    ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
    ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString,
    ftLargeint, ftADT, ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob, ftVariant,
    ftInterface, ftIDispatch, ftGuid, ftTimeStamp, ftFMTBcd
};
inline constexpr int FieldTypeCount = ftFMTBcd + 1;

// The type's identifier as text ("ftString"); "ftUnknown" for an ordinal out of range.
std::string_view FieldTypeName(TFieldType type);
