// Expression trees and table references of the SQL layer, and the value semantics shared by
// the parsers and evaluators: operators on Variants with the engine's NULL rules, the field-type
// conversions a CAST, UNION or INSERT ... SELECT may make, and date and time text.
//
// Values are Variants: Null is SQL NULL, Empty (unassigned) means undecided; a condition passes
// only when its value is assigned and True.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/zanBaseParser.h"
#include "engine/storage/zanDataUnit.h"
#include "host/db/DB.h"
#include "host/db/DataSet.h"
#include "host/rtl/Collections.h"
#include "host/rtl/StringList.h"
#include "host/rtl/VarCompare.h"
#include "host/rtl/Variants.h"

namespace zan {

enum TZanExprNodeKind : uint8_t {
    enkUnknown,
    enkField,
    enkConst,
    enkParam,
    enkRelOperator,
    enkArithOperator,
    enkLogicalOperator,
    enkFunc,
    enkNonRelPredicate,
    enkSubquery,
};

// ---- Table references ----------------------------------------------------------------------

class TTableNameItem : public TCollectionItem {
public:
    TTableNameItem();
    ZAN_CLASS(TTableNameItem)

    const std::string& GetCorrelationName() const { return FCorrelationName; }
    void SetCorrelationName(const std::string& name) { FCorrelationName = name; }
    const std::string& GetTableName() const { return FTableName; }
    void SetTableName(const std::string& name) { FTableName = name; }
    // The table's field layout (owned).
    TInternalFields& GetTableFields() const { return *FTableFields; }
    // Replaces the field list by a copy (empty when nullptr).
    void SetTableFields(const TInternalFields* fields);
    bool GetMemory() const { return FMemory; }
    void SetMemory(bool value) { FMemory = value; }
    bool GetMemorySpecified() const { return FMemorySpecified; }
    void SetMemorySpecified(bool value) { FMemorySpecified = value; }
    bool GetInCorrelatedSubquery() const { return FInCorrelatedSubquery; }
    void SetInCorrelatedSubquery(bool value) { FInCorrelatedSubquery = value; }
    int32_t GetCorrelatedSubqueryID() const { return FCorrelatedSubqueryID; }
    void SetCorrelatedSubqueryID(int32_t id) { FCorrelatedSubqueryID = id; }

    // The field's type; ftUnknown when the table has no such field.
    TFieldType GetFieldType(std::string_view name) const;
    // 0 when the field is missing; its FieldSize when fixed, else its writable size.
    int32_t GetFieldSize(std::string_view name) const;
    // A column that a USING or NATURAL join shares with the other operand, where the other
    // operand's copy is the joined column's value: a bare name of it skips this table.
    void AddYieldedField(const std::string& name) { FYieldedFields.push_back(name); }
    bool YieldsField(std::string_view name) const;

    void Assign(const TCollectionItem& source) override;

private:
    std::string FCorrelationName;
    std::string FTableName;
    std::unique_ptr<TInternalFields> FTableFields;
    bool FMemory = false;
    bool FMemorySpecified = false;
    bool FInCorrelatedSubquery = false;
    int32_t FCorrelatedSubqueryID = 0;
    std::vector<std::string> FYieldedFields;
};

class TTableList : public TCollectionT<TTableNameItem> {
public:
    ZAN_CLASS(TTableList)

