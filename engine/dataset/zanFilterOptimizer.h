// The filter optimiser: simplifies a filter expression in place and answers as much of it as it
// can from the table's B-tree indexes.
//
// A mirror tree over the expression (TExprOptimizerNode) decides per node whether its result is
// fixed or needs evaluation and how far an index answers it: olFull (the index list is exactly
// the records that pass), olPartial (the list is a superset: every candidate is evaluated) or
// olNone (no help). Index lists are record addresses kept sorted ascending; they are combined
// bottom-up (AND intersects, OR unites) into one list for the root.
//
// Index ranges are cut from the tree by its own key order, so a descending first key field and
// NULL keys (below every value in value order) need no special search rules. String prefixes
// (LIKE and "*" partial constants) use an index only under the ASCII order, where the keys that
// begin with one prefix form one run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/zanExprEvaluator.h"
#include "engine/sql/zanParserUtils.h"
#include "engine/storage/zanCommon.h"
#include "engine/storage/zanIndexUnit.h"
#include "host/rtl/DateUtils.h"
#include "host/rtl/StringList.h"
#include "host/rtl/Variants.h"

namespace zan {

enum TNodeResultType : uint8_t { nrNone, nrFixedFalse, nrFixedTrue, nrDynamic };
// The comparison value for the key parts after the first in an index search.
enum TFieldComparisonValue : uint8_t { fcForceBOF, fcDefault, fcForceEOF };

// What the optimiser knows of one field's bounds from a root comparison.
struct TExprFieldLimits {
    std::string FieldName;
    bool Valid = false;
    Variant Min;
    Variant Max;
    bool MinSet = false;
    bool MaxSet = false;
};

// The options with which the query layer hands a parsed expression to a table's filter. The
// expression is not owned; it is copied when the filter takes it.
class TZanFilterExprDriver {
public:
    bool GetOpenExistingExpr() const { return FOpenExistingExpr; }
    void SetOpenExistingExpr(bool value) { FOpenExistingExpr = value; }
    // Replace the table's present filter expression instead of AND-combining with it.
    bool GetOverwriteExpr() const { return FOverwriteExpr; }
    void SetOverwriteExpr(bool value) { FOverwriteExpr = value; }
    // Relational operators treat NULL as not matching; the table's filter goes to query mode.
    bool GetExcludeRelopNulls() const { return FExcludeRelopNulls; }
    void SetExcludeRelopNulls(bool value) { FExcludeRelopNulls = value; }
    int32_t GetMaximalResultSetSize() const { return FMaximalResultSetSize; }
    void SetMaximalResultSetSize(int32_t value) { FMaximalResultSetSize = value; }
    const std::string& GetLimitFieldName() const { return FLimitFieldName; }
    void SetLimitFieldName(const std::string& value) { FLimitFieldName = value; }
    TZanExpr* GetFilterExpr() const { return FFilterExpr; }
    void SetFilterExpr(TZanExpr* value) { FFilterExpr = value; }
    // Set by the evaluator.
    TZanFilterOptimisationLevel GetExprOptimizationLevel() const { return FExprOptimizationLevel; }
    void SetExprOptimizationLevel(TZanFilterOptimisationLevel value) {
        FExprOptimizationLevel = value;
    }
    const Variant& GetLimitFieldMax() const { return FLimitFieldMax; }
    void SetLimitFieldMax(const Variant& value) { FLimitFieldMax = value; }
    const Variant& GetLimitFieldMin() const { return FLimitFieldMin; }
    void SetLimitFieldMin(const Variant& value) { FLimitFieldMin = value; }
    // Only assess the expression (level, field limits, result size); the table is not moved.
    bool GetAssessExprOnly() const { return FAssessExprOnly; }
    void SetAssessExprOnly(bool value) { FAssessExprOnly = value; }
    bool GetLimitsAssessed() const { return FLimitsAssessed; }
    void SetLimitsAssessed(bool value) { FLimitsAssessed = value; }
    bool GetLimitMinSet() const { return FLimitMinSet; }
    void SetLimitMinSet(bool value) { FLimitMinSet = value; }
    bool GetLimitMaxSet() const { return FLimitMaxSet; }
    void SetLimitMaxSet(bool value) { FLimitMaxSet = value; }
    // Deliver the records in the order of OrderIndexName.
    bool GetEnforceExprOrder() const { return FEnforceExprOrder; }
    void SetEnforceExprOrder(bool value) { FEnforceExprOrder = value; }
    const std::string& GetOrderIndexName() const { return FOrderIndexName; }
    void SetOrderIndexName(const std::string& value) { FOrderIndexName = value; }
    // The instant CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP stand for (one per
    // execution); 0 lets the filter draw one when it is applied.
    TDateTime GetExecutionInstant() const { return FExecutionInstant; }
    void SetExecutionInstant(TDateTime value) { FExecutionInstant = value; }

private:
    bool FOpenExistingExpr = false;
    bool FOverwriteExpr = false;
    bool FExcludeRelopNulls = false;
    int32_t FMaximalResultSetSize = 0;
    std::string FLimitFieldName;
    TZanExpr* FFilterExpr = nullptr;
    TZanFilterOptimisationLevel FExprOptimizationLevel = olNone;
    Variant FLimitFieldMax;
    Variant FLimitFieldMin;
    bool FAssessExprOnly = false;
    bool FLimitsAssessed = false;
    bool FLimitMinSet = false;
    bool FLimitMaxSet = false;
    bool FEnforceExprOrder = false;
    std::string FOrderIndexName;
    TDateTime FExecutionInstant = 0;
};

// Record addresses, ascending and without duplicates unless said otherwise.
using TZanAddressList = std::vector<uint32_t>;

// The address lists one index delivers for a comparison of its first key field.
class TIndexDataInterface {
public:
    // asciiOrder: the tree compares strings in the ASCII order (prefix runs are contiguous).
    TIndexDataInterface(TIndexItem* index, bool excludeNulls, bool asciiOrder);

