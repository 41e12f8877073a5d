#include "host/db/DB.h"

void DatabaseError(const std::string& message, const TComponent* component) {
    if (component && !component->GetName().empty())
        throw EDatabaseError(component->GetName() + ": " + message);
    throw EDatabaseError(message);
}

std::string_view FieldTypeName(TFieldType type) {
    static constexpr std::string_view names[FieldTypeCount] = {
        "ftUnknown",   "ftString",      "ftSmallint",  "ftInteger",   "ftWord",
        "ftBoolean",   "ftFloat",       "ftCurrency",  "ftBCD",       "ftDate",
        "ftTime",      "ftDateTime",    "ftBytes",     "ftVarBytes",  "ftAutoInc",
        "ftBlob",      "ftMemo",        "ftGraphic",   "ftFmtMemo",   "ftParadoxOle",
        "ftDBaseOle",  "ftTypedBinary", "ftCursor",    "ftFixedChar", "ftWideString",
        "ftLargeint",  "ftADT",         "ftArray",     "ftReference", "ftDataSet",
        "ftOraBlob",   "ftOraClob",     "ftVariant",   "ftInterface", "ftIDispatch",
        "ftGuid",      "ftTimeStamp",   "ftFMTBcd"};
    return static_cast<int>(type) < FieldTypeCount ? names[type] : names[0];
}