    // nullptr when empty.
    TTableNameItem* Last() const { return Count() ? Items(Count() - 1) : nullptr; }
    // An empty name with exactly one item gives that item; otherwise the last item whose
    // correlation name or table name equals the name (ignoring case).
    TTableNameItem* FindTable(std::string_view name) const;
    // The first step of FindTable: the correlation name, or the table name of an unaliased
    // table (the names the FROM clause exposes).
    TTableNameItem* FindExposedTable(std::string_view name) const;
    // The same on table names only.
    TTableNameItem* FindTableName(std::string_view name) const;
    // The last item with both names equal (an empty table name with one item gives it).
    TTableNameItem* FindTableAndCorrelationName(std::string_view table,
                                                std::string_view correlation) const;
    // The last item whose layout has a field of that name and does not yield it to the other
    // operand of a USING or NATURAL join; else the last item that has it.
    TTableNameItem* FindTableForField(std::string_view field) const;
    // This list becomes first, then the items of second whose (table, correlation) pair is not
    // yet present.
    void MergeLists(const TTableList& first, const TTableList& second);
};

// The row source of a subquery node; the query layer runs the subquery in PrepareAndOpen, which
// answers whether the result dataset is open (the base has none: False).
class TCustomExprNodeDataProvider {
public:
    virtual ~TCustomExprNodeDataProvider() = default;
    virtual bool PrepareAndOpen() { return false; }
    // The rows of the current result when the provider holds them in memory instead of in
    // its dataset: the first column's value of each row, and the column count. False: open
    // and read the dataset (PrepareAndOpen).
    virtual bool ReadRows(const std::vector<Variant>*& firstColumn, int32_t& columns) {
        (void)firstColumn;
        (void)columns;
        return false;
    }
    TDataSet* GetProviderDataset() const { return FProviderDataset; }
    void SetProviderDataset(TDataSet* dataset) { FProviderDataset = dataset; }
    // Changes whenever the dataset's rows are built anew, so that what an evaluator derived
    // from one result (the value set of IN) is not used for the next.
    uint64_t GetResultGeneration() const { return FResultGeneration; }
    void NewResultGeneration() { ++FResultGeneration; }

private:
    TDataSet* FProviderDataset = nullptr; // not owned
    uint64_t FResultGeneration = 0;
};

// ---- Expression tree -----------------------------------------------------------------------

class TZanExpr;

// One node. Nodes belong to their TZanExpr (the Next chain); Left, Right and Args only point.
class TZanExprNode {
public:
    TZanExprNode() = default;
    TZanExprNode(const TZanExprNode&) = delete;
    TZanExprNode& operator=(const TZanExprNode&) = delete;

    int32_t DataSize = -1;
    TZanExprNode* Left = nullptr;
    TZanExprNode* Right = nullptr;
    TZanExprNode* Next = nullptr; // the owning expression's chain
    TZanExprOperator Operator = zeoNOTDEFINED;
    TZanExprNodeKind Kind = enkUnknown;
    TZanExprScopeKind ScopeKind = zskField;
    TFieldType DataType = ftUnknown;
    std::vector<TZanExprNode*> Args;
    std::vector<TParserToken*> TokenArgs; // tokens owned by the pre-parser
    TParserToken ParserToken;             // the node's own copy
    // Field name (enkField), constant (enkConst), parameter name then bound value (enkParam),
    // "CAST" / "EXTRACT" / aggregate name then the aggregate's DISTINCT flag (enkFunc), the
    // computed value otherwise.
    Variant Data;
    bool CaseInsensitiveMatch = false;
    bool PartialMatch = false;
    int32_t PartialLength = -1;
    // CAST to a text: its length in characters (DataSize is the width in bytes they may take).
    int32_t CastLength = -1;
    TTableList TableList;
    TCustomExprNodeDataProvider* ExprNodeDataProvider = nullptr; // not owned
    TZanExprOperator OriginalOperator = zeoNOTDEFINED;
    Variant OriginalData;

