// Turns a parsed and analysed SELECT into a tree of join data providers: the FROM clause's join
// trees as written (comma items cross-joined), then a join provider per WHERE join condition,
// then a cross join for every table still missing; each table's own condition goes to its
// provider unless an outer join makes that provider supply NULL rows.
#pragma once

#include "engine/query/zanJoinDataProviderUnit.h"
#include "engine/query/zanQueryAnalyser.h"
#include "engine/sql/zanFromParser.h"

namespace zan {

TZanJoinType MapJoinType(TZanTableRefType type);

// What the planner works on; owns nothing.
class TZanPlan {
public:
    TTableList* GetTableList() const { return FTableList; }
    void SetTableList(TTableList* list) { FTableList = list; }
    TZanJoins* GetJoins() const { return FJoins; }
    void SetJoins(TZanJoins* joins) { FJoins = joins; }
    TZanSelects* GetSelects() const { return FSelects; }
    void SetSelects(TZanSelects* selects) { FSelects = selects; }
    TZanJoinDataProviderMgr* GetProviderMgr() const { return FProviderMgr; }
    void SetProviderMgr(TZanJoinDataProviderMgr* mgr) { FProviderMgr = mgr; }
    // The FROM clause's root join node (nullptr when it has no join).
    TZanTableRefNode* GetFromRoot() const { return FFromRoot; }
    void SetFromRoot(TZanTableRefNode* root) { FFromRoot = root; }

    // Builds the provider tree into the manager (its root provider).
    void PreparePlan();

private:
    void CheckExposedNames();
    TZanBaseJoinDataProvider* ParseFromNode(TZanTableRefNode* node);
    TZanBaseJoinDataProvider* ParseFromTrees();
    TZanNonJoinDataProvider* TableProvider(const TTableNameItem& table);
    TZanNonJoinDataProvider* TableProvider(const std::string& tableName,
                                           const std::string& correlation);
    TZanStdJoinDataProvider* NewJoin(const std::string& name, TZanJoinType type,
                                     TZanBaseJoinDataProvider* outer,
                                     TZanBaseJoinDataProvider* inner);
    void InternalCreateJoins();
    void InternalJoinUnmatchedSelects();
    void InternalAssignSelects();

    TTableList* FTableList = nullptr;
    TZanJoins* FJoins = nullptr;
    TZanSelects* FSelects = nullptr;
    TZanJoinDataProviderMgr* FProviderMgr = nullptr;
    TZanTableRefNode* FFromRoot = nullptr;
    TZanBaseJoinDataProvider* FRoot = nullptr;
};

class TZanQueryPlanner {
public:
    // Checks that the plan has all it needs, then builds it.
    static void CreatePlan(TZanPlan* plan);
};

} // namespace zan
