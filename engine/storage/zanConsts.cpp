#include "engine/storage/zanConsts.h"

#include "engine/storage/zanCommon.h"

namespace zan {

const ZanErr C_ZANERRORS[C_ZANERRORCOUNT] = {
#include "engine/storage/zan_error_table.inc"
};

const TZanResString C_ZANRESSTRINGS[C_ZANRESSTRINGCOUNT] = {
#define ZAN_RESSTRING(id, name, text) {id, #name, name},
#include "engine/storage/zan_resstrings.inc"
#undef ZAN_RESSTRING
};

const ZanErr& FindZanErr(int32_t code) {
    for (int i = 1; i < C_ZANERRORCOUNT - 1; ++i)
        if (C_ZANERRORS[i].Code == code) return C_ZANERRORS[i];
    return C_ZANERRORS[0];
}

std::string_view LoadResString(int32_t id) {
    for (const auto& r : C_ZANRESSTRINGS)
        if (r.Id == id) return r.Text;
    return {};
}

EZanDatabaseError::EZanDatabaseError(int32_t code, const TObject* object,
                                     const std::string& customMessage,
                                     const std::string& tableMessage)
    : EDatabaseError(customMessage.empty()
                         ? Format(SzanErrorAnonBaseMsg, code, tableMessage)
                         : Format(SzanErrorAnonCustomMsg, tableMessage, code, customMessage)),
      ErrorCode(code), ErrorMessage(tableMessage), ErrorObject(object) {}

namespace {

// The component name when the object is a named component, else its class name.
std::string ObjectName(const TObject* object) {
    if (!object) return {};
    if (auto* component = dynamic_cast<const TComponent*>(object);
        component && !component->GetName().empty())
        return component->GetName();
    return object->ClassName();
}

} // namespace

void ZanDatabaseError(int32_t code, std::string_view context, std::string_view customMessage,
                      const TObject* object) {
    const ZanErr& row = FindZanErr(code);
    std::string custom(customMessage);
    GDBLogger().LogItem(std::string(context),
                        Format("Exception:  Caller %20s ErrCode %5d [ErrContext %s]. CustomMsg %s",
                               ObjectName(object), row.Code, row.Message, custom));
    throw EZanDatabaseError(code, object, custom, row.Message);
}

void ZanDatabaseErrorFmt(int32_t code, std::string_view context, std::string_view format,
                         std::initializer_list<TVarRec> args, const TObject* object) {
    ZanDatabaseError(code, context, Format(format, args), object);
}

void ZanAssertionFailed(std::string_view text, const std::source_location& where) {
    std::string file = where.file_name();
    if (auto slash = file.find_last_of('/'); slash != std::string::npos) file.erase(0, slash + 1);
    ZanDatabaseError(8581, where.function_name(),
                     Format("%s (%s, line %d)", text, file, static_cast<int>(where.line())));
}

// ---- SQL vocabulary ------------------------------------------------------------------------

namespace {

constexpr std::string_view C_SQLTOKENNAMES[C_ZANSQLTOKENCOUNT] = {
    "zstUnknown",      "zstTableName",   "zstTableAlias",    "zstFieldName",
    "zstAscending",    "zstDescending",  "zstSelect",        "zstFrom",
    "zstWhere",        "zstGroupBy",     "zstHaving",        "zstUnion",
    "zstPlan",         "zstOrderBy",     "zstForUpdate",     "zstEnd",
    "zstPredicate",    "zstValue",       "zstStringLiteral", "zstIsNull",
    "zstIsNotNull",    "zstLike",        "zstAnd",           "zstOr",
    "zstNumber",       "zstComment",     "zstDistinct",      "zstComma",
    "zstLParen",       "zstRParen",      "zstAdd",           "zstSub",
    "zstMult",         "zstDiv",         "zstBetween",       "zstAS",
    "zstCase",         "zstWhen",        "zstThen",          "zstNullif",
    "zstCoalesce",     "zstJoin",        "zstInner",         "zstOuter",
    "zstLeft",         "zstRight",       "zstCross",         "zstNatural",
    "zstFull",         "zstAggFunc",     "zstFunc",          "zstDataType",
    "zstParameter",    "zstCast",        "zstNot",           "zstIn",
    "zstCompOperator", "zstNull",        "zstTrue",          "zstFalse",
    "zstStrFunc",      "zstFor",         "zstConcatenate",   "zstOn",
    "zstUsing",        "zstEscape",      "zstNotLike",       "zstNotBetween",
    "zstNotIn",        "zstChar",        "zstInt",           "zstSmallInt",
    "zstFloat",        "zstDate",        "zstTime",          "zstTimeStamp",
    "zstDecimal",      "zstVarChar",     "zstNumeric",       "zstBoolean",
    "zstMoney",        "zstBlob",        "zstExtract",       "zstYear",
    "zstMonth",        "zstDay",         "zstHour",          "zstMinute",
    "zstSecond",       "zstCurrentDate", "zstCurrentTime",   "zstCurrentTimestamp",
    "zstAll",          "zstExists",      "zstAny",           "zstSome",
    "zstInsert",       "zstInto",        "zstValues",        "zstDelete",
    "zstUpdate",       "zstSet",         "zstCreate",        "zstTable",
    "zstAddWord",      "zstDrop",        "zstAlter",         "zstColumn",
    "zstPrimaryKey",   "zstIndex",       "zstAutoInc",       "zstUnique",
    "zstType",         "zstTo",          "zstTemporary",
};

constexpr std::string_view C_EXPROPERATORNAMES[C_ZANEXPROPERATORCOUNT] = {
    "zeoNOTDEFINED", "zeoISBLANK", "zeoNOTBLANK", "zeoEQ",         "zeoNE",        "zeoGT",
    "zeoLT",         "zeoGE",      "zeoLE",       "zeoNOT",        "zeoAND",       "zeoOR",
    "zeoTUPLE2",     "zeoFIELD2",  "zeoCONST2",   "zeoMINUS",      "zeoADD",       "zeoSUB",
    "zeoMUL",        "zeoDIV",     "zeoMOD",      "zeoREM",        "zeoSUM",       "zeoCOUNT",
    "zeoMIN",        "zeoMAX",     "zeoAVG",      "zeoCONT",       "zeoUDF2",      "zeoCONTINUE2",
    "zeoLIKE",       "zeoIN",      "zeoLIST2",    "zeoUPPER",      "zeoLOWER",     "zeoFUNC2",
    "zeoLISTELEM2",  "zeoASSIGN",  "zeoSUBQUERY", "zeoOUTERFIELD", "zeoPARAMETER",
};

constexpr std::string_view C_EXPRNODEKINDNAMES[C_ZANEXPRNODEKINDCOUNT] = {
    "enkUnknown",         "enField",        "enConst",
    "enkParam",           "enkRelOperator", "enkArithOperator",
    "enkLogicalOperator", "enkFunc",        "enkNonRelPredicate",
    "enkSubquery",
};

} // namespace

TZanSQLTokens ZanSQLTokens(std::initializer_list<TZanSQLToken> tokens) {
    TZanSQLTokens set;
    for (TZanSQLToken t : tokens)
        set.set(t);
    return set;
}

bool IsSectionToken(TZanSQLToken token) {
    return (token >= zstSelect && token <= zstForUpdate) || token == zstInsert ||
           token == zstDelete || token == zstUpdate;
}

std::string_view ZanSQLTokenName(TZanSQLToken token) {
    return token < C_ZANSQLTOKENCOUNT ? C_SQLTOKENNAMES[token] : "?";
}

std::string_view ZanExprOperatorName(TZanExprOperator op) {
    return op < C_ZANEXPROPERATORCOUNT ? C_EXPROPERATORNAMES[op] : "?";
}

std::string_view ZanExprNodeKindName(int kind) {
    return kind >= 0 && kind < C_ZANEXPRNODEKINDCOUNT ? C_EXPRNODEKINDNAMES[kind] : "?";
}

} // namespace zan
