#include "engine/sql/zanExecParsers.h"

#include <cmath>
#include <climits>

#include "engine/sql/zanExprParser.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

constexpr std::string_view C_INSERTTERMINATED = "Insert statement incorrectly terminated";
constexpr std::string_view C_DELETETERMINATED = "Delete statement incorrectly terminated";
constexpr std::string_view C_UPDATETERMINATED = "Update statement incorrectly terminated";

bool IsParameterNode(const TZanExprNode* n) {
    return n->Operator == zeoPARAMETER || n->OriginalOperator == zeoPARAMETER;
}

// The constant in the type of its column. False with the error text when it cannot become it;
// a number that is no whole 32-bit value stays a double for the write path to judge.
bool ConvertToFieldType(Variant& data, TFieldType from, TFieldType to, std::string& error) {
    if (from != ftString) {
        Variant result;
        TZanDataConversionValidator::PerformDataConversionToType(from, to, data, result);
        data = result;
        return true;
    }
    const std::string text = data.AsString();
    if (IsTemporalType(to)) {
        Variant value;
        const int32_t code = TZanDataConversionValidator::TryConvertStrToDateTime(
            text, to == ftTimeStamp ? ftDateTime : to, value);
        if (code != 0) {
            error = Format(SzanDataFormatErrorFmt, text,
                           code == 10059 ? std::string("yyyy-mmm-dd")
                                         : std::string(FormatSettings.LongTimeFormat));
            return false;
        }
        data = value;
        return true;
    }
    if (IsNumericType(to)) {
        double d = 0;
        if (!ZanReadNumberToken(Trim(text), d)) {
            error = SzanExprTypeMismatch;
            return false;
        }
        if (IsIntegerType(to) && std::floor(d) == d && d >= INT32_MIN && d <= INT32_MAX)
            data = Variant(static_cast<int32_t>(d));
        else
            data = Variant(d);
        return true;
    }
    if (to == ftBoolean) {
        const std::string t = Trim(text);
        if (!SameText(t, SZanTrue) && !SameText(t, SZanFalse)) {
            error = SzanExprTypeMismatch;
            return false;
        }
        data = Variant(SameText(t, SZanTrue));
    }
    return true;
}

} // namespace

// ---- Row constructors ----------------------------------------------------------------------

TZanRowConstructorElement::TZanRowConstructorElement() = default;
TZanRowConstructorElement::~TZanRowConstructorElement() = default;

TZanExpr* TZanRowConstructorElement::GetExpr() {
    if (!FExpr) {
        FExpr = std::make_unique<TZanExpr>();
        FEvaluator = std::make_unique<TExprEvaluator>();
    }
    return FExpr.get();
}

Variant TZanRowConstructorElement::GetRowData() {
    if (!FEvaluator || !FEvaluator->IsPrepared()) return Data;
    Variant value;
    FEvaluator->EvaluateValueExpr(value);
    return value;
}

void TZanRowConstructorElement::Prepare(TZanExprDataProvider* provider) {
    if (!FEvaluator) return;
    FProvider = provider;
    FPrepared = true;
    if (FHasInstant)
        FEvaluator->Prepare(provider, FExpr->GetRootNode(), FInstant);
    else
        FEvaluator->Prepare(provider, FExpr->GetRootNode());
    FEvaluator->SetExcludeRelopNulls(false);
}

void TZanRowConstructorElement::Prepare(TZanExprDataProvider* provider, TDateTime instant) {
    FHasInstant = true;
    FInstant = instant;
    Prepare(provider);
}

void TZanRowConstructorElement::BindExprParams(const TParams& params) {
    // A parameter is written as two tokens, so it always is (part of) an expression.
    if (!FExpr) return;
    bool bound = false;
    for (TZanExprNode* n = FExpr->GetFirstNode(); n; n = n->Next) {
        if (!IsParameterNode(n)) continue;
        bound = true;
        if (n->OriginalOperator != zeoPARAMETER) {
            n->OriginalOperator = zeoPARAMETER;
            n->OriginalData = n->Data;
        }
        const TParam* p = params.ParamByName(n->OriginalData.AsString());
        n->Data = p->GetValue();
        n->Operator = zeoCONST2;
        n->Kind = enkConst;
        n->DataType = p->GetDataType();
    }
    // The evaluator copies constants when prepared: take the new values.
    if (bound && FPrepared) Prepare(FProvider);
}