    void SetDataSize(int32_t size) { DataSize = size; }
    void SetLeft(TZanExprNode* node) { Left = node; }
    void SetRight(TZanExprNode* node) { Right = node; }
    void SetOperator(TZanExprOperator op) { Operator = op; }
    void SetKind(TZanExprNodeKind kind) { Kind = kind; }
    void SetScopeKind(TZanExprScopeKind kind) { ScopeKind = kind; }
    void SetDataType(TFieldType type) { DataType = type; }
    void SetData(const Variant& value) { Data = value; }
    void SetCaseInsensitiveMatch(bool value) { CaseInsensitiveMatch = value; }
    void SetPartialMatch(bool value) { PartialMatch = value; }
    void SetPartialLength(int32_t length) { PartialLength = length; }
    void SetExprNodeDataProvider(TCustomExprNodeDataProvider* p) { ExprNodeDataProvider = p; }
    void SetOriginalOperator(TZanExprOperator op) { OriginalOperator = op; }
    void SetOriginalData(const Variant& value) { OriginalData = value; }
    // Copies the token's text, kind, section, line, column and custom ordinal.
    void SetParserToken(const TParserToken& token);
    // Copies everything but the chain link and the argument list's nodes themselves (the
    // references are copied); a node assigned to itself is left alone.
    void AssignNode(const TZanExprNode& source);
    // A new node of owner, assigned from this one, with fresh copies (one level) of its
    // argument nodes.
    TZanExprNode* CloneNode(TZanExpr& owner) const;
    // Same kind, operator, scope, type, size, token kind, Data type and value, flags, table
    // names, token-argument kinds and (recursively) arguments. Left and Right are not compared.
    bool AreNodesEquivalent(const TZanExprNode* other) const;
    // Converts Data (unless Null or Empty) to the Variant type of the field type and sets
    // DataType in every case. False, with Data unchanged, when the value does not convert.
    bool SetAndConvertDataType(TFieldType fieldType);

    // One line: kind, operator, token kind, 'token text', field type, size; then the arguments
    // between "Start Args" and "End Args".
    void Display(const std::string& prefix, TStrings& lines) const;
    // The subtree in order: left (indented one blank more), node, right.
    static void DisplayExprTree(const std::string& prefix, const TZanExprNode* node,
                                TStrings& lines);
};

class TZanExpr {
public:
    TZanExpr() = default;
    ~TZanExpr() { Clear(); }
    TZanExpr(const TZanExpr&) = delete;
    TZanExpr& operator=(const TZanExpr&) = delete;

    // A new node at the head of the chain (the root until another is made first).
    TZanExprNode* NewNode(TZanExprNodeKind kind, TZanExprOperator op, const Variant& value,
                          TZanExprNode* left, TZanExprNode* right, const TParserToken* token);
    TZanExprNode* NewFieldNode(TZanExprNodeKind kind, TZanExprOperator op, const Variant& value,
                               TZanExprNode* left, TZanExprNode* right, const TParserToken* token,
                               TFieldType fieldType, int32_t size);
    // Moves the node to the head of the chain; nothing when it is the head, nullptr or not ours.
    void SetAsFirstNode(TZanExprNode* node);
    void Clear();
    // A deep copy of the subtree into this chain; the copy of node is returned.
    TZanExprNode* CloneSubTree(const TZanExprNode* node);
    // CloneSubTree, and the copy becomes the root.
    TZanExprNode* CloneFromTree(const TZanExprNode* node);
    int GetNodeCount() const;
    // The root (the head of the chain); nullptr when empty.
    TZanExprNode* GetFirstNode() const { return FFirstNode; }
    TZanExprNode* GetRootNode() const { return FFirstNode; }

    bool ExprContainsToken(TZanSQLToken token) const { return FindNodeWithToken(token); }
    TZanExprNode* FindNodeWithToken(TZanSQLToken token) const;
    // Every node whose token kind is oldToken gets newToken, kind, operator and value.
    void ResetSpecifiedNodes(TZanSQLToken oldToken, TZanSQLToken newToken, TZanExprNodeKind kind,
                             TZanExprOperator op, const Variant& value);
    bool ExprContainsField(std::string_view name) const;
    // The raw token texts of the subtree, in order.
    std::string ExtractParsedText(const TZanExprNode* node) const;

