// Row-by-row evaluation of a parsed expression. TZanExprDataProvider is the row source (a
// table's records for filters, joined rows for queries); TExprEvaluator mirrors an expression
// tree once into evaluator nodes bound to the provider's fields and evaluates it for the current
// row; TExprResultListGenerator keeps the candidate records that pass.
//
// Values are Variants: Null is SQL NULL, Empty (unassigned) means undecided; a condition passes
// only when its value is assigned and True. Logic is three-valued (Kleene).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/zanParserUtils.h"
#include "engine/storage/zanCommon.h"
#include "engine/storage/zanDataUnit.h"
#include "engine/storage/zanLists.h"
#include "host/rtl/Variants.h"

namespace zan {

// The abstract row source.
class TZanExprDataProvider {
public:
    TZanExprDataProvider();
    virtual ~TZanExprDataProvider();
    TZanExprDataProvider(const TZanExprDataProvider&) = delete;
    TZanExprDataProvider& operator=(const TZanExprDataProvider&) = delete;

    // The fields the provider offers.
    virtual TInternalFields& GetProviderFields();
    // The current row's value of the field with that FieldIndex (the base has none: Empty).
    virtual Variant GetDataAsVariant(int32_t fieldNo);
    // Whether that value is Null (the base asks GetDataAsVariant).
    virtual bool IsFieldNull(int32_t fieldNo);
    // Fills the list with every record address (the base adds nothing).
    virtual void GetDefaultRecordList(TCompoundList& list);
    virtual void Open();
    virtual void Refresh();
    // Makes the record at that address current (the base cannot: False).
    virtual bool MoveToRecord(int32_t recordAddress);
    // The field of that name in the provider's fields; the qualifier token is not used here.
    virtual TInternalFieldItem* FindField(const TParserToken* token, std::string_view name);
    // The provider of a table name or alias (the base: itself).
    virtual TZanExprDataProvider* FindProvider(std::string_view name);
    virtual bool PassFilterEvent(int32_t recordAddress);

    TZanCompareFunc GetDBStringCompare() const { return FDBStringCompare; }
    void SetDBStringCompare(TZanCompareFunc compare) { FDBStringCompare = compare; }
    bool GetHasPassFilterEvent() const { return FHasPassFilterEvent; }
    void SetHasPassFilterEvent(bool value) { FHasPassFilterEvent = value; }
    int32_t GetBaseRecNo() const { return FBaseRecNo; }
    void SetBaseRecNo(int32_t value) { FBaseRecNo = value; }

protected:
    std::unique_ptr<TInternalFields> FProviderFields;
    TZanCompareFunc FDBStringCompare = nullptr;
    bool FHasPassFilterEvent = false;
    int32_t FBaseRecNo = 0;
};

// What an evaluator node derived from one subquery result, or from the constants of an IN
// list. IN: the first-column values (the list's values), sorted for the probes: numbers
// (all integers, or all doubles) or strings (ordered by the database comparison). NULL rows
// are only counted; a result of other values stays unsorted and is scanned.
struct TSubqueryValueSet {
    enum TKind : uint8_t { vkNone, vkInteger, vkDouble, vkString };
    const TCustomExprNodeDataProvider* Source = nullptr; // not owned; identity only
    uint64_t Generation = 0;
    int32_t Probes = 0; // probes of this result so far
    bool Built = false;
    TKind Kind = vkNone;
    bool HasNull = false;
    size_t RowCount = 0;
    std::vector<int64_t> Integers;
    std::vector<double> Doubles;
    std::vector<std::string> Strings;
    // A scalar subquery: whether its result was read, had a row, and that row's value.
    bool ScalarRead = false;
    bool ScalarHasRow = false;
    Variant Scalar;
};

// The mirror of one expression node.
class TExprEvaluatorNode {
public:
    TExprEvaluatorNode* Left = nullptr;
    TExprEvaluatorNode* Right = nullptr;
    TExprEvaluatorNode* Next = nullptr; // the evaluator's chain
    TZanExprNode* ExprNode = nullptr;   // not owned
    TInternalFieldItem* FieldRef = nullptr;
    Variant NodeResult;
    std::vector<std::unique_ptr<TExprEvaluatorNode>> Args;
    TZanExprDataProvider* DataProvider = nullptr;
    // Prepared once: the LIKE escape character (NUL = none), a CURRENT_* value.
    char Escape = '\0';
    Variant FixedValue;
    // A subquery node: what was derived from the result it last read.
    std::unique_ptr<TSubqueryValueSet> ValueSet;
};

class TExprEvaluator {
public:
    TExprEvaluator();
    ~TExprEvaluator();
    TExprEvaluator(const TExprEvaluator&) = delete;
    TExprEvaluator& operator=(const TExprEvaluator&) = delete;

