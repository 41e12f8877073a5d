// The engine's error table, its user-visible texts and its one exception class.
#pragma once

#include <bitset>
#include <cstdint>
#include <initializer_list>
#include <source_location>
#include <string>
#include <string_view>

#include "host/db/DB.h"
#include "host/rtl/Format.h"

namespace zan {

// One row of the error table.
struct ZanErr {
    int32_t Code;
    const char* Message;
};

// Rows 0 and 317 are 65535 "Error code unknown"; rows 1-316 hold each engine code once.
inline constexpr int C_ZANERRORCOUNT = 318;
extern const ZanErr C_ZANERRORS[C_ZANERRORCOUNT];

// The row for a code: the first of rows 1-316 that carries it, else row 0.
const ZanErr& FindZanErr(int32_t code);

// The engine's user-visible texts, each with its fixed id.
#define ZAN_RESSTRING(id, name, text) inline constexpr std::string_view name = text;
#include "engine/storage/zan_resstrings.inc"
#undef ZAN_RESSTRING

struct TZanResString {
    int32_t Id;
    const char* Name;
    std::string_view Text;
};
inline constexpr int C_ZANRESSTRINGCOUNT = 108;
extern const TZanResString C_ZANRESSTRINGS[C_ZANRESSTRINGCOUNT];

// The text of a resource id; empty for an id that does not exist.
std::string_view LoadResString(int32_t id);

// The engine's one exception class.
class EZanDatabaseError : public EDatabaseError {
public:
    EZanDatabaseError(int32_t code, const TObject* object, const std::string& customMessage,
                      const std::string& tableMessage);
    const char* ClassName() const noexcept override { return "EZanDatabaseError"; }