    const std::string& GetParsedText() const { return FParsedText; }
    void SetParsedText(const std::string& text) { FParsedText = text; }
    bool GetCaseInsensitiveMatch() const { return FCaseInsensitiveMatch; }
    void SetCaseInsensitiveMatch(bool value) { FCaseInsensitiveMatch = value; }
    bool GetPartialStringComparisons() const { return FPartialStringComparisons; }
    void SetPartialStringComparisons(bool value) { FPartialStringComparisons = value; }
    const std::string& GetErrorText() const { return FErrorText; }
    // Debug dump of the tree from the root.
    void Display(TStrings& lines) const;

private:
    TZanExprNode* FFirstNode = nullptr;
    std::string FErrorText;
    bool FCaseInsensitiveMatch = false;
    bool FPartialStringComparisons = false;
    std::string FParsedText;
};

// ---- Operators on values -------------------------------------------------------------------

// Stateless. Run-time conversion failures raise error 9645 "Expression data types do not match".
class TZanOpEvaluator {
public:
    // + - * / with zeoADD, zeoSUB (and zeoMINUS, left - right), zeoMUL, zeoDIV. A Null or
    // unassigned operand, a division by zero or a result that is not finite gives Null; any
    // other operator leaves the result unassigned. Two integers stay exact in Int64 (Double on
    // overflow); "/" is always Double; date +- number is a date, date - date a Double; currency
    // +- currency stays Currency; string + string concatenates; a string against a number
    // reads as a number.
    static void EvaluateArithExprValues(TZanExprOperator op, const Variant& left, Variant& result,
                                        const Variant& right);
    // IS NULL, IS NOT NULL, NOT, AND, OR with three-valued (Kleene) logic; Null and unassigned
    // are undecided, an undecided result is unassigned.
    static void EvaluateLogicalExprAsVar(TZanExprOperator op, const Variant& left, Variant& result,
                                         const Variant& right);
    static bool EvaluateLogicalExprAsBoolean(TZanExprOperator op, const Variant& left,
                                             const Variant& right);
    // Comparisons (LIKE compares for equality here). With excludeNulls a Null or unassigned
    // operand is undecided; without, Null equals Null and sorts below every value.
    static void EvaluateRelopExprAsVar(TZanExprOperator op, const Variant& left, Variant& result,
                                       bool excludeNulls, const Variant& right);
    static bool EvaluateRelopExprAsBoolean(TZanExprOperator op, const Variant& left,
                                           bool excludeNulls, const Variant& right);
};

// Stateless.
class TZanDataConversionValidator {
public:
    // False only from ftBoolean to ftFloat, ftDate, ftTime, ftDateTime or ftBlob.
    static bool CheckDataConversionValid(TFieldType from, TFieldType to);
    // Strings to dates and times go through ConvertStrToDateTime; other values are copied.
    static void PerformDataConversionToType(TFieldType from, TFieldType to, const Variant& value,
                                            Variant& result);
    // Empty text gives Null. A date is read in the order of the short date format, else
    // "YMD" (10059 when neither reads); a time for ftTime, and for ftDateTime when text follows
    // the date (10058 when it does not read).
    static void ConvertStrToDateTime(const std::string& text, TFieldType fieldType,
                                     Variant& result);
    // The same without raising: 0 when converted, else the error code (10059, 10058).
    static int32_t TryConvertStrToDateTime(const std::string& text, TFieldType fieldType,
                                           Variant& result);
    // The date order ("YMD", "DMY", "MDY") of a short date format.
    static std::string DateOrderOf(std::string_view shortDateFormat);
};

// Date and time text in a given order of day, month and year ("DMY", "MDY", "YMD"), with month
// names and AM/PM. Positions are 1-based.
class TZanStrToDateTimeConverter {
public:
    // For ftDate and ftDateTime a date, then for ftTime and ftDateTime a time; the value is the
    // date-time. False when either does not read. LastPos is the position reached (-1 failed).
    bool ConvertStrToDate(std::string_view text, std::string_view order, TDateTime& value,
                          TFieldType fieldType);
    // The same from LastPos.
    bool ConvertStrToDateFromLastPos(std::string_view text, std::string_view order,
                                     TDateTime& value, TFieldType fieldType);
    int32_t GetLastPos() const { return FLastPos; }

private:
    bool Convert(std::string_view text, std::string_view order, TDateTime& value, int32_t startPos,
                 TFieldType fieldType);

    int32_t FLastPos = 0;
};

} // namespace zan