TZanRowConstructor::TZanRowConstructor()
    : TCollection([] { return std::make_unique<TZanRowConstructorElement>(); }) {}

TZanRowConstructor::TZanRowConstructor(TCollectionItemFactory factory)
    : TCollection(std::move(factory)) {}

void TZanRowConstructor::Prepare(TZanExprDataProvider* provider) {
    for (int i = 0; i < Count(); ++i) Items(i)->Prepare(provider);
}

void TZanRowConstructor::Prepare(TZanExprDataProvider* provider, TDateTime instant) {
    for (int i = 0; i < Count(); ++i) Items(i)->Prepare(provider, instant);
}

void TZanRowConstructor::BindParams(const TParams& params) {
    // HasParameter says only whether an element starts with one: `v + :a` holds one too.
    for (int i = 0; i < Count(); ++i) Items(i)->BindExprParams(params);
}

TZanUpdateRowConstructor::TZanUpdateRowConstructor()
    : TZanRowConstructor([] { return std::make_unique<TZanUpdateRowConstructorElement>(); }) {}

// ---- Shared parts --------------------------------------------------------------------------

bool TZanExecParser::AtStatementEnd() const {
    return !FCurrToken || CurrentTokenType() == zstEnd || CurrentTokenType() == zstUnknown;
}

bool TZanExecParser::TakeSingleConstant(TZanRowConstructorElement& element,
                                        const TZanSQLTokens& followers) {
    const TZanSQLToken next = PeekAtTokenType(0);
    if (!InTokens(followers, next) && next != zstUnknown) return false;
    switch (CurrentTokenType()) {
    case zstValue:
    case zstStringLiteral:
        element.Data = Variant(FCurrToken->Text);
        break;
    case zstNumber: {
        double d = 0;
        if (!ZanReadNumberToken(FCurrToken->Text, d)) {
            SetError(FCurrToken, SzanInvalidToken);
            return true;
        }
        element.Data = Variant(d);
        break;
    }
    case zstNull:
        element.Data = Null();
        break;
    case zstTrue:
    case zstFalse:
        element.Data = Variant(CurrentTokenType() == zstTrue);
        break;
    default:
        // CURRENT_DATE and the like stay expressions: they take the execution instant.
        return false;
    }
    NextToken();
    return true;
}

void TZanExecParser::ParseElementExpr(TZanRowConstructorElement& element,
                                      const TZanSQLTokens& endTokens,
                                      const TZanParserOptions& options, TTableList* tables) {
    TZanExprParser expr;
    expr.SetValidEndTokens(endTokens);
    expr.SetTableList(tables);
    if (tables) expr.SetParserNotifyEvent(FParserNotifyEvent);
    expr.SyncCurrToken(*this);
    const bool ok = expr.ExecuteExternalValueExpr(element.GetExpr(), options, FStack);
    FCurrToken = expr.GetCurrToken();
    if (!ok) return SetError(expr.GetErrorToken(), expr.GetErrorMessage());
    if (tables) return;
    // Without tables a value cannot name a column.
    for (const TZanExprNode* n = element.GetExpr()->GetFirstNode(); n; n = n->Next)
        if (n->Kind == enkField || n->Operator == zeoOUTERFIELD) {
            SetError(&n->ParserToken, SzanInvalidToken);
            return;
        }
}

void TZanExecParser::HandOverSubquery() {
    TZanExprNode* node =
        FSubqueryExpr.NewNode(enkSubquery, zeoSUBQUERY, Variant(), nullptr, nullptr, FCurrToken);
    FSubqueryExpr.SetAsFirstNode(node);
    if (!FParserNotifyEvent) return;
    Variant value;
    FParserNotifyEvent(pntSubquery, this, FStack, node, value);
}