    const std::string& GetIndexName() const { return FIndexName; }
    TIndexItem* GetIndex() const { return FIndex; }
    bool GetExcludeNulls() const { return FExcludeNulls; }
    void SetExcludeNulls(bool value) { FExcludeNulls = value; }
    bool GetAsciiOrder() const { return FAsciiOrder; }
    const TKeyFieldItem& FirstKeyField() const;

    // Appends to list the addresses of the records whose first key field satisfies "field op
    // value" (ISBLANK, NOTBLANK, EQ, NE (the equal run: the caller inverts it), GT, LT, GE,
    // LE, LIKE). With a partial length above 0 the string value is a prefix (a "*" constant);
    // LIKE and prefixes give a superset. The list is sorted and made unique.
    void GetRecordList(TZanExprOperator op, const Variant& value, TZanAddressList& list,
                       int32_t partialLength = -1);
    // The records whose first key field equals one of values (an IN list), sorted and unique.
    void GetInRecordList(const std::vector<Variant>& values, TZanAddressList& list);
    // How many key searches all interfaces made so far (a work measure for tests).
    static uint64_t GetSearchCount();
    // The records whose first key field lies between low and high (both included).
    void GetBetweenRecordList(const Variant& low, const Variant& high, TZanAddressList& list);
    // Whether the value can be turned into a key of the first key field exactly (type, range,
    // a string not longer than the field).
    bool CanUseValue(const Variant& value) const;
    // The search type a comparison maps to (8581 "Unexpected seek type in Internal Find" for
    // other operators); a descending key mirrors every operator but EQ and IN.
    static TIndexSearchType MapRelOpToSearchType(TZanExprOperator op, bool descending);
    // Builds the tree's search key from value: the first key field compares, the others sort
    // below (fcForceBOF) or above (fcForceEOF) every value.
    void CreateKeyBuffer(TFieldComparisonValue missing, const Variant& value);
    // The literal prefix of a LIKE pattern (up to the first "%", "_" or escape) or the text
    // itself, trailing blanks removed, with character 255 appended when text remains (a
    // marker: the key run of the prefix ends before the prefix's successor, see PrefixEnd).
    static std::string ConvertStringForPartialMatch(TZanExprOperator op, const std::string& text,
                                                    char escape = '\0');

private:
    // A cut between keys in value order: before or after the run of keys equal to a value
    // (Null: the NULL keys), or one end of the index.
    struct TCut {
        int8_t End = 0; // -1 before everything, +1 after everything, 0 at Value
        Variant Value;
        bool After = false;
    };
    static TCut AtValue(const Variant& value, bool after) { return {0, value, after}; }
    // Appends the keys between the two cuts (value order) to list, unsorted.
    void ListBetween(const TCut& low, const TCut& high, TZanAddressList& list);
    // The cut after every key that begins with prefix (the end of the index when none follows).
    TCut PrefixEnd(const std::string& prefix) const;
    // The 1-based position of the first key after the cut (tree order), 0 when none.
    uint32_t FirstAfter(const TCut& cut);
    // The 1-based position of the last key before the cut (tree order), 0 when none.
    uint32_t LastBefore(const TCut& cut);
    int32_t Search(const TCut& cut, TIndexSearchType type);
    static void SortUnique(TZanAddressList& list);

