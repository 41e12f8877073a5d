// The FROM clause: a tree of table references and join nodes plus the statement's table list,
// and the post-processor that turns USING column lists and NATURAL joins into join conditions.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql/zanBaseParser.h"
#include "engine/sql/zanParserUtils.h"
#include "host/rtl/StringList.h"

namespace zan {

enum TZanTableRefType : uint8_t {
    trUnknown,
    trCrossJoin,
    trUnionJoin,
    trInnerJoin,
    trLeftOuterJoin,
    trRightOuterJoin,
    trFullOuterJoin,
    trSubQuery,
    trTableName,
};

// The trace name of a kind: "jtUnknown", "jtCrossJoin", ...
std::string_view ZanTableRefTypeName(TZanTableRefType type);
inline bool IsJoinRefType(TZanTableRefType type) {
    return type >= trCrossJoin && type <= trFullOuterJoin;
}

// One node of the FROM tree: a table name, a subquery placeholder or a join of two operands.
class TZanTableRefNode {
public:
    TZanTableRefNode() = default;
    TZanTableRefNode(const TZanTableRefNode&) = delete;
    TZanTableRefNode& operator=(const TZanTableRefNode&) = delete;

    TZanExpr Expr; // the join condition; empty when none
    TZanTableRefType JoinType = trUnknown;
    TZanTableRefNode* Left = nullptr;
    TZanTableRefNode* Right = nullptr;
    TZanTableRefNode* Next = nullptr; // the root when this node was created
    std::string Text;                 // table name of a trTableName node
    TStringList UsingColumnList;
    std::string InnerTable;
    std::string OuterTable;
    std::string CorrelationName;
    bool IsNaturalJoin = false;
    // Tokens the condition's nodes refer to when the post-processor made them.
    TParserTokenList OwnTokens;

    // indent, kind name, " : text - ", text; then the condition's tree.
    void Display(const std::string& indent, TStrings& lines) const;
    // The subtree, two blanks more per level.
    static void DisplayTree(const TZanTableRefNode* node, const std::string& indent,
                            TStrings& lines);
};

class TZanFromParser : public TBaseParser {
public:
    TZanFromParser();
    ~TZanFromParser() override;

    void Clear() override;
    bool Execute(const TZanParserOptions& options, TParserStack* stack) override;
    // Join nodes whose condition has a root node.
    int GetExprCount() const;
    void DebugDisplay(TStrings& lines) const;
    static bool IsJoinSpecifier(TZanSQLToken token);

    TTableList& GetTableList() { return FTableList; }
    const TTableList& GetTableList() const { return FTableList; }
    // The join node made last; nullptr when the clause has no join.
    TZanTableRefNode* GetRootJoinNode() const { return FRootJoinNode; }
    int GetNodeCount() const { return static_cast<int>(FNodes.size()); }
    TZanTableRefNode* GetNode(int i) const { return FNodes.at(i).get(); }

private:
    TZanTableRefNode* NewNode(TZanTableRefType type);
    TZanTableRefNode* ParseJoinedRef();
    TZanTableRefNode* ParsePrimary();
    void ParseJoinCondition(TZanTableRefNode* node);
    void ParseUsing(TZanTableRefNode* node);
    void ParseOn(TZanTableRefNode* node);

    TTableList FTableList;
    std::vector<std::unique_ptr<TZanTableRefNode>> FNodes;
    TZanTableRefNode* FRootJoinNode = nullptr;
    int FParenDepth = 0;
};

// Turns the USING lists and NATURAL marks of a FROM tree into equality conditions between
// qualified field nodes, ANDed in front of an ON condition already there.
class TJoinPostProcessor {
public:
    void SetTableList(TTableList* list) { FTableList = list; }
    bool ProcessJoinTree(TZanTableRefNode* root);
    // For the USING and NATURAL joins among the parser's nodes, marks the operand whose copy of
    // a shared column is not the joined column's value (the right operand of an inner or left
    // join, the left of a right join), so that a bare name of that column reads the other copy.
    // A full join's shared column has no single copy: both operands yield it.
    void MarkSharedColumns(const TZanFromParser& from);
    const std::string& GetErrorText() const { return FErrorText; }

    // The first table node of the subtree (left before right, subqueries skipped) whose table
    // holds the field; nullptr when none.
    TZanTableRefNode* FindTableRefNodeForField(TZanTableRefNode* node, std::string_view field);
    // The field of the table found by correlation name, else by table name; nullptr with the
    // error text set when either is missing.
    TInternalFieldItem* FindJoinField(std::string_view field, const std::string& table,
                                      const std::string& correlation);
    void CreateJoinExpr(const TZanTableRefNode& leftTable, const TInternalFieldItem& leftField,
                        const TZanTableRefNode& rightTable, const TInternalFieldItem& rightField,
                        TZanTableRefNode& join);

private:
    TTableNameItem* FindTableItem(const TZanTableRefNode& table) const;
    void ProcessJoinNode(TZanTableRefNode& join);
    // The common column names of a NATURAL join, in field order of the right operand.
    void CollectNaturalColumns(TZanTableRefNode& join, std::vector<std::string>& names);
    // The columns a join shares: a NATURAL join's common ones, then its USING list.
    std::vector<std::string> SharedColumns(TZanTableRefNode& join);
    TZanExprNode* NewFieldNode(TZanTableRefNode& join, const TZanTableRefNode& table,
                               const TInternalFieldItem& field);

    TTableList* FTableList = nullptr; // not owned
    std::string FErrorText;
};

} // namespace zan