bool TZanExecParser::ValidateAndSetDataTypes(const TInternalFields& fields) {
    TZanRowConstructor& row = Row();
    for (int i = 0; i < row.Count() && !HasParseError(); ++i) {
        TZanRowConstructorElement* e = row.Items(i);
        const TInternalFieldItem* field = TargetField(fields, i);
        if (!field || e->HasExpr() || VarIsNull(e->Data) || VarIsEmpty(e->Data)) continue;
        const TVarType vt = e->Data.Type();
        const TFieldType from = vt == varSmallint || vt == varInteger ? ftInteger
                                : vt == varString                    ? ftString
                                                                     : ftUnknown;
        const TFieldType to = field->GetDataType();
        if (from == ftUnknown || from == to) continue;
        std::string error;
        if (!ConvertToFieldType(e->Data, from, to, error)) SetError(&e->FirstToken, error);
    }
    return !HasParseError();
}

// ---- INSERT --------------------------------------------------------------------------------

TZanInsertParser::TZanInsertParser() { SetEndTokens(ZanSQLTokens({zstEnd})); }

void TZanInsertParser::Clear() {
    TBaseParser::Clear();
    FRow.Clear();
    FColumnNames.Clear();
    FSubqueryExpr.Clear();
    FHasSelectClause = false;
    FColumnsNotSpecified = true;
}

bool TZanInsertParser::Execute(const TZanParserOptions& options, TParserStack* stack) {
    TBaseParser::Execute(options, stack);
    if (CurrentTokenType() != zstInsert || PeekAtTokenType(0) != zstInto) {
        SetError(FCurrToken, SzanInsertStatmentSyntaxError);
        return false;
    }
    NextToken();
    NextToken();
    if (AtStatementEnd()) {
        SetError(FCurrToken, C_INSERTTERMINATED);
        return false;
    }
    FTableName = FCurrToken->Text;
    NextToken();
    FColumnsNotSpecified = CurrentTokenType() != zstLParen;
    if (!FColumnsNotSpecified) ParseColumnList();
    if (HasParseError()) return false;
    if (CurrentTokenType() == zstValues) {
        NextToken();
        if (CurrentTokenType() != zstLParen) {
            SetError(FCurrToken, SzanLParenMissing);
            return false;
        }
        NextToken();
        ParseValueList();
        if (!HasParseError() && CurrentTokenType() != zstRParen)
            SetError(FCurrToken, SzanRParenMissing);
        if (HasParseError()) return false;
        NextToken();
    } else if (CurrentTokenType() == zstSelect) {
        FHasSelectClause = true;
        HandOverSubquery();
    } else {
        SetError(FCurrToken, SzanInvalidToken);
    }
    if (!HasParseError() && !AtStatementEnd()) SetError(FCurrToken, C_INSERTTERMINATED);
    return !HasParseError();
}

void TZanInsertParser::ParseColumnList() {
    NextToken(); // (
    while (!HasParseError() && !AtStatementEnd() && CurrentTokenType() != zstRParen) {
        if (CurrentTokenType() == zstComma) return SetError(FCurrToken, SzanMissingColumnSpecifier);
        // Each column takes one value.
        if (FColumnNames.IndexOf(FCurrToken->Text) >= 0)
            return SetError(FCurrToken, SzanDuplicateField);
        FColumnNames.Add(FCurrToken->Text);
        NextToken();
        if (CurrentTokenType() != zstComma) break;
        NextToken();
        if (CurrentTokenType() == zstRParen) return SetError(FCurrToken, SzanMissingColumnSpecifier);
    }
    if (CurrentTokenType() != zstRParen) return SetError(FCurrToken, SzanRParenMissing);
    NextToken();
}

void TZanInsertParser::ParseValueList() {
    const TZanSQLTokens followers = ZanSQLTokens({zstComma, zstRParen});
    while (!HasParseError() && !AtStatementEnd() && CurrentTokenType() != zstRParen) {
        if (CurrentTokenType() == zstComma) return SetError(FCurrToken, SzanMissingColumnSpecifier);
        TZanRowConstructorElement* e = FRow.Add();
        e->FirstToken = *FCurrToken;
        e->HasParameter = CurrentTokenType() == zstParameter;
        if (!TakeSingleConstant(*e, followers))
            ParseElementExpr(*e, followers,
                             ZanParserOptions({zpoExtSyntax, zpoSQL, zpoParameters}), nullptr);
        if (HasParseError() || CurrentTokenType() != zstComma) break;
        NextToken();
        if (CurrentTokenType() == zstRParen) return SetError(FCurrToken, SzanMissingColumnSpecifier);
    }
}

