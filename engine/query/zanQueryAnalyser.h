// Splits the WHERE condition of a SELECT into per-table conditions (selects) and conditions
// relating two or more tables (joins). The planner pushes each select down to its table's
// provider and builds a join provider for each join item; the whole WHERE is still checked on
// every joined row by the provider manager's root evaluator, so the split only narrows reads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/sql/zanParserUtils.h"
#include "host/rtl/Collections.h"

namespace zan {

// A join condition (its own copy) and the tables it references.
class TZanJoinItem : public TCollectionItem {
public:
    TZanJoinItem();
    ~TZanJoinItem() override;
    ZAN_CLASS(TZanJoinItem)

    TZanExprNode* GetJoinExprRoot() const { return FJoinExprRoot; }
    // The first call copies the subtree and makes it the root; later calls AND the new copy
    // (left) with the previous root (right).
    void SetJoinExprRoot(const TZanExprNode* node);
    TTableList& GetTableList() { return *FTableList; }
    TZanExpr& GetExpr() { return *FExpr; }

private:
    TZanExprNode* FJoinExprRoot = nullptr;
    std::unique_ptr<TZanExpr> FExpr;
    std::unique_ptr<TTableList> FTableList;
};

class TZanJoins : public TCollectionT<TZanJoinItem> {
public:
    ZAN_CLASS(TZanJoins)
    // The item whose table set equals the list's, else a new item (its set still empty).
    TZanJoinItem* GetJoinItem(const TTableList& tables);
};

// A per-table condition, keyed by (table name, correlation name).
class TZanSelectItem : public TCollectionItem {
public:
    TZanSelectItem();
    ~TZanSelectItem() override;
    ZAN_CLASS(TZanSelectItem)

    TZanExprNode* GetSelectExprRoot() const { return FSelectExprRoot; }
    // As TZanJoinItem::SetJoinExprRoot.
    void SetSelectExprRoot(const TZanExprNode* node);
    const std::string& GetTableName() const { return FTableName; }
    void SetTableName(const std::string& name) { FTableName = name; }
    const std::string& GetCorrelationName() const { return FCorrelationName; }
    void SetCorrelationName(const std::string& name) { FCorrelationName = name; }
    // The name the statement exposes: the correlation name, else the table name.
    const std::string& ExposedName() const {
        return FCorrelationName.empty() ? FTableName : FCorrelationName;
    }
    TZanExpr& GetExpr() { return *FExpr; }

private:
    TZanExprNode* FSelectExprRoot = nullptr;
    std::unique_ptr<TZanExpr> FExpr;
    std::string FTableName;
    std::string FCorrelationName;
};

class TZanSelects : public TCollectionT<TZanSelectItem> {
public:
    ZAN_CLASS(TZanSelects)
    // The item with both names equal (ignoring case), else a new item carrying them.
    TZanSelectItem* GetSelectItem(const std::string& tableName, const std::string& correlation);
};

// The analyser's mirror of one WHERE node.
class TQueryAnalyserNode {
public:
    TZanExprNode* ExprNode = nullptr; // not owned
    TQueryAnalyserNode* Left = nullptr;
    TQueryAnalyserNode* Right = nullptr;
    TQueryAnalyserNode* Next = nullptr;
    TTableList TableList;
    bool SplitOK = false;
};

class TZanQueryAnalyser {
public:
    TZanQueryAnalyser();
    ~TZanQueryAnalyser();
    TZanQueryAnalyser(const TZanQueryAnalyser&) = delete;
    TZanQueryAnalyser& operator=(const TZanQueryAnalyser&) = delete;

    // The whole analysis; afterwards the collections hold the result (one select item per
    // table of the list, in list order, and the join items).
    void Prepare(TZanJoins* joins, TZanSelects* selects, TTableList* tableList,
                 TZanExprNode* whereRoot);
    // True when there is no WHERE tree or its root was split completely.
    bool CheckAnalysisComplete() const;
    void Clear();
    TQueryAnalyserNode* GetRoot() const { return FRoot; }
    TZanExpr& GetTempExpr();

private:
    TQueryAnalyserNode* BuildNode(TZanExprNode* node);
    void CreateSelectList();
    void ParseTableLists(TQueryAnalyserNode* node);
    void ParseSelects(TQueryAnalyserNode* node);
    void ParseJoins(TQueryAnalyserNode* node);
    void CheckNodeSplitStatus(TQueryAnalyserNode* node);

    TZanJoins* FJoins = nullptr;
    TZanSelects* FSelects = nullptr;
    TTableList* FTableList = nullptr;
    TQueryAnalyserNode* FRoot = nullptr;
    std::vector<std::unique_ptr<TQueryAnalyserNode>> FNodes;
    std::unique_ptr<TZanExpr> FTempExpr;
};

// The name a table list item exposes: its correlation name, else its table name.
inline const std::string& ExposedTableName(const TTableNameItem& item) {
    return item.GetCorrelationName().empty() ? item.GetTableName() : item.GetCorrelationName();
}

} // namespace zan
