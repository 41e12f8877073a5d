#include "engine/sql/zanExprParser.h"

#include <algorithm>
#include <cmath>

#include "engine/sql/zanMiscParsers.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/Format.h"
#include "host/rtl/SysUtils.h"

namespace zan {

namespace {

bool IsBlobLikeType(TFieldType t) {
    return t == ftBytes || (t >= ftBlob && t <= ftFmtMemo);
}

// The operator a comparison or arithmetic token's text stands for.
TZanExprOperator OperatorOfText(std::string_view text) {
    if (text == "<") return zeoLT;
    if (text == "<=") return zeoLE;
    if (text == "=") return zeoEQ;
    if (text == ">=") return zeoGE;
    if (text == ">") return zeoGT;
    if (text == "<>") return zeoNE;
    if (text == "+" || text == "||") return zeoADD;
    if (text == "-") return zeoSUB;
    if (text == "*") return zeoMUL;
    if (text == "/") return zeoDIV;
    return zeoNOTDEFINED;
}

TZanExprOperator Mirror(TZanExprOperator op) {
    switch (op) {
    case zeoGT:
        return zeoLT;
    case zeoLT:
        return zeoGT;
    case zeoGE:
        return zeoLE;
    case zeoLE:
        return zeoGE;
    default:
        return op;
    }
}

bool IsFieldLike(const TZanExprNode* n) {
    return n && (n->Kind == enkField || (n->Kind == enkFunc && n->Operator == zeoOUTERFIELD));
}

// A constant whose value the parser may convert: not the NULL literal, not CURRENT_*.
bool IsPlainConstant(const TZanExprNode* n) {
    return n && n->Kind == enkConst && n->Operator == zeoCONST2;
}

bool IsParam(const TZanExprNode* n) {
    return n && n->Kind == enkParam;
}

bool IsSubqueryNode(const TZanExprNode* n) {
    return n && n->Kind == enkSubquery;
}

} // namespace

TZanExprParser::TZanExprParser()
    : FOwnExpr(std::make_unique<TZanExpr>()), FExpr(FOwnExpr.get()),
      FValidEndTokens(ZanSQLTokens({zstEnd})) {}

TZanExprParser::~TZanExprParser() = default;

void TZanExprParser::Clear() {
    TBaseParser::Clear();
    FOwnExpr = std::make_unique<TZanExpr>();
    FExpr = FOwnExpr.get();
    FRootNode = nullptr;
    FOpenNesting = 0;
    FDepth.clear();
}

void TZanExprParser::StartParse(const TZanParserOptions& options, TParserStack* stack,
                                TZanExpr* expr) {
    TBaseParser::Execute(options, stack);
    FExpr = expr;
    FExpr->SetCaseInsensitiveMatch(FCaseInsensitiveMatch);
    FExpr->SetPartialStringComparisons(FPartialStringComparison);
    FRootNode = nullptr;
    FOpenNesting = 0;
    FDepth.clear();
}

bool TZanExprParser::AtStackEnd() const {
    return !FCurrToken || (CurrentTokenType() == zstEnd && FCurrToken->Text.empty());
}

bool TZanExprParser::AtValidEnd() const {
    if (!FCurrToken) return true;
    const TZanSQLToken t = CurrentTokenType();
    return InTokens(FValidEndTokens, t) || (FIsSubquery && t == zstRParen);
}

bool TZanExprParser::Execute(const TZanParserOptions& options, TParserStack* stack) {
    FOwnExpr = std::make_unique<TZanExpr>();
    StartParse(options, stack, FOwnExpr.get());
    if (!AtEndToken()) FRootNode = ParseCondition();
    FExpr->SetAsFirstNode(FRootNode);
    if (!HasParseError() && !AtValidEnd())
        SetError(FCurrToken, CurrentTokenType() == zstFieldName ? SzanInvalidToken
                                                                : SzanExprTerminatedIncorrectly);
    return !HasParseError();
}

bool TZanExprParser::ExecuteExternalExpr(TZanExpr* expr, const TZanParserOptions& options,
                                         TParserStack* stack) {
    ZanAssert(expr != nullptr, "External expression is not assigned");
    StartParse(options, stack, expr);
    FRootNode = ParseCondition();
    FExpr->SetAsFirstNode(FRootNode);
    if (!HasParseError() && !AtValidEnd()) SetError(FCurrToken, SzanExprTerminatedIncorrectly);
    FExpr = FOwnExpr.get();
    FRootNode = nullptr;
    return !HasParseError();
}

bool TZanExprParser::ExecuteExternalValueExpr(TZanExpr* expr, const TZanParserOptions& options,
                                              TParserStack* stack) {
    ZanAssert(expr != nullptr, "External expression is not assigned");
    StartParse(options, stack, expr);
    // The first token's raw text is already in ParsedText; only this expression's text counts.
    const size_t start = FCurrToken ? FParsedText.size() - FCurrToken->RawTokenText.size() : 0;
    FRootNode = ParseAdditive();
    FExpr->SetAsFirstNode(FRootNode);
    if (!HasParseError() && !AtValidEnd()) SetError(FCurrToken, SzanExprTerminatedIncorrectly);
    if (!HasParseError()) {
        RemoveCurrentTokenFromParsedText();
        FExpr->SetParsedText(FParsedText.substr(std::min(start, FParsedText.size())));
    }
    FExpr = FOwnExpr.get();
    FRootNode = nullptr;
    return !HasParseError();
}

void TZanExprParser::CloneFromExpr(const TZanExpr& expr, bool replace, TZanExprOperator op) {
    if (replace) {
        FExpr->Clear();
        FRootNode = FExpr->CloneFromTree(expr.GetRootNode());
        return;
    }
    ZanAssert(op == zeoAND || op == zeoOR, "Unsupported Expr assign operator");
    TZanExprNode* copy = FExpr->CloneSubTree(expr.GetRootNode());
    if (!FRootNode) {
        FRootNode = copy;
    } else if (copy) {
        TParserToken token;
        token.Token = op == zeoAND ? zstAnd : zstOr;
        token.Text = op == zeoAND ? "AND" : "OR";
        TZanExprNode* node = FExpr->NewNode(enkLogicalOperator, op, Variant(), FRootNode, copy,
                                            &token);
        node->DataType = ftBoolean;
        node->ScopeKind = FRootNode->ScopeKind == copy->ScopeKind ? copy->ScopeKind : zskField;
        FRootNode = node;
    }
    FExpr->SetAsFirstNode(FRootNode);
}

// ---- Nodes, depth and nesting --------------------------------------------------------------

TZanExprNode* TZanExprParser::NewNode(TZanExprNodeKind kind, TZanExprOperator op,
                                      const Variant& value, TZanExprNode* left,
                                      TZanExprNode* right, const TParserToken* token) {
    TZanExprNode* node = FExpr->NewNode(kind, op, value, left, right, token);
    TrackDepth(node);
    return node;
}

void TZanExprParser::TrackDepth(TZanExprNode* node) {
    int depth = 0;
    const auto child = [&](const TZanExprNode* c) {
        if (!c) return;
        auto it = FDepth.find(c);
        depth = std::max(depth, it == FDepth.end() ? 1 : it->second);
    };
    child(node->Left);
    child(node->Right);
    for (const TZanExprNode* a : node->Args)
        child(a);
    FDepth[node] = depth + 1;
    if (depth + 1 > C_MAXEXPRTREEDEPTH) SetError(FCurrToken, SzanInvalidToken);
}

// A copy of a subtree whose nodes are all tracked (its depth is that of the original).
TZanExprNode* TZanExprParser::CloneTracked(const TZanExprNode* node) {
    if (!node) return nullptr;
    TZanExprNode* copy = FExpr->CloneSubTree(node);
    auto it = FDepth.find(node);
    FDepth[copy] = it == FDepth.end() ? 1 : it->second;
    return copy;
}

bool TZanExprParser::OpenNesting(const TParserToken* token) {
    ++FOpenNesting;
    if (FNestingBase + FOpenNesting > C_MAXEXPRNESTING) {
        SetError(token, SzanInvalidToken);
        return false;
    }
    return true;
}

bool TZanExprParser::ExpectRParen(std::string_view error) {
    if (HasParseError()) return false;
    if (CurrentTokenType() != zstRParen) {
        SetError(FCurrToken, error);
        return false;
    }
    NextToken();
    return true;
}

bool TZanExprParser::ExpectLParen() {
    if (HasParseError()) return false;
    if (CurrentTokenType() != zstLParen) {
        SetError(FCurrToken, SzanLParenMissing);
        return false;
    }
    return true;
}

// ---- Scope and types -----------------------------------------------------------------------

void TZanExprParser::CombineScope(TZanExprNode* node, const TParserToken* token) {
    const TZanExprNode* l = node->Left;
    const TZanExprNode* r = node->Right;
    if (!l || !r) {
        const TZanExprNode* only = l ? l : r;
        if (only) node->ScopeKind = only->ScopeKind;
        return;
    }
    const TZanExprScopeKind a = l->ScopeKind, b = r->ScopeKind;
    if ((a == zskField && b == zskAgg) || (a == zskAgg && b == zskField)) {
        SetError(token, SzanExprBadScope);
        return;
    }
    if (a == zskConst && b == zskConst)
        node->ScopeKind = zskConst;
    else if (a == zskAgg || b == zskAgg)
        node->ScopeKind = zskAgg;
    else
        node->ScopeKind = zskField;
}

// Gives a constant the type of the field (or temporal value) it is compared with. A value that
// cannot take the type is a parse error at the constant.
bool TZanExprParser::ConvertConstant(TZanExprNode* c, TFieldType type, int32_t size) {
    if (!IsPlainConstant(c) || type == ftUnknown || HasParseError()) return true;
    const TParserToken* at = &c->ParserToken;
    if (VarIsNull(c->Data) || VarIsEmpty(c->Data)) {
        c->DataType = type;
        return true;
    }
    const TVarType vt = c->Data.Type();
    if (IsTemporalType(type)) {
        const TFieldType target = type == ftTimeStamp ? ftDateTime : type;
        if (vt == varString) {
            Variant value;
            const std::string text = c->Data.AsString();
            const int32_t code = TZanDataConversionValidator::TryConvertStrToDateTime(
                text, target, value);
            if (code != 0) {
                SetError(at, Format(SzanDataFormatErrorFmt, text,
                                    code == 10059 ? std::string("yyyy-mmm-dd")
                                                  : std::string(FormatSettings.LongTimeFormat)));
                return false;
            }
            c->Data = value;
        } else if (vt == varBoolean) {
            SetError(at, SzanExprTypeMismatch);
            return false;
        } else if (target != ftTime) {
            c->Data = VarFromDateTime(c->Data.AsDouble());
        }
        c->DataType = type;
        c->DataSize = 0;
        return true;
    }
    if (IsNumericType(type)) {
        double d = 0;
        if (vt == varString) {
            if (!ZanReadNumberToken(Trim(c->Data.AsString()), d)) {
                SetError(at, SzanExprTypeMismatch);
                return false;
            }
        } else if (vt == varBoolean) {
            SetError(at, SzanExprTypeMismatch);
            return false;
        } else {
            d = c->Data.AsDouble();
        }
        // An integer column keeps a fraction or an out-of-range value as it is: rounding it
        // would change what the comparison means (a > 1.5 is not a > 2).
        if (IsIntegerType(type)) {
            if (std::floor(d) == d && d >= INT32_MIN && d <= INT32_MAX) {
                c->Data = Variant(static_cast<int32_t>(d));
                c->DataType = type;
            } else {
                c->Data = Variant(d);
                c->DataType = ftFloat;
            }
        } else if (type == ftCurrency || type == ftBCD) {
            c->Data = Variant(d);
            if (!c->SetAndConvertDataType(ftCurrency)) c->DataType = ftFloat;
            c->DataType = type;
        } else {
            c->Data = Variant(d);
            c->DataType = type;
        }
        c->DataSize = 0;
        return true;
    }
    if (IsStringType(type) || type == ftMemo || type == ftFmtMemo) {
        if (vt != varString) c->Data = Variant(VarToStr(c->Data));
        c->DataType = IsStringType(type) ? type : ftString;
        c->DataSize = size;
        return true;
    }
    if (type == ftBoolean) {
        if (vt == varBoolean) return true;
        if (vt == varString) {
            const std::string text = Trim(c->Data.AsString());
            if (SameText(text, "TRUE") || SameText(text, "FALSE")) {
                c->Data = Variant(SameText(text, "TRUE"));
                c->DataType = ftBoolean;
                return true;
            }
        }
        SetError(at, SzanExprTypeMismatch);
        return false;
    }
    return true;
}

void TZanExprParser::CheckPredicateOperands(TZanExprNode* node, const TParserToken* token,
                                            bool blobLeftAllowed) {
    node->DataType = ftBoolean;
    TZanExprNode* l = node->Left;
    TZanExprNode* r = node->Right;
    if (HasParseError()) return;
    if (node->Operator != zeoISBLANK && node->Operator != zeoNOTBLANK) {
        if ((l && IsBlobLikeType(l->DataType) && !blobLeftAllowed) ||
            (r && IsBlobLikeType(r->DataType))) {
            SetError(token, SzanExprTypeMismatch);
            return;
        }
    }
    if (l && r) {
        TZanExprNode* field = IsFieldLike(l) ? l : IsFieldLike(r) ? r : nullptr;
        TZanExprNode* other = field == l ? r : l;
        if (field && IsPlainConstant(other)) {
            int32_t size = field->DataSize;
            if (!ConvertConstant(other, field->DataType, size)) return;
        } else if (IsTemporalType(l->DataType) && IsPlainConstant(r) &&
                   r->Data.Type() == varString) {
            if (!ConvertConstant(r, l->DataType, 0)) return;
        } else if (IsTemporalType(r->DataType) && IsPlainConstant(l) &&
                   l->Data.Type() == varString) {
            if (!ConvertConstant(l, r->DataType, 0)) return;
        }
        if (field && IsParam(other) && other->DataType == ftUnknown) {
            other->DataType = field->DataType;
            other->DataSize = field->DataSize;
        }
    }
    CombineScope(node, token);
}

void TZanExprParser::CheckArithTypes(TZanExprNode* node, const TParserToken* token) {
    TZanExprNode* l = node->Left;
    TZanExprNode* r = node->Right;
    const TZanExprOperator op = node->Operator;
    if (IsParam(l) && !IsParam(r)) l->DataType = r->DataType;
    if (IsParam(r) && !IsParam(l)) r->DataType = l->DataType;
    const TFieldType a = l->DataType, b = r->DataType;
    TFieldType result = ftUnknown;
    const bool skip = FIgnoreTypeChecks || (IsParam(l) && IsParam(r)) || IsSubqueryNode(l) ||
                      IsSubqueryNode(r) || a == ftUnknown || b == ftUnknown;
    if (skip) {
        result = IsNumericType(a) && IsNumericType(b) ? ftFloat : a != ftUnknown ? a : b;
    } else if (IsNumericType(a) && IsNumericType(b)) {
        result = ftFloat;
    } else if (op == zeoADD && IsStringType(a) && IsStringType(b)) {
        result = ftString;
    } else if (op == zeoADD && ((IsTemporalType(a) && IsNumericType(b)) ||
                                (IsNumericType(a) && IsTemporalType(b)))) {
        result = ftDateTime;
    } else if (op == zeoSUB && IsTemporalType(a) && IsNumericType(b)) {
        result = a;
    } else if (op == zeoSUB && IsTemporalType(a) && IsTemporalType(b)) {
        result = ftFloat;
    } else if (op == zeoSUB && IsStringType(a) && IsTemporalType(b)) {
        if (IsPlainConstant(l) && !ConvertConstant(l, b, 0)) return;
        result = ftFloat;
    } else if (op == zeoSUB && IsTemporalType(a) && IsStringType(b)) {
        if (IsPlainConstant(r) && !ConvertConstant(r, a, 0)) return;
        result = ftFloat;
    } else {
        SetError(token, SzanExprTypeMismatch);
        return;
    }
    node->DataType = result;
    if (IsStringType(result) || result == ftUnknown) {
        const int32_t ls = std::max(l->DataSize, 0), rs = std::max(r->DataSize, 0);
        // The sum of two declared sizes saturates at the largest size.
        node->DataSize = op == zeoADD ? static_cast<int32_t>(std::min<int64_t>(
                                            int64_t{ls} + rs, INT32_MAX))
                                      : ls;
    } else {
        node->DataSize = 0;
    }
}

TZanExprNode* TZanExprParser::MakeArithNode(TZanExprOperator op, TZanExprNode* left,
                                            TZanExprNode* right, const TParserToken* token) {
    TZanExprNode* node = NewNode(enkArithOperator, op, Variant(), left, right, token);
    if (HasParseError()) return node;
    CheckArithTypes(node, token);
    if (!HasParseError()) CombineScope(node, token);
    return node;
}

bool TZanExprParser::CheckCharType(const TZanExprNode* node, const TParserToken* token) {
    if (HasParseError() || !node) return false;
    const TFieldType t = node->DataType;
    if (IsStringType(t) || t == ftMemo || t == ftFmtMemo || t == ftUnknown) return true;
    SetError(token, SzanCharExprInvalidExprDataType);
    return false;
}

// ---- Conditions ----------------------------------------------------------------------------

TZanExprNode* TZanExprParser::ParseCondition() {
    return ParseLogicalLevel(&TZanExprParser::ParseConjunction, zstOr, zeoOR);
}

TZanExprNode* TZanExprParser::ParseConjunction() {
    return ParseLogicalLevel(&TZanExprParser::ParseNegation, zstAnd, zeoAND);
}

// operand { word operand }, left-associative.
TZanExprNode* TZanExprParser::ParseLogicalLevel(TZanExprNode* (TZanExprParser::*operand)(),
                                                TZanSQLToken word, TZanExprOperator op) {
    TZanExprNode* node = (this->*operand)();
    while (!HasParseError() && CurrentTokenType() == word) {
        const TParserToken* token = FCurrToken;
        NextToken();
        TZanExprNode* right = (this->*operand)();
        if (HasParseError()) break;
        node = NewNode(enkLogicalOperator, op, Variant(), node, right, token);
        node->DataType = ftBoolean;
        CombineScope(node, token);
    }
    return node;
}

TZanExprNode* TZanExprParser::ParseNegation() {
    if (CurrentTokenType() != zstNot) return ParsePredicate();
    const TParserToken* token = FCurrToken;
    NextToken();
    TZanExprNode* operand = ParsePredicate();
    if (HasParseError()) return operand;
    TZanExprNode* node = NewNode(enkLogicalOperator, zeoNOT, Variant(), operand, nullptr, token);
    node->DataType = ftBoolean;
    CombineScope(node, token);
    return node;
}

TZanExprNode* TZanExprParser::ParsePredicate() {
    TZanExprNode* x = ParseAdditive();
    if (HasParseError()) return x;
    switch (CurrentTokenType()) {
    case zstCompOperator:
        return ParseComparison(x);
    case zstIsNull:
    case zstIsNotNull: {
        const TParserToken* token = FCurrToken;
        const TZanExprOperator op = token->Token == zstIsNull ? zeoISBLANK : zeoNOTBLANK;
        NextToken();
        TZanExprNode* node = NewNode(enkLogicalOperator, op, Variant(), x, nullptr, token);
        CheckPredicateOperands(node, token, true);
        return node;
    }
    case zstLike:
    case zstNotLike:
        return ParseLike(x);
    case zstIn:
    case zstNotIn:
        return ParseIn(x);
    case zstBetween:
    case zstNotBetween:
        return ParseBetween(x);
    default:
        return x;
    }
}

TZanExprNode* TZanExprParser::ParseComparison(TZanExprNode* x) {
    const TParserToken* token = FCurrToken;
    TZanExprOperator op = OperatorOfText(token->Text);
    if (op < zeoEQ || op > zeoLE) return x; // not a comparison: the caller reports the token
    NextToken();
    if (CurrentTokenType() == zstNull) {
        SetError(FCurrToken, SzanExprTypeMismatch);
        return x;
    }
    TZanExprNode* right = ParseAdditive();
    if (HasParseError()) return x;
    TZanExprNode* left = x;
    if (IsFieldLike(right) && !IsFieldLike(left)) {
        std::swap(left, right);
        op = Mirror(op);
    }
    TZanExprNode* node = NewNode(enkRelOperator, op, Variant(), left, right, token);
    CheckPredicateOperands(node, token, false);
    return node;
}

TZanExprNode* TZanExprParser::ParseLike(TZanExprNode* x) {
    const TParserToken* token = FCurrToken;
    NextToken();
    TZanExprNode* pattern = ParseCharValueExpr();
    if (HasParseError()) return x;
    // The escape is the LIKE node's argument: the left operand's own arguments (a function's)
    // are no place for it.
    TZanExprNode* escape = nullptr;
    if (CurrentTokenType() == zstEscape) {
        NextToken();
        const TParserToken* at = FCurrToken;
        escape = ParseCharValueExpr();
        if (HasParseError()) return x;
        // The escape must be one single-byte character, written as a constant.
        if (!IsPlainConstant(escape) || escape->Data.Type() != varString ||
            escape->Data.AsString().size() != 1 ||
            static_cast<unsigned char>(escape->Data.AsString()[0]) >= 0x80) {
            SetError(at, SzanInvalidToken);
            return x;
        }
    }
    TZanExprNode* node = NewNode(enkNonRelPredicate, zeoLIKE, Variant(), x, pattern, token);
    if (escape) node->Args.push_back(escape);
    CheckPredicateOperands(node, token, true);
    return node;
}

TZanExprNode* TZanExprParser::ParseIn(TZanExprNode* x) {
    const TParserToken* token = FCurrToken;
    NextToken();
    if (!ExpectLParen()) return x;
    const TParserToken* open = FCurrToken;
    if (!OpenNesting(open)) return x;
    NextToken();
    TZanExprNode* node = NewNode(enkNonRelPredicate, zeoIN, Variant(), x, nullptr, token);
    node->DataType = ftBoolean;
    if (CurrentTokenType() == zstSelect) {
        if (!HasOption(zpoSubqueries)) {
            SetError(FCurrToken, SzanExprSubqueriesNotSupported);
            return node;
        }
        TZanExprNode* sub = ParseSubquery(*FCurrToken, zsqUnspecified);
        if (HasParseError()) return node;
        node->Args.push_back(sub);
        TrackDepth(node);
        if (!ExpectRParen(SzanRParenMissing)) return node;
        CloseNesting();
        CombineScope(node, token);
        return node;
    }
    if (CurrentTokenType() == zstRParen) {
        SetError(FCurrToken, SzanEmptyINList);
        return node;
    }
    while (!HasParseError()) {
        TZanExprNode* item = ParseCondition();
        if (HasParseError()) break;
        if (IsFieldLike(x) || IsTemporalType(x->DataType))
            if (!ConvertConstant(item, x->DataType, x->DataSize)) break;
        node->Args.push_back(item);
        if (CurrentTokenType() == zstComma) {
            NextToken();
            continue;
        }
        if (CurrentTokenType() == zstRParen || AtStackEnd()) break;
        SetError(FCurrToken, SzanExprNoRParenOrComma);
    }
    if (HasParseError()) return node;
    TrackDepth(node);
    if (!ExpectRParen(SzanRParenMissing)) return node;
    CloseNesting();
    CombineScope(node, token);
    return node;
}

TZanExprNode* TZanExprParser::ParseBetween(TZanExprNode* x) {
    const TParserToken* token = FCurrToken;
    const bool negated = token->Token == zstNotBetween;
    NextToken();
    TZanExprNode* low = ParseAdditive();
    if (HasParseError()) return x;
    if (CurrentTokenType() != zstAnd) {
        SetError(FCurrToken, SzanBetweenPredErr);
        return x;
    }
    NextToken();
    TZanExprNode* high = ParseAdditive();
    if (HasParseError()) return x;
    TZanExprNode* lower = NewNode(enkRelOperator, negated ? zeoLT : zeoGE, Variant(), x, low, token);
    CheckPredicateOperands(lower, token, false);
    TZanExprNode* upper =
        NewNode(enkRelOperator, negated ? zeoGT : zeoLE, Variant(), CloneTracked(x), high, token);
    CheckPredicateOperands(upper, token, false);
    TZanExprNode* node = NewNode(enkLogicalOperator, negated ? zeoOR : zeoAND, Variant(), lower,
                                 upper, token);
    node->DataType = ftBoolean;
    CombineScope(node, token);
    return node;
}

// ---- Values --------------------------------------------------------------------------------

TZanExprNode* TZanExprParser::ParseAdditive() {
    return ParseArithLevel(&TZanExprParser::ParseMultiplicative, zstAdd, zstSub, zstConcatenate);
}

TZanExprNode* TZanExprParser::ParseMultiplicative() {
    return ParseArithLevel(&TZanExprParser::ParsePrimary, zstMult, zstDiv, zstMult);
}

// operand { op operand } for the operator tokens given, left-associative.
TZanExprNode* TZanExprParser::ParseArithLevel(TZanExprNode* (TZanExprParser::*operand)(),
                                              TZanSQLToken op1, TZanSQLToken op2,
                                              TZanSQLToken op3) {
    TZanExprNode* node = (this->*operand)();
    for (;;) {
        if (HasParseError()) return node;
        const TZanSQLToken t = CurrentTokenType();
        if (t != op1 && t != op2 && t != op3) return node;
        const TParserToken* token = FCurrToken;
        if (!HasOption(zpoExtSyntax)) {
            SetError(token, SzanExprArithNotSupported);
            return node;
        }
        NextToken();
        TZanExprNode* right = (this->*operand)();
        if (HasParseError()) return node;
        node = MakeArithNode(OperatorOfText(token->Text), node, right, token);
    }
}

TZanExprNode* TZanExprParser::ParseCharValueExpr() {
    const bool paren = CurrentTokenType() == zstLParen;
    const TParserToken* start = FCurrToken;
    if (paren) {
        if (PeekAtTokenType(0) == zstRParen) {
            SetError(FCurrToken, SzanEmptyExpr);
            return nullptr;
        }
        if (!OpenNesting(FCurrToken)) return nullptr;
        NextToken();
    }
    TZanExprNode* node = ParsePrimary();
    while (!HasParseError() &&
           (CurrentTokenType() == zstAdd || CurrentTokenType() == zstConcatenate)) {
        const TParserToken* token = FCurrToken;
        if (!HasOption(zpoExtSyntax)) {
            SetError(token, SzanExprArithNotSupported);
            return node;
        }
        NextToken();
        TZanExprNode* right = ParsePrimary();
        if (HasParseError()) return node;
        node = MakeArithNode(zeoADD, node, right, token);
    }
    if (!CheckCharType(node, start)) return node;
    if (paren) {
        if (!ExpectRParen(SzanRParenMissing)) return node;
        CloseNesting();
    }
    return node;
}

TZanExprNode* TZanExprParser::ParsePrimary() {
    if (HasParseError()) return nullptr;
    if (AtStackEnd()) {
        SetError(FCurrToken, SzanExprTerminatedIncorrectly);
        return nullptr;
    }
    const TParserToken* token = FCurrToken;
    switch (token->Token) {
    case zstLParen: {
        if (PeekAtTokenType(0) == zstSelect) {
            if (!OpenNesting(token)) return nullptr;
            NextToken();
            if (!HasOption(zpoSubqueries)) {
                SetError(FCurrToken, SzanExprSubqueriesNotSupported);
                return nullptr;
            }
            TZanExprNode* sub = ParseSubquery(*FCurrToken, zsqUnspecified);
            if (!ExpectRParen(SzanRParenMissing)) return sub;
            CloseNesting();
            return sub;
        }
        if (!OpenNesting(token)) return nullptr;
        NextToken();
        TZanExprNode* node = ParseCondition();
        if (!ExpectRParen(SzanRParenMissing)) return node;
        CloseNesting();
        return node;
    }
    case zstNumber:
        return ParseNumber();
    case zstValue:
    case zstStringLiteral:
        return TakeConstant(zeoCONST2, Variant(token->Text), ftString,
                            static_cast<int32_t>(token->Text.size()));
    case zstTrue:
    case zstFalse:
        return TakeConstant(zeoCONST2, Variant(token->Token == zstTrue), ftBoolean, -1);
    case zstNull:
        return TakeConstant(zeoISBLANK, Null(), ftUnknown, -1);
    case zstCurrentDate:
    case zstCurrentTime:
    case zstCurrentTimestamp: // valued by the evaluator with the execution's instant
        return TakeConstant(zeoFUNC2, Null(),
                            token->Token == zstCurrentDate   ? ftDate
                            : token->Token == zstCurrentTime ? ftTime
                                                             : ftDateTime,
                            -1);
    case zstParameter:
        return ParseParameter();
    case zstFieldName:
    case zstTableName:
        return ParseFieldReference();
    case zstAggFunc:
        return ParseAggregate();
    case zstStrFunc:
        return ParseStringFunction();
    case zstCast:
        return ParseCast();
    case zstExtract:
        return ParseExtract();
    case zstExists:
    case zstAny:
    case zstSome:
    case zstAll:
        return ParseQuantifiedSubquery();
    default:
        SetError(token, SzanInvalidToken);
        return nullptr;
    }
}

TZanExprNode* TZanExprParser::ParseNumber() {
    const TParserToken* token = FCurrToken;
    double value = 0;
    if (!ZanReadNumberToken(token->Text, value)) {
        SetError(token, SzanInvalidToken);
        return nullptr;
    }
    return TakeConstant(zeoCONST2, Variant(value), ftFloat, 0);
}

TZanExprNode* TZanExprParser::TakeConstant(TZanExprOperator op, const Variant& value,
                                           TFieldType type, int32_t size) {
    TZanExprNode* node = NewNode(enkConst, op, value, nullptr, nullptr, FCurrToken);
    node->ScopeKind = zskConst;
    node->DataType = type;
    node->DataSize = size;
    NextToken();
    return node;
}

// At CAST or EXTRACT: consumes the word and a "(" after it, if any. Either way the form opens
// a nesting level (at the "(" or else at the word), since it nests without parentheses too.
bool TZanExprParser::OpenOptionalParen(bool& paren) {
    const TParserToken* word = FCurrToken;
    NextToken();
    paren = CurrentTokenType() == zstLParen;
    if (!OpenNesting(paren ? FCurrToken : word)) return false;
    if (paren) NextToken();
    return true;
}

bool TZanExprParser::CloseOptionalParen(bool paren) {
    if (paren && !ExpectRParen(SzanRParenMissing)) return false;
    if (HasParseError()) return false;
    CloseNesting();
    return true;
}

// At a function's name: consumes it and the "(" after it, which opens a nesting level.
bool TZanExprParser::OpenCall() {
    NextToken();
    if (!ExpectLParen() || !OpenNesting(FCurrToken)) return false;
    NextToken();
    return true;
}

TZanExprNode* TZanExprParser::ParseParameter() {
    const TParserToken* colon = FCurrToken;
    if (!HasOption(zpoParameters)) {
        SetError(colon, SzanParamsNotSupported);
        return nullptr;
    }
    NextToken();
    if (CurrentTokenType() != zstFieldName) {
        SetError(FCurrToken, SzanParamNotFound);
        return nullptr;
    }
    TParserToken joined = *colon;
    joined.Text = FCurrToken->Text;
    joined.RawTokenText += FCurrToken->RawTokenText;
    TZanExprNode* node =
        NewNode(enkParam, zeoPARAMETER, Variant(FCurrToken->Text), nullptr, nullptr, &joined);
    node->ScopeKind = zskConst;
    NextToken();
    return node;
}

TZanExprNode* TZanExprParser::ParseFieldReference() {
    const TParserToken* qualifier = nullptr;
    if (CurrentTokenType() == zstTableName) {
        qualifier = FCurrToken;
        NextToken();
        if (CurrentTokenType() != zstFieldName) {
            SetError(FCurrToken, SzanInvalidToken);
            return nullptr;
        }
    }
    const TParserToken* fieldToken = FCurrToken;
    const std::string name = fieldToken->Text;
    TParserToken token = *fieldToken;
    if (qualifier) token.RawTokenText = qualifier->RawTokenText + fieldToken->RawTokenText;
    TZanExprNode* node = NewNode(enkField, zeoFIELD2, Variant(name), nullptr, nullptr, &token);
    node->ScopeKind = zskField;
    if (qualifier) node->TokenArgs.push_back(const_cast<TParserToken*>(qualifier));
    NextToken();

    const std::string table = qualifier ? qualifier->Text : std::string();
    const TTableList* list = FTableList;
    if (!list || (list->Count() == 0 && !FValidateFields)) return node;

    const auto resolveHere = [&](TTableNameItem* item) {
        node->TableList.Add()->Assign(*item);
        node->DataType = item->GetFieldType(name);
        node->DataSize = item->GetFieldSize(name);
        const bool layoutKnown = item->GetTableFields().Count() > 0;
        if (node->DataType == ftUnknown && (layoutKnown || FValidateFields))
            SetError(fieldToken, SzanFieldNotFound);
        return node;
    };
    const bool canAskOuter = FIsSubquery && bool(FParserNotifyEvent);
    TTableNameItem* item =
        qualifier ? list->FindExposedTable(table) : list->FindTableForField(name);
    // Every table holding the name yields it: a column a full join's USING or NATURAL shares,
    // whose value is neither copy alone.
    if (item && !qualifier && item->YieldsField(name)) {
        SetError(fieldToken, "A column shared by a FULL JOIN's USING or NATURAL must be qualified: " + name);
        return node;
    }
    if (item) return resolveHere(item);
    // The table name of an aliased table here answers only when no enclosing statement exposes
    // that name: in "FROM t1 WHERE EXISTS (SELECT ... FROM t1 x WHERE x.a = t1.a)", t1.a is the
    // outer row's. The owner answers False when the name leads back to this statement's tables.
    TTableNameItem* byTableName = qualifier ? list->FindTableName(table) : nullptr;
    if (byTableName && !canAskOuter) return resolveHere(byTableName);
    // Not in this statement's tables: in a subquery, an enclosing statement may hold it.
    if (canAskOuter) {
        Variant answer(table);
        FParserNotifyEvent(pntFindTableRef, this, FStack, node, answer);
        if (answer.Type() == varBoolean && answer.AsBoolean() && node->TableList.Count() > 0) {
            const TTableNameItem* outer = node->TableList.Last();
            node->Kind = enkFunc;
            node->Operator = node->OriginalOperator = zeoOUTERFIELD;
            node->DataType = outer->GetFieldType(name);
            node->DataSize = outer->GetFieldSize(name);
            return node;
        }
        if (byTableName) return resolveHere(byTableName);
    }
    if (qualifier) {
        SetError(fieldToken, std::string(SzanTableOrFieldNotFound) + " (" + table + "." + name + ")");
        return node;
    }
    // A table whose layout is not known yet may hold it: that is an error only when validating.
    bool layoutsKnown = true;
    for (int i = 0; i < list->Count(); ++i)
        layoutsKnown = layoutsKnown && list->Items(i)->GetTableFields().Count() > 0;
    if (layoutsKnown || FValidateFields) SetError(fieldToken, SzanFieldNotFound);
    return node;
}

TZanExprNode* TZanExprParser::ParseAggregate() {
    const TParserToken* token = FCurrToken;
    if (!HasOption(zpoExtSyntax)) {
        SetError(token, SzanInvalidToken);
        return nullptr;
    }
    if (!HasOption(zpoAggregate)) {
        SetError(token, SzanExprBadScope);
        return nullptr;
    }
    const size_t textStart = FParsedText.size() - token->RawTokenText.size();
    if (!OpenCall()) return nullptr;
    if (CurrentTokenType() == zstRParen) {
        SetError(FCurrToken, SzanEmptyExpr);
        return nullptr;
    }
    bool distinct = false;
    if (CurrentTokenType() == zstDistinct || CurrentTokenType() == zstAll) {
        distinct = CurrentTokenType() == zstDistinct;
        NextToken();
    }
    TZanExprNode* arg = nullptr;
    if (CurrentTokenType() == zstMult) {
        if (token->CustomOrdinal != zafCount) {
            SetError(FCurrToken, SzanInvalidToken);
            return nullptr;
        }
        NextToken();
    } else {
        const TParserToken* at = FCurrToken;
        arg = ParseAdditive();
        if (HasParseError()) return arg;
        if (arg->ScopeKind == zskAgg) { // an aggregate of an aggregate
            SetError(at, SzanExprBadScope);
            return arg;
        }
    }
    if (CurrentTokenType() != zstRParen) {
        SetError(FCurrToken, SzanRParenMissing);
        return arg;
    }
    const std::string text = Trim(FParsedText.substr(std::min(textStart, FParsedText.size())));
    NextToken();
    CloseNesting();
    TParserToken nodeToken = *token;
    if (HasOption(zpoExtractAggFuncExprText)) nodeToken.Text = text;
    TZanExprNode* node =
        NewNode(enkFunc, zeoFUNC2, Variant(token->Text), nullptr, nullptr, &nodeToken);
    if (arg) {
        node->Args.push_back(arg);
        TrackDepth(node);
    }
    node->Data = Variant(distinct);
    node->ScopeKind = zskAgg;
    node->DataType = arg ? arg->DataType : ftInteger;
    node->DataSize = arg ? arg->DataSize : 0;
    return node;
}

TZanExprNode* TZanExprParser::ParseStringFunction() {
    const TParserToken* token = FCurrToken;
    if (!HasOption(zpoExtSyntax)) {
        SetError(token, SzanInvalidToken);
        return nullptr;
    }
    if (!OpenCall()) return nullptr;
    TParserToken nodeToken = *token;
    std::vector<TZanExprNode*> args;
    switch (token->CustomOrdinal) {
    case zsfUpper:
    case zsfLower:
        args.push_back(ParseCharValueExpr());
        break;
    case zsfTrim: {
        nodeToken.CustomOrdinal = zsfTrimBoth;
        const bool word = CurrentTokenType() == zstFieldName && PeekAtTokenType(0) != zstRParen;
        if (word && TokenSymbolIs("LEADING")) {
            nodeToken.CustomOrdinal = zsfTrimLeading;
            NextToken();
        } else if (word && TokenSymbolIs("TRAILING")) {
            nodeToken.CustomOrdinal = zsfTrimTrailing;
            NextToken();
        } else if (word && TokenSymbolIs("BOTH")) {
            NextToken();
        }
        if (CurrentTokenType() == zstFrom) { // TRIM(LEADING FROM s)
            NextToken();
            args.push_back(ParseCharValueExpr());
            break;
        }
        TZanExprNode* first = ParseCharValueExpr();
        if (HasParseError()) break;
        if (CurrentTokenType() == zstFrom) {
            NextToken();
            args.push_back(ParseCharValueExpr());
            args.push_back(first);
        } else {
            args.push_back(first);
        }
        break;
    }
    case zsfSubstring: {
        args.push_back(ParseCharValueExpr());
        if (HasParseError()) break;
        const TZanSQLToken separator = CurrentTokenType();
        if (separator != zstFrom && separator != zstComma) {
            SetError(FCurrToken, SzanSUBSTRINGInvalid);
            break;
        }
        NextToken();
        const TParserToken* at = FCurrToken;
        args.push_back(ParseAdditive());
        if (HasParseError()) break;
        const TZanSQLToken more = separator == zstFrom ? zstFor : zstComma;
        if (CurrentTokenType() == more) {
            NextToken();
            at = FCurrToken;
            args.push_back(ParseAdditive());
        }
        for (size_t i = 1; i < args.size() && !HasParseError(); ++i) {
            const TFieldType t = args[i]->DataType;
            if (t != ftUnknown && !IsNumericType(t)) SetError(at, SzanExprTypeMismatch);
        }
        break;
    }
    default:
        SetError(token, SzanInvalidToken);
        break;
    }
    if (HasParseError()) return args.empty() ? nullptr : args.front();
    if (!ExpectRParen(SzanRParenMissing)) return args.front();
    CloseNesting();
    TZanExprNode* node =
        NewNode(enkFunc, zeoFUNC2, Variant(UpperCase(token->Text)), nullptr, nullptr, &nodeToken);
    node->Args = std::move(args);
    TrackDepth(node);
    node->DataType = ftString;
    node->DataSize = node->Args.front()->DataSize;
    node->ScopeKind = zskConst;
    for (const TZanExprNode* a : node->Args) {
        if (node->ScopeKind == zskConst) node->ScopeKind = a->ScopeKind;
        if ((node->ScopeKind == zskField && a->ScopeKind == zskAgg) ||
            (node->ScopeKind == zskAgg && a->ScopeKind == zskField))
            SetError(token, SzanExprBadScope);
    }
    return node;
}

TZanExprNode* TZanExprParser::ParseCast() {
    const TParserToken* token = FCurrToken;
    bool paren = false;
    if (!OpenOptionalParen(paren)) return nullptr;
    TZanExprNode* value = ParseAdditive();
    if (HasParseError()) return value;
    if (CurrentTokenType() != zstAS) {
        SetError(FCurrToken, SzanMissingASOperatorInCASTExpr);
        return value;
    }
    NextToken();
    // The data type is read by the data-type parser on this parser's tokens.
    TZanDataTypeParser types;
    const TParserToken* first = FCurrToken;
    types.SyncCurrToken(*this);
    types.Execute(ZanParserOptions({zpoExtSyntax}), FStack);
    if (first) types.ParseDataType();
    if (types.HasParseError()) {
        SetError(types.GetErrorToken(), types.GetErrorMessage());
        return value;
    }
    if (!first) {
        SetError(nullptr, SzanDataTypeUnknown);
        return value;
    }
    FParsedText += types.GetParsedText().substr(first->RawTokenText.size());
    FCurrToken = types.GetCurrToken();
    const TFieldType target = types.GetDataType();
    if (!TZanDataConversionValidator::CheckDataConversionValid(value->DataType, target)) {
        SetError(token, std::string(SzanTypeConversionErr) + " " +
                            std::string(FieldTypeName(value->DataType)) + " -> " +
                            std::string(FieldTypeName(target)));
        return value;
    }
    if (!CloseOptionalParen(paren)) return value;
    TZanExprNode* node = NewNode(enkFunc, zeoFUNC2, Variant("CAST"), nullptr, value, token);
    node->DataType = target;
    node->DataSize = types.GetFieldSize();
    if ((target == ftString || target == ftFixedChar) && node->DataSize > 0) {
        // n characters of UTF-8 take up to 4n bytes: the result column is that wide, up to
        // the widest string result.
        node->CastLength = node->DataSize;
        node->DataSize = static_cast<int32_t>(
            std::max<int64_t>(node->CastLength, std::min<int64_t>(4 * int64_t{node->CastLength}, 256)));
    }
    node->ScopeKind = value->ScopeKind;
    return node;
}

TZanExprNode* TZanExprParser::ParseExtract() {
    const TParserToken* token = FCurrToken;
    bool paren = false;
    if (!OpenOptionalParen(paren)) return nullptr;
    const TZanSQLToken part = CurrentTokenType();
    if (part < zstYear || part > zstSecond) {
        SetError(FCurrToken, SzanInvalidFieldinEXTRACTExpr);
        return nullptr;
    }
    NextToken();
    if (CurrentTokenType() != zstFrom) {
        SetError(FCurrToken, SzanMissingFROMinEXTRACTExpr);
        return nullptr;
    }
    NextToken();
    const TParserToken* at = FCurrToken;
    TZanExprNode* value = ParseAdditive();
    if (HasParseError()) return value;
    if (FValidateFields) {
        const TFieldType t = value->DataType;
        const bool timePart = part == zstHour || part == zstMinute || part == zstSecond;
        // A time has no year, month or day, as a date has no hour, minute or second.
        const bool ok = timePart ? (t == ftTime || t == ftDateTime || t == ftTimeStamp)
                                 : IsTemporalType(t) && t != ftTime;
        if (!ok) {
            SetError(at, SzanInvalidValeExprInEXTRACTExpr);
            return value;
        }
    }
    if (!CloseOptionalParen(paren)) return value;
    TParserToken nodeToken = *token;
    nodeToken.CustomOrdinal = part;
    TZanExprNode* node =
        NewNode(enkFunc, zeoFUNC2, Variant("EXTRACT"), nullptr, value, &nodeToken);
    node->DataType = part == zstSecond ? ftFloat : ftInteger;
    node->DataSize = 0;
    node->ScopeKind = value->ScopeKind;
    return node;
}

TZanExprNode* TZanExprParser::ParseQuantifiedSubquery() {
    const TParserToken* token = FCurrToken;
    const TZanSubqueryType type = token->Token == zstExists ? zsqExists
                                  : token->Token == zstAll  ? zsqAll
                                                            : zsqAnyOrSome;
    if (!HasOption(zpoSubqueries)) {
        SetError(token, SzanExprSubqueriesNotSupported);
        return nullptr;
    }
    if (!OpenCall()) return nullptr;
    if (CurrentTokenType() != zstSelect) {
        SetError(FCurrToken, SzanSelectTokenMissing);
        return nullptr;
    }
    TZanExprNode* node = ParseSubquery(*token, type);
    if (!ExpectRParen(SzanRParenMissing)) return node;
    CloseNesting();
    return node;
}

TZanExprNode* TZanExprParser::ParseSubquery(const TParserToken& token, TZanSubqueryType type) {
    TParserToken nodeToken = token;
    nodeToken.CustomOrdinal = type;
    TZanExprNode* node = NewNode(enkSubquery, zeoSUBQUERY, Variant(), nullptr, nullptr, &nodeToken);
    node->ScopeKind = zskConst;
    node->DataType = type == zsqExists ? ftBoolean : ftUnknown;
    if (HasParseError()) return node;
    if (!FParserNotifyEvent) {
        SetError(FCurrToken, SzanExprSubqueriesNotSupported);
        return node;
    }
    Variant value;
    FParserNotifyEvent(pntSubquery, this, FStack, node, value);
    return node;
}

} // namespace zan