void TZanInsertParser::CreateDefaultColumns(const TInternalFields& fields) {
    FColumnNames.Clear();
    for (int i = 0; i < fields.Count(); ++i) FColumnNames.Add(fields.Items(i)->GetFieldName());
}

bool TZanInsertParser::CheckColumnCount(int valueCount) {
    if (FColumnsNotSpecified) return true;
    if (FColumnNames.Count() == 0) {
        SetError(nullptr, SzanNoInsertColumnsSpecified);
        return false;
    }
    if (FColumnNames.Count() != valueCount) {
        SetError(nullptr, SzanInsertColumnsCountMismatch);
        return false;
    }
    return true;
}

bool TZanInsertParser::ValidateColumnsPresent(const TInternalFields& fields) {
    for (int i = 0; i < FColumnNames.Count(); ++i)
        if (!fields.FindField(FColumnNames.Strings(i))) {
            SetError(nullptr, std::string(SzanFieldNotFound) + " : " + FColumnNames.Strings(i));
            return false;
        }
    return true;
}

bool TZanInsertParser::ValidateValueColumns(const TInternalFields& fields) {
    if (FColumnsNotSpecified) {
        CreateDefaultColumns(fields);
        FColumnsNotSpecified = false; // the count check applies to the default list too
    }
    return CheckColumnCount(FRow.Count()) && ValidateColumnsPresent(fields) &&
           ValidateAndSetDataTypes(fields);
}

bool TZanInsertParser::CheckDataConversionValid(TFieldType from, TFieldType to) {
    return from != ftUnknown && to != ftUnknown &&
           TZanDataConversionValidator::CheckDataConversionValid(from, to);
}

bool TZanInsertParser::ValidateSelectColumns(const TInternalFields& selectColumns,
                                             const TInternalFields& fields) {
    if (FColumnsNotSpecified) {
        CreateDefaultColumns(fields);
        FColumnsNotSpecified = false;
    }
    if (!CheckColumnCount(selectColumns.Count()) || !ValidateColumnsPresent(fields)) return false;
    for (int i = 0; i < FColumnNames.Count() && i < selectColumns.Count(); ++i) {
        const TFieldType from = selectColumns.Items(i)->GetDataType();
        const TFieldType to = fields.FindField(FColumnNames.Strings(i))->GetDataType();
        if (!CheckDataConversionValid(from, to)) {
            SetError(nullptr, std::string(SzanTypeConversionErr) + " " +
                                  std::string(FieldTypeName(to)) + " -> " +
                                  std::string(FieldTypeName(from)));
            return false;
        }
    }
    return true;
}

const TInternalFieldItem* TZanInsertParser::TargetField(const TInternalFields& fields,
                                                        int i) const {
    return i < FColumnNames.Count() ? fields.FindField(FColumnNames.Strings(i)) : nullptr;
}

// ---- DELETE --------------------------------------------------------------------------------

TZanDeleteParser::TZanDeleteParser() { SetEndTokens(ZanSQLTokens({zstEnd})); }

bool TZanDeleteParser::Execute(const TZanParserOptions& options, TParserStack* stack) {
    FHasWhereClause = false;
    FSubqueryExpr.Clear();
    TBaseParser::Execute(options, stack);
    if (CurrentTokenType() != zstDelete || PeekAtTokenType(0) != zstFrom) {
        SetError(FCurrToken, SzanDeleteStatmentSyntaxError);
        return false;
    }
    NextToken();
    NextToken();
    if (AtStatementEnd()) {
        SetError(FCurrToken, C_DELETETERMINATED);
        return false;
    }
    FTableName = FCurrToken->Text;
    if (FTables) FTables->Add()->SetTableName(FTableName);
    NextToken();
    if (CurrentTokenType() == zstWhere) {
        FHasWhereClause = true;
        HandOverSubquery();
    }
    if (!HasParseError() && !AtStatementEnd()) SetError(FCurrToken, C_DELETETERMINATED);
    return !HasParseError();
}