    TIndexItem* FIndex;
    std::string FIndexName;
    bool FExcludeNulls;
    bool FAsciiOrder;
};

// One index of the table as the optimiser sees it.
class TIndexQueryItem {
public:
    TIndexQueryItem(TIndexItem* index, bool excludeNulls, bool asciiOrder);
    const std::string& GetIndexName() const { return FInterface.GetIndexName(); }
    const TKeyFields& GetKeyFields() const { return FInterface.GetIndex()->GetKeyFields(); }
    TIndexDataInterface& GetInterface() { return FInterface; }

private:
    TIndexDataInterface FInterface;
};

// The indexes of one table, in the table's index order.
class TIndexQueryMgr {
public:
    void Add(TIndexItem* index, bool excludeNulls, bool asciiOrder);
    void Clear() { FItems.clear(); }
    int32_t Count() const { return int32_t(FItems.size()); }
    TIndexQueryItem& Items(int32_t i) { return *FItems.at(size_t(i)); }
    void SetExcludeNulls(bool value);
    // The first index whose key has at least as many fields as the list and whose leading key
    // fields are the listed ones (names without regard to case) in order; a string key field
    // must also have the requested case-insensitivity. nullptr when none.
    TIndexQueryItem* FindIndexForFields(const std::vector<std::string>& fields,
                                        bool caseInsensitive);

private:
    std::vector<std::unique_ptr<TIndexQueryItem>> FItems;
};

// The mirror of one expression node.
class TExprOptimizerNode {
public:
    TZanExprNode* ExprNode = nullptr;
    TExprOptimizerNode* Left = nullptr;
    TExprOptimizerNode* Right = nullptr;
    TNodeResultType ResultType = nrDynamic;
    TZanFilterOptimisationLevel Level = olNone;
    TIndexDataInterface* IndexInterface = nullptr;
    // Its record addresses, ascending; for an inverted node the records that do not match
    // until ResetInvertedLists complements it.
    TZanAddressList List;
    bool Inverted = false;
    // An AND of BETWEEN whose two bounds one index answers as one range.
    bool BetweenRange = false;
};

// The mirror tree and its nodes.
class TExprOptimizerMgr {
public:
    TExprOptimizerNode* GetRoot() const { return FRoot; }
    void SetRoot(TExprOptimizerNode* node) { FRoot = node; }
    TExprOptimizerNode* NewNode(TZanExprNode* exprNode);
    int32_t GetNodeCount() const { return int32_t(FNodes.size()); }
    TExprOptimizerNode& Node(int32_t i) { return *FNodes.at(size_t(i)); }
    bool GetExcludeNulls() const { return FExcludeNulls; }
    void SetExcludeNulls(bool value) { FExcludeNulls = value; }
    TIndexQueryMgr* GetIndexQueryMgr() const { return FIndexQueryMgr; }
    void SetIndexQueryMgr(TIndexQueryMgr* mgr) { FIndexQueryMgr = mgr; }
    // Whether a node of the tree that the root's list depends on is inverted.
    bool HasInvertedLists() const;
    // Every inverted node takes the records of the full list (ascending) that are not in its
    // list.
    void ResetInvertedLists(const TZanAddressList& fullList);
    // One line per node with an index: the operator's text and the index name.
    void ListIndexRequests(TStrings& lines) const;
    void Clear();

private:
    std::vector<std::unique_ptr<TExprOptimizerNode>> FNodes;
    TExprOptimizerNode* FRoot = nullptr;
    TIndexQueryMgr* FIndexQueryMgr = nullptr;
    bool FExcludeNulls = false;
};

class TFilterOptimizer {
public:
    void SetIndexQueryMgr(TIndexQueryMgr* mgr) { FMgr.SetIndexQueryMgr(mgr); }
    void SetExcludeNulls(bool value) { FMgr.SetExcludeNulls(value); }
    // The provider folds constant nodes with the evaluator's own rules (its string
    // comparison).
    void SetDataProvider(TZanExprDataProvider* provider) { FProvider = provider; }
    // The instant CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP become.
    void SetInstant(TDateTime instant) { FInstant = instant; }