    int32_t ErrorCode;          // the code as raised, even when the table does not know it
    std::string ErrorMessage;   // the message of the table row found
    const TObject* ErrorObject; // the object concerned; not owned
};

// Looks the code up, writes the trace line, raises EZanDatabaseError.
[[noreturn]] void ZanDatabaseError(int32_t code, std::string_view context,
                                   std::string_view customMessage = {},
                                   const TObject* object = nullptr);

// The same with the custom message built by Format.
[[noreturn]] void ZanDatabaseErrorFmt(int32_t code, std::string_view context,
                                      std::string_view format, std::initializer_list<TVarRec> args,
                                      const TObject* object = nullptr);

// Raises error 8581 (internal error) with "<text> (<file>, line <n>)" as the custom message.
[[noreturn]] void ZanAssertionFailed(std::string_view text, const std::source_location& where);

// Internal consistency check, active in every build.
inline void ZanAssert(bool condition, std::string_view text,
                      std::source_location where = std::source_location::current()) {
    if (!condition) ZanAssertionFailed(text, where);
}

// ---- SQL vocabulary ------------------------------------------------------------------------
// The enumerations shared by the SQL layer, the filters and the query layer. Their ordinals are
// fixed: token sets, the section test and the debug dumps depend on them.

enum TZanSQLToken : uint8_t {
    zstUnknown,
    zstTableName,
    zstTableAlias,
    zstFieldName,
    zstAscending,
    zstDescending,
    zstSelect,
    zstFrom,
    zstWhere,
    zstGroupBy,
    zstHaving,
    zstUnion,
    zstPlan,
    zstOrderBy,
    zstForUpdate,
    zstEnd,
    zstPredicate,
    zstValue,
    zstStringLiteral,
    zstIsNull,
    zstIsNotNull,
    zstLike,
    zstAnd,
    zstOr,
    zstNumber,
    zstComment,
    zstDistinct,
    zstComma,
    zstLParen,
    zstRParen,
    zstAdd,
    zstSub,
    zstMult,
    zstDiv,
    zstBetween,
    zstAS,
    zstCase,
    zstWhen,
    zstThen,
    zstNullif,
    zstCoalesce,
    zstJoin,
    zstInner,
    zstOuter,
    zstLeft,
    zstRight,
    zstCross,
    zstNatural,
    zstFull,
    zstAggFunc,
    zstFunc,
    zstDataType,
    zstParameter,
    zstCast,
    zstNot,
    zstIn,
    zstCompOperator,
    zstNull,
    zstTrue,
    zstFalse,
    zstStrFunc,
    zstFor,
    zstConcatenate,
    zstOn,
    zstUsing,
    zstEscape,
    zstNotLike,
    zstNotBetween,
    zstNotIn,
    zstChar,
    zstInt,
    zstSmallInt,
    zstFloat,
    zstDate,
    zstTime,
    zstTimeStamp,
    zstDecimal,
    zstVarChar,
    zstNumeric,
    zstBoolean,
    zstMoney,
    zstBlob,
    zstExtract,
    zstYear,
    zstMonth,
    zstDay,
    zstHour,
    zstMinute,
    zstSecond,
    zstCurrentDate,
    zstCurrentTime,
    zstCurrentTimestamp,
    zstAll,
    zstExists,
    zstAny,
    zstSome,
    zstInsert,
    zstInto,
    zstValues,
    zstDelete,
    zstUpdate,
    zstSet,
    zstCreate,
    zstTable,
    zstAddWord,
    zstDrop,
    zstAlter,
    zstColumn,
    zstPrimaryKey,
    zstIndex,
    zstAutoInc,
    zstUnique,
    zstType,
    zstTo,
    zstTemporary,
};
inline constexpr int C_ZANSQLTOKENCOUNT = 115;

// A set of tokens, indexed by ordinal.
using TZanSQLTokens = std::bitset<C_ZANSQLTOKENCOUNT>;
TZanSQLTokens ZanSQLTokens(std::initializer_list<TZanSQLToken> tokens);
inline bool InTokens(const TZanSQLTokens& set, TZanSQLToken token) {
    return set.test(token);
}

// The tokens that open a clause: zstSelect .. zstForUpdate, zstInsert, zstDelete, zstUpdate.
bool IsSectionToken(TZanSQLToken token);

// zeoMINUS is unary minus, zeoSUB binary subtraction; zeoISBLANK / zeoNOTBLANK are IS [NOT] NULL.
enum TZanExprOperator : uint8_t {
    zeoNOTDEFINED,
    zeoISBLANK,
    zeoNOTBLANK,
    zeoEQ,
    zeoNE,
    zeoGT,
    zeoLT,
    zeoGE,
    zeoLE,
    zeoNOT,
    zeoAND,
    zeoOR,
    zeoTUPLE2,
    zeoFIELD2,
    zeoCONST2,
    zeoMINUS,
    zeoADD,
    zeoSUB,
    zeoMUL,
    zeoDIV,
    zeoMOD,
    zeoREM,
    zeoSUM,
    zeoCOUNT,
    zeoMIN,
    zeoMAX,
    zeoAVG,
    zeoCONT,
    zeoUDF2,
    zeoCONTINUE2,
    zeoLIKE,
    zeoIN,
    zeoLIST2,
    zeoUPPER,
    zeoLOWER,
    zeoFUNC2,
    zeoLISTELEM2,
    zeoASSIGN,
    zeoSUBQUERY,
    zeoOUTERFIELD,
    zeoPARAMETER,
};
inline constexpr int C_ZANEXPROPERATORCOUNT = 41;

enum TZanSQLAggFunc : uint8_t { zafUnknown, zafCount, zafAvg, zafSum, zafMax, zafMin };
enum TZanSQLStrFunc : uint8_t {
    zsfUnknown,
    zsfSubstring,
    zsfUpper,
    zsfLower,
    zsfTrim,
    zsfTrimLeading,
    zsfTrimTrailing,
    zsfTrimBoth
};
enum TZanSQLStatementType : uint8_t {
    zsSQLUnknown,
    zsSQLExprOnly,
    zsSQLSelect,
    zsSQLInsert,
    zsSQLDelete,
    zsSQLUpdate,
    zsSchemaManipulation
};
enum TZanSubqueryType : uint8_t { zsqUnspecified, zsqAnyOrSome, zsqAll, zsqExists };
enum TZanExprScopeKind : uint8_t { zskField, zskAgg, zskConst };

// Debug names: each value's own name ("zstSelect", "zeoEQ"); "?" for an ordinal out of range.
std::string_view ZanSQLTokenName(TZanSQLToken token);
std::string_view ZanExprOperatorName(TZanExprOperator op);
// The expression-node kind names by ordinal 0-9: "enkUnknown", "enField", "enConst",
// "enkParam", ... (the field and constant kinds are spelled "enField" and "enConst").
inline constexpr int C_ZANEXPRNODEKINDCOUNT = 10;
std::string_view ZanExprNodeKindName(int kind);

} // namespace zan
