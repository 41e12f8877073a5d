// Runs one SELECT the way the query provider does with its FROM and WHERE: parses it through the
// SQL test owner (the catalogue taken from the database's tables), splits the WHERE, plans the
// provider tree, opens it, prepares the root evaluator with the whole WHERE and reads every
// joined row, computing the select list's columns for each. For tests and benchmarks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/zanDatabase.h"
#include "engine/query/zanJoinAnalyser.h"
#include "engine/query/zanQueryAnalyser.h"
#include "engine/query/zanQueryPlanner.h"
#include "support/zanSqlTestOwner.h"

namespace zan {

class TZanQueryRunner {
public:
    explicit TZanQueryRunner(TZanDataBase& db);
    ~TZanQueryRunner();

    // The string comparison of the tables' sort order (ANSI unless set).
    void SetSortOrder(TSortOrder order) { FSortOrder = order; }
    // Adds the table's layout to the parser's catalogue.
    void AddTable(const std::string& name);
    // Parses and splits the WHERE (9645 with the parser's errors).
    void Analyse(const std::string& sql);
    // Parses, analyses and plans (9645 with the parser's errors); the manager holds the tree.
    void Plan(const std::string& sql);
    // Plan, open, and the rows of the select list's columns.
    std::vector<std::vector<Variant>> Select(const std::string& sql);
    // Opens the planned tree and reads the rows.
    std::vector<std::vector<Variant>> Run();

    TZanJoinDataProviderMgr& GetProviderMgr() { return *FMgr; }
    TZanQueryAnalyser& GetAnalyser() { return FAnalyser; }
    TZanJoins& GetJoins() { return FJoins; }
    TZanSelects& GetSelects() { return FSelects; }
    TZanSqlTestOwner& GetOwner() { return *FOwner; }
    // The provider tree as the manager dumps it.
    std::vector<std::string> PlanLines();
    // The standard join providers of the tree, root first.
    std::vector<TZanStdJoinDataProvider*> JoinProviders();

private:
    void Reset();

    TZanDataBase& FDb;
    TTableList FCatalogue;
    TSortOrder FSortOrder = soANSI;
    std::unique_ptr<TZanJoinDataProviderMgr> FMgr;
    std::unique_ptr<TZanSqlTestOwner> FOwner;
    TZanQueryAnalyser FAnalyser;
    TZanJoins FJoins;
    TZanSelects FSelects;
    std::vector<std::unique_ptr<TExprEvaluator>> FColumns;
};

} // namespace zan