    // Simplifies the tree of expr from root in place and builds the mirror tree.
    void AnalyzeExpr(TZanExpr& expr, TZanExprNode* root);
    TZanFilterOptimisationLevel GetBaseOptimisationLevel() const;
    TNodeResultType GetRootResultType() const;
    // The index lists of every node that has an index ("Expr root is not assigned" without
    // a root).
    void PrepareResultLists();
    // Post-order: AND intersects (a fixed-true child is neutral), OR unites.
    void CombineResultLists();
    const TZanAddressList& GetResultSetList() const;
    int32_t GetResultSetCount() const { return int32_t(GetResultSetList().size()); }
    TExprFieldLimits AssessExprFieldLimits(const std::string& fieldName) const;
    void Clear();
    TExprOptimizerMgr& GetManager() { return FMgr; }

    // Test switch: every expression is answered at olNone (evaluated record by record), with
    // no index and no OR cover fold. Process-wide.
    static void SetForceNoOptimisation(bool value);
    static bool GetForceNoOptimisation();

private:
    void OptimizeExprTree(TZanExpr& expr, TZanExprNode* node, int depth);
    void FoldConstantNode(TZanExprNode* node);
    void FoldCoveringOr(TZanExpr& expr, TZanExprNode* node);
    TExprOptimizerNode* CreateOptimizerNode(TZanExprNode* node, int depth);
    void OptimizeComparison(TExprOptimizerNode* on);
    void OptimizeIn(TExprOptimizerNode* on);
    void OptimizeLike(TExprOptimizerNode* on);
    void OptimizeNullTest(TExprOptimizerNode* on);
    void OptimizeLogical(TExprOptimizerNode* on);
    TIndexDataInterface* MatchFieldsToIndex(const TZanExprNode* field, bool caseInsensitive,
                                            bool& caseMatched);
    void PrepareNodeList(TExprOptimizerNode* node, int depth);
    void CombineNode(TExprOptimizerNode* node, int depth);
    int CompareConstants(const TZanExprNode* a, const TZanExprNode* b, bool caseInsensitive);

    TExprOptimizerMgr FMgr;
    TZanExprDataProvider* FProvider = nullptr;
    TDateTime FInstant = 0;
    TZanAddressList FEmpty;
};

} // namespace zan
