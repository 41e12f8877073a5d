// The expression parser: recursive descent over a token stack for search conditions and value
// expressions (WHERE, HAVING, ON, select columns, SET and VALUES items, filter texts). Every node
// gets a result type, size and scope; field names are resolved against a table list; constants
// next to a field take the field's type at parse time. SQL errors are a False result plus the
// first error text (TBaseParser::SetError); nothing here raises for bad SQL.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanParserUtils.h"

namespace zan {

// Field-type classes of the type rules.
inline bool IsNumericType(TFieldType t) {
    switch (t) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
    case ftLargeint:
        return true;
    default:
        return false;
    }
}

inline bool IsIntegerType(TFieldType t) {
    return t == ftSmallint || t == ftInteger || t == ftWord || t == ftAutoInc || t == ftLargeint;
}

inline bool IsTemporalType(TFieldType t) {
    return t == ftDate || t == ftTime || t == ftDateTime || t == ftTimeStamp;
}

inline bool IsStringType(TFieldType t) {
    return t == ftString || t == ftFixedChar || t == ftWideString;
}

// Limits that keep recursion (here and in every walk over the tree) within the stack.
inline constexpr int C_MAXEXPRNESTING = 200;     // open parentheses, calls, subqueries at once
inline constexpr int C_MAXEXPRTREEDEPTH = 1000; // levels of the tree

class TZanExprParser : public TBaseParser {
public:
    TZanExprParser();
    ~TZanExprParser() override;

    void Clear() override;
    // Parses a search condition into a new expression (the root is its first node). True
    // without error.
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;
    // Parses a search condition into a caller-owned expression, then lets go of it.
    bool ExecuteExternalExpr(TZanExpr* expr, const TZanParserOptions& options,
                             TParserStack* stack);
    // The same for a value expression; on success the expression's ParsedText is the text
    // parsed without the terminating token.
    bool ExecuteExternalValueExpr(TZanExpr* expr, const TZanParserOptions& options,
                                  TParserStack* stack);
    // With replace, the expression becomes a copy of expr's tree; otherwise the copy is joined
    // to the present root by op (zeoAND or zeoOR; anything else is an assertion failure).
    void CloneFromExpr(const TZanExpr& expr, bool replace, TZanExprOperator op);

    TZanExpr* GetExpr() const { return FExpr; }
    TZanExprNode* GetRootNode() const { return FRootNode; }
    const TZanSQLTokens& GetValidEndTokens() const { return FValidEndTokens; }
    void SetValidEndTokens(const TZanSQLTokens& tokens) { FValidEndTokens = tokens; }
    TTableList* GetTableList() const { return FTableList; }
    void SetTableList(TTableList* list) { FTableList = list; }
    bool GetCaseInsensitiveMatch() const { return FCaseInsensitiveMatch; }
    void SetCaseInsensitiveMatch(bool value) { FCaseInsensitiveMatch = value; }
    bool GetPartialStringComparison() const { return FPartialStringComparison; }
    void SetPartialStringComparison(bool value) { FPartialStringComparison = value; }
    bool GetIgnoreTypeChecks() const { return FIgnoreTypeChecks; }
    void SetIgnoreTypeChecks(bool value) { FIgnoreTypeChecks = value; }
    bool GetValidateFields() const { return FValidateFields; }
    void SetValidateFields(bool value) { FValidateFields = value; }
    // Nesting already open around this parser (an enclosing statement's parentheses and
    // subqueries); counts toward C_MAXEXPRNESTING. GetOpenNesting: base plus what is open now.
    int GetNestingBase() const { return FNestingBase; }
    void SetNestingBase(int value) { FNestingBase = value; }
    int GetOpenNesting() const { return FNestingBase + FOpenNesting; }

private:
    void StartParse(const TZanParserOptions& options, TParserStack* stack, TZanExpr* expr);
    bool AtStackEnd() const;
    bool AtValidEnd() const;