// ---- UPDATE --------------------------------------------------------------------------------

TZanUpdateParser::TZanUpdateParser() { SetEndTokens(ZanSQLTokens({zstEnd})); }

void TZanUpdateParser::Clear() {
    TBaseParser::Clear();
    FSetList.Clear();
    FSubqueryExpr.Clear();
    FHasWhereClause = false;
}

bool TZanUpdateParser::Execute(const TZanParserOptions& options, TParserStack* stack) {
    FSetList.Clear();
    FSubqueryExpr.Clear();
    FHasWhereClause = false;
    TBaseParser::Execute(options, stack);
    if (CurrentTokenType() != zstUpdate) {
        SetError(FCurrToken, SzanUpdateStatmentSyntaxError);
        return false;
    }
    NextToken();
    if (AtStatementEnd()) {
        SetError(FCurrToken, C_UPDATETERMINATED);
        return false;
    }
    FTableName = FCurrToken->Text;
    if (FTables) FTables->Add()->SetTableName(FTableName);
    if (FTables && FValidate && !FValidate(*FTables)) {
        SetError(FCurrToken, SzanTableOrFieldNotFound);
        return false;
    }
    NextToken();
    if (CurrentTokenType() != zstSet) {
        SetError(FCurrToken, SzanUpdateStatmentSyntaxError);
        return false;
    }
    NextToken();
    ParseSetList();
    if (!HasParseError() && CurrentTokenType() == zstWhere) {
        FHasWhereClause = true;
        HandOverSubquery();
    }
    if (!HasParseError() && !AtStatementEnd()) SetError(FCurrToken, C_UPDATETERMINATED);
    return !HasParseError();
}

void TZanUpdateParser::ParseSetList() {
    const TZanSQLTokens followers = ZanSQLTokens({zstEnd, zstWhere, zstComma});
    // At least one assignment, and one after every comma.
    while (!HasParseError()) {
        if (CurrentTokenType() == zstTableName) {
            if (!SameText(FCurrToken->Text, FTableName))
                return SetError(FCurrToken, SzanTableOrFieldNotFound);
            NextToken();
        }
        if (CurrentTokenType() != zstFieldName)
            return SetError(FCurrToken, SzanUpdateMissingColumnReference);
        // Each column takes one value.
        for (int i = 0; i < FSetList.Count(); ++i)
            if (SameText(FSetList.Items(i)->TargetColumnName, FCurrToken->Text))
                return SetError(FCurrToken, SzanDuplicateField);
        TZanUpdateRowConstructorElement* e = FSetList.Add();
        e->TargetColumnName = FCurrToken->Text;
        NextToken();
        if (!FCurrToken || FCurrToken->Text != "=")
            return SetError(FCurrToken, SzanMissingAssignmentToken);
        NextToken();
        if (CurrentTokenType() == zstComma || AtStatementEnd())
            return SetError(FCurrToken, SzanMissingColumnSpecifier);
        e->FirstToken = *FCurrToken;
        e->HasParameter = CurrentTokenType() == zstParameter;
        if (!TakeSingleConstant(*e, followers))
            ParseElementExpr(*e, ZanSQLTokens({zstWhere, zstComma, zstEnd}),
                             ZanParserOptions({zpoExtSyntax, zpoSQL, zpoParameters, zpoSubqueries}),
                             FTables);
        if (HasParseError() || CurrentTokenType() != zstComma) break;
        NextToken();
    }
}

bool TZanUpdateParser::ValidateValueColumns(const TInternalFields& fields) {
    for (int i = 0; i < FSetList.Count(); ++i) {
        const std::string& name = FSetList.Items(i)->TargetColumnName;
        if (!fields.FindField(name)) {
            SetError(nullptr, std::string(SzanFieldNotFound) + " : " + name);
            return false;
        }
    }
    return ValidateAndSetDataTypes(fields);
}

const TInternalFieldItem* TZanUpdateParser::TargetField(const TInternalFields& fields,
                                                        int i) const {
    return fields.FindField(FSetList.Items(i)->TargetColumnName);
}

} // namespace zan