    // Builds the evaluator tree over the provider. CURRENT_DATE, CURRENT_TIME and
    // CURRENT_TIMESTAMP take one instant: the statement's start when given, else Now() read
    // once here.
    void Prepare(TZanExprDataProvider* provider, TZanExprNode* exprRoot);
    void Prepare(TZanExprDataProvider* provider, TZanExprNode* exprRoot, TDateTime instant);
    bool IsPrepared() const { return FRoot != nullptr; }
    void Clear();
    // The root as a condition for the current row: True only when assigned and True; no root
    // gives False.
    bool Evaluate();
    // The root's value for the current row (Null without a root).
    void EvaluateValueExpr(Variant& value);
    // Every node's result to Null (before each row).
    void Reset();

    TZanCompareFunc GetDBStringCompare() const { return FDBStringCompare; }
    void SetDBStringCompare(TZanCompareFunc compare) { FDBStringCompare = compare; }
    bool GetExcludeRelopNulls() const { return FExcludeRelopNulls; }
    void SetExcludeRelopNulls(bool value) { FExcludeRelopNulls = value; }
    TExprEvaluatorNode* GetRoot() const { return FRoot; }

private:
    TExprEvaluatorNode* BuildNode(TZanExprNode* node, bool chained);
    const Variant& EvaluateNode(TExprEvaluatorNode* node);
    void EvaluateRelop(TExprEvaluatorNode* node);
    void EvaluateLike(TExprEvaluatorNode* node);
    void EvaluateIn(TExprEvaluatorNode* node);
    // IN over a subquery result: 1, 0 or -1 (undecided), as the row-by-row comparison gives.
    int EvaluateInSubquery(TExprEvaluatorNode* node, TCustomExprNodeDataProvider& provider,
                           TDataSet& rows, const Variant& left);
    // The node's derived state for the provider's current result (reset on a new one).
    static TSubqueryValueSet& ValueSetFor(TExprEvaluatorNode* node, TCustomExprNodeDataProvider& provider);
    // The single row's value of a scalar subquery (False without a row); 9656 for more than
    // one column, 9650 for more than one row. Read once per result.
    bool ScalarValue(TExprEvaluatorNode* node, TCustomExprNodeDataProvider& provider, TDataSet& rows,
                     std::string_view context, Variant& value);
    // The same over a result held in memory (its first column's values).
    static bool ScalarOfRows(const std::vector<Variant>& rows, int32_t columns,
                             std::string_view context, Variant& value);
    // next answers the values one by one, False after the last.
    void BuildValueSet(TExprEvaluatorNode* node, const std::function<bool(Variant&)>& next,
                       TSubqueryValueSet& set);
    // IN over a list: 1, 0 or -1 (undecided), as the item-by-item comparison gives.
    int EvaluateInList(TExprEvaluatorNode* node, const Variant& left);
    // The answer from the sorted set; False when the set cannot answer for that value.
    bool ProbeValueSet(TExprEvaluatorNode* node, const TSubqueryValueSet& set,
                       const Variant& left, int& result);
    int StringOrder(const TExprEvaluatorNode* node, const std::string& a, const std::string& b) const;
    void EvaluateFunc(TExprEvaluatorNode* node);
    void EvaluateSubquery(TExprEvaluatorNode* node);
    void EvaluateStringFunc(TExprEvaluatorNode* node);
    void EvaluateCastExpr(TExprEvaluatorNode* node);
    void EvaluateExtractExpr(TExprEvaluatorNode* node);
    void EvaluateLeftSubquery(TExprEvaluatorNode* node, bool subqueryLeft);
    void EvaluateDualSubqueries(TExprEvaluatorNode* node);
    // -1, 0, 1 for a decided comparison of two values by the node's rules; 2 for undecided.
    int CompareValues(const TExprEvaluatorNode* node, TZanExprOperator op, const Variant& left,
                      const Variant& right);

    TExprEvaluatorNode* FRoot = nullptr;
    TExprEvaluatorNode* FChain = nullptr;
    std::vector<std::unique_ptr<TExprEvaluatorNode>> FNodes; // the chain's owners
    TZanExprDataProvider* FProvider = nullptr;
    TZanCompareFunc FDBStringCompare = nullptr;
    bool FExcludeRelopNulls = false;
    TDateTime FInstant = 0;
    std::string FLeftText, FRightText; // reused for upper-cased and converted texts
};

class TExprResultListGenerator {
public:
    // The candidates (in order) whose row passes the expression; all of them without one.
    // Raises 10065 when the provider has no string-compare function.
    void CreateResultList(TZanExprDataProvider* provider, TZanExprNode* exprRoot,
                          bool excludeNulls, TIntList& resultList, const TIntList& candidates);
};

} // namespace zan