    // Grammar levels.
    TZanExprNode* ParseCondition();
    TZanExprNode* ParseConjunction();
    TZanExprNode* ParseLogicalLevel(TZanExprNode* (TZanExprParser::*operand)(), TZanSQLToken word,
                                    TZanExprOperator op);
    TZanExprNode* ParseNegation();
    TZanExprNode* ParsePredicate();
    TZanExprNode* ParseAdditive();
    TZanExprNode* ParseMultiplicative();
    TZanExprNode* ParsePrimary();
    TZanExprNode* ParseArithLevel(TZanExprNode* (TZanExprParser::*operand)(), TZanSQLToken op1,
                                  TZanSQLToken op2, TZanSQLToken op3);
    TZanExprNode* ParseCharValueExpr();

    TZanExprNode* ParseComparison(TZanExprNode* x);
    TZanExprNode* ParseLike(TZanExprNode* x);
    TZanExprNode* ParseIn(TZanExprNode* x);
    TZanExprNode* ParseBetween(TZanExprNode* x);
    TZanExprNode* ParseNumber();
    // A constant node at the current token, which is consumed.
    TZanExprNode* TakeConstant(TZanExprOperator op, const Variant& value, TFieldType type,
                               int32_t size);
    bool OpenCall();
    bool OpenOptionalParen(bool& paren);
    bool CloseOptionalParen(bool paren);
    TZanExprNode* ParseParameter();
    TZanExprNode* ParseFieldReference();
    TZanExprNode* ParseAggregate();
    TZanExprNode* ParseStringFunction();
    TZanExprNode* ParseCast();
    TZanExprNode* ParseExtract();
    // At the SELECT token: hands the subquery to the parser engine; leaves its ")" current.
    TZanExprNode* ParseSubquery(const TParserToken& token, TZanSubqueryType type);
    TZanExprNode* ParseQuantifiedSubquery();

    // A node of the expression, its depth checked against C_MAXEXPRTREEDEPTH.
    TZanExprNode* NewNode(TZanExprNodeKind kind, TZanExprOperator op, const Variant& value,
                          TZanExprNode* left, TZanExprNode* right, const TParserToken* token);
    void TrackDepth(TZanExprNode* node);
    TZanExprNode* CloneTracked(const TZanExprNode* node);
    bool OpenNesting(const TParserToken* token);
    void CloseNesting() { --FOpenNesting; }
    // Consumes ")" at the current token, else records the error.
    bool ExpectRParen(std::string_view error);
    bool ExpectLParen();

    // Type, scope and constant rules.
    void CombineScope(TZanExprNode* node, const TParserToken* token);
    void CheckPredicateOperands(TZanExprNode* node, const TParserToken* token,
                                bool blobLeftAllowed);
    bool ConvertConstant(TZanExprNode* constant, TFieldType type, int32_t size);
    TZanExprNode* MakeArithNode(TZanExprOperator op, TZanExprNode* left, TZanExprNode* right,
                                const TParserToken* token);
    void CheckArithTypes(TZanExprNode* node, const TParserToken* token);
    bool CheckCharType(const TZanExprNode* node, const TParserToken* token);

    std::unique_ptr<TZanExpr> FOwnExpr;
    TZanExpr* FExpr = nullptr; // the own expression or an external one
    TZanExprNode* FRootNode = nullptr;
    TZanSQLTokens FValidEndTokens;
    TTableList* FTableList = nullptr; // not owned
    bool FCaseInsensitiveMatch = false;
    bool FPartialStringComparison = false;
    bool FIgnoreTypeChecks = false;
    bool FValidateFields = false;
    int FNestingBase = 0;
    int FOpenNesting = 0;
    std::unordered_map<const TZanExprNode*, int> FDepth;
    // Tokens made by the parser itself (an aggregate's text, a parameter's joined text).
    TParserTokenList FOwnTokens;
};

} // namespace zan
