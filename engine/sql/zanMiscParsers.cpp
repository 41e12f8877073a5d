#include "engine/sql/zanMiscParsers.h"

#include "host/rtl/SysUtils.h"

namespace zan {

// ---- Items ---------------------------------------------------------------------------------

void TOrderByItem::Assign(const TCollectionItem& source) {
    const auto* s = dynamic_cast<const TOrderByItem*>(&source);
    if (!s) return TCollectionItem::Assign(source);
    FieldIndex = s->FieldIndex;
    SortKey = s->SortKey;
    Descending = s->Descending;
}

TOrderByItem* TOrderByItems::AddOrderByItem(int32_t fieldIndex, const std::string& sortKey,
                                            bool descending) {
    TOrderByItem* item = Add();
    item->FieldIndex = fieldIndex;
    item->SortKey = sortKey;
    item->Descending = descending;
    return item;
}

void TGroupByItem::Assign(const TCollectionItem& source) {
    const auto* s = dynamic_cast<const TGroupByItem*>(&source);
    if (!s) return TCollectionItem::Assign(source);
    TableName = s->TableName;
    FieldName = s->FieldName;
    ResultSetIndex = s->ResultSetIndex;
}

// ---- ORDER BY ------------------------------------------------------------------------------

TZanOrderByParser::TZanOrderByParser() {
    SetEndTokens(ZanSQLTokens({zstUnknown, zstGroupBy, zstHaving, zstOrderBy, zstEnd}));
}

namespace {

// Clears the items; with a stack, runs the clause parser over it. True without error.
template <typename F>
bool ParseClauseItems(TBaseParser& parser, TCollection& items, TParserStack* stack, F parse) {
    items.Clear();
    if (stack) {
        parser.Execute(ZanParserOptions({zpoExtSyntax}), stack);
        parse();
    }
    return !parser.HasParseError();
}

} // namespace

bool TZanOrderByParser::ExecuteOrderBy(TOrderByItems& items, TParserStack* stack) {
    return ParseClauseItems(*this, items, stack, [&] { ParseItems(items); });
}

// A key ends at ASC/DESC, a comma or the end of the clause.
bool TZanOrderByParser::AtKeyEnd() const {
    const TZanSQLToken t = CurrentTokenType();
    return !FCurrToken || t == zstAscending || t == zstDescending || t == zstComma || AtEndToken();
}

void TZanOrderByParser::ParseItems(TOrderByItems& items) {
    while (FCurrToken && !AtEndToken() && !HasParseError()) {
        const TZanSQLToken t = CurrentTokenType();
        if (t == zstComma) {
            NextToken();
            continue;
        }
        int32_t fieldIndex = 0;
        std::string key;
        if (t == zstNumber) {
            if (!ZanReadWholeNumberToken(FCurrToken->Text, fieldIndex) || fieldIndex < 1) {
                SetError(FCurrToken, SzanInvalidToken);
                break;
            }
            NextToken();
        } else {
            const TZanSQLToken next = PeekAtTokenType(0);
            const bool single = next == zstAscending || next == zstDescending || next == zstComma ||
                                InTokens(GetEndTokens(), next) || next == zstUnknown ||
                                (GetIsSubquery() && next == zstRParen);
            if (single) {
                key = FCurrToken->Text;
                NextToken();
            } else {
                do {
                    key += FCurrToken->RawTokenText;
                    NextToken();
                } while (!AtKeyEnd());
            }
            key = Trim(key);
        }
        const bool descending = CurrentTokenType() == zstDescending;
        if (CurrentTokenType() == zstAscending || descending) NextToken();
        items.AddOrderByItem(fieldIndex, key, descending);
    }
    const TZanSQLToken t = CurrentTokenType();
    if (t != zstUnknown && t != zstFrom && t != zstEnd)
        SetError(FCurrToken, SzanOrderByTerminateErr);
}

// ---- GROUP BY ------------------------------------------------------------------------------

TZanGroupByParser::TZanGroupByParser() {
    SetEndTokens(ZanSQLTokens({zstUnknown, zstHaving, zstUnion, zstOrderBy, zstEnd}));
}

bool TZanGroupByParser::ExecuteGroupBy(TGroupByItems& items, TParserStack* stack) {
    return ParseClauseItems(*this, items, stack, [&] { ParseItems(items); });
}

void TZanGroupByParser::ParseItems(TGroupByItems& items) {
    while (FCurrToken && !AtEndToken() && !HasParseError()) {
        std::string table, field;
        if (CurrentTokenType() == zstTableName) {
            table = FCurrToken->Text;
            NextToken();
        }
        if (CurrentTokenType() == zstFieldName) {
            field = FCurrToken->Text;
            NextToken();
        }
        if (field.empty()) {
            SetError(FCurrToken, SzanColumnNameErr);
            break;
        }
        TGroupByItem* item = items.Add();
        item->TableName = table;
        item->FieldName = field;
        if (CurrentTokenType() == zstComma) {
            NextToken();
            if (CurrentTokenType() == zstComma) SetError(FCurrToken, SzanColumnNameMissingErr);
        }
    }
    if (!AtEndToken()) SetError(FCurrToken, SzanGroupByTerminateErr);
}

// ---- Data types ----------------------------------------------------------------------------

namespace {

bool TypeTakesSize(TFieldType t) {
    return t == ftString || t == ftFloat || t == ftTime || t == ftDateTime || t == ftTimeStamp ||
           (t >= ftBlob && t <= ftFmtMemo);
}

bool TypeTakesScale(TFieldType t) {
    return t == ftFloat || (t >= ftBlob && t <= ftFmtMemo);
}

} // namespace

bool TZanDataTypeParser::Execute(const TZanParserOptions&, TParserStack* stack) {
    FInvalidDataTypes = ZanSQLTokens({zstAutoInc});
    TBaseParser::Execute(ZanParserOptions({zpoExtSyntax}), stack);
    return !HasParseError();
}

void TZanDataTypeParser::SetDefaultsForDataType(TFieldType type) {
    FScale = 0;
    FFieldSize = type == ftString ? 1 : 0;
}

bool TZanDataTypeParser::ParseDataType() {
    FScale = -1;
    FFieldSize = 0;
    FNotNull = false;
    const TZanSQLToken t = CurrentTokenType();
    switch (t) {
    case zstChar:
    case zstVarChar:
        FDataType = ftString;
        break;
    case zstInt:
        FDataType = ftInteger;
        break;
    case zstSmallInt:
        FDataType = ftSmallint;
        break;
    case zstDate:
        FDataType = ftDate;
        break;
    case zstTime:
        FDataType = ftTime;
        break;
    case zstTimeStamp:
        FDataType = ftDateTime;
        break;
    case zstDecimal:
    case zstNumeric:
        FDataType = ftFloat;
        break;
    case zstBoolean:
        FDataType = ftBoolean;
        break;
    case zstMoney:
        FDataType = ftCurrency;
        break;
    case zstBlob:
        FDataType = ftBlob;
        break;
    case zstAutoInc:
        FDataType = ftAutoInc;
        break;
    default:
        SetError(FCurrToken, SzanDataTypeUnknown);
        return false;
    }
    if (InTokens(FInvalidDataTypes, t)) {
        SetError(FCurrToken, SzanDataTypeInvalid);
        return false;
    }
    SetDefaultsForDataType(FDataType);
    NextToken();
    if (TypeTakesSize(FDataType) && CurrentTokenType() == zstLParen) ParseSpecification();
    if (FAllowConstraints && !HasParseError() && CurrentTokenType() == zstNot) {
        NextToken();
        if (CurrentTokenType() == zstNull) {
            FNotNull = true;
            NextToken();
        } else {
            SetError(FCurrToken, SzanInvalidToken);
        }
    }
    return !HasParseError();
}

// A whole number of at least 0 at the current token, which is consumed; else the error text.
bool TZanDataTypeParser::ReadSpecificationNumber(int32_t& value, std::string_view error) {
    if (CurrentTokenType() != zstNumber || !ZanReadWholeNumberToken(FCurrToken->Text, value) ||
        value < 0) {
        SetError(FCurrToken, error);
        return false;
    }
    NextToken();
    return true;
}

// "(" size [, scale] ")" at the current "(".
void TZanDataTypeParser::ParseSpecification() {
    NextToken();
    int32_t size = 0;
    if (!ReadSpecificationNumber(size, SzanDataTypeSpecErr)) return;
    FFieldSize = size;
    if (TypeTakesScale(FDataType) && CurrentTokenType() == zstComma) {
        NextToken();
        int32_t scale = 0;
        if (!ReadSpecificationNumber(scale, SzanDataypeScaleErr)) return;
        FScale = scale;
        if (FDataType == ftBlob) {
            if (scale == 1)
                FDataType = ftMemo;
            else if (scale == 3)
                FDataType = ftFmtMemo;
            else if (scale == 5)
                FDataType = ftGraphic;
        }
    }
    if (CurrentTokenType() != zstRParen) {
        SetError(FCurrToken, SzanRParenMissing);
        return;
    }
    NextToken();
}

} // namespace zan
